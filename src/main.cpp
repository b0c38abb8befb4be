// Entry point: declares the command line, opens the update log and turns the
// update's result into the exit code.
#include "updater.h"

#include "platform.h"
#include "protocol.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <exception>

namespace {

// Errors from the file system or the log must not abort the program: the
// caller only sees the exit code, so report them and fail the run cleanly.
int report_unexpected_error(const std::exception& error)
{
    std::fprintf(stderr, "updater: %s\n", error.what());
    if (update_log_is_open())
        spdlog::error("Update stopped by an unexpected error: {}", error.what());
    return 1;
}

// A whole number in decimal digits only, after a minus sign where the type
// is signed: the generic conversion would also take octal and hexadecimal,
// so that a process id written with a leading zero would name another
// process, and blanks, a plus sign and an empty value.
template <class Number>
Number decimal_from(const std::string& option, const std::string& text)
{
    Number number = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (text.empty() || error != std::errc() || stop != end)
        throw CLI::ConversionError(option, std::vector<std::string>{text});
    return number;
}

// The version goes into `.version` as one line and into the log: empty, or
// with a line break or another control character, it would be neither.
std::string check_version_text(const std::string& text)
{
    if (text.empty())
        return "the version can't be empty";
    for (const unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return "the version must be one line without control characters";
    return {};
}

// The main executable is a path inside `current`: one that is absolute,
// names a drive or climbs out would start a program elsewhere.
std::string check_exe_name(const std::string& text)
{
    const std::string inside = "the main executable must be a path inside current/";
    if (text.empty() || text[0] == '/' || text[0] == '\\' || text.find(':') != std::string::npos)
        return inside;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find_first_of("/\\", start);
        if (text.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") == 0)
            return inside;
        if (end == std::string::npos)
            return {};
        start = end + 1;
    }
}

// A SHA-256 as 64 hexadecimal digits, either case; kept in lower case, as
// the digest is written.
std::string check_sha256_text(std::string& text)
{
    if (text.size() != 64 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return "a SHA-256 is 64 hexadecimal digits";
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return {};
}

// What both subcommands are told: the package, the root, the version and
// the main executable, and the SHA-256 the package must have.
struct update_values {
    std::string package_path;
    std::string app_dir;
    std::string version;
    std::string exe_name = protocol::default_main_executable;
    std::string sha256;
};

void add_update_options(CLI::App& command, update_values& values)
{
    static const CLI::Validator version_text(check_version_text, "TEXT", "one line of text");
    static const CLI::Validator exe_path(check_exe_name, "TEXT", "a path inside current/");
    command.add_option("--package", values.package_path, "Path to the update zip")->required();
    command.add_option("--app-dir", values.app_dir, "Application root directory")->required();
    command.add_option("--version", values.version, "New version string")->required()->check(version_text);
    command.add_option("--exe", values.exe_name, "Main executable name")->check(exe_path);
}

void add_sha256_option(CLI::App& command, update_values& values, const std::string& description)
{
    static const CLI::Validator sha256_text(check_sha256_text, "HEX", "SHA-256");
    command.add_option("--sha256", values.sha256, description)->transform(sha256_text);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"R4M8 Updater", ""};
    update_values values;
    std::int32_t pid = 0;
    std::string relaunch_args;
    std::uint32_t confirm_timeout_s = 0;
    bool no_launch = false;
    bool progress = false;

    // One subcommand at a time.
    app.require_subcommand(0, 1);
    CLI::App* apply = app.add_subcommand("apply", "Apply a downloaded update");
    apply->add_option_function<std::string>(
             "--pid", [&](const std::string& text) { pid = decimal_from<std::int32_t>("--pid", text); },
             "PID of the app process to wait for")
        ->required()
        ->type_name("INT");
    add_update_options(*apply, values);
    apply->add_option("--args", relaunch_args, "Arguments to pass to new app");
    CLI::Option* confirm = apply->add_option_function<std::string>(
        "--confirm-timeout",
        [&](const std::string& text) { confirm_timeout_s = decimal_from<std::uint32_t>("--confirm-timeout", text); },
        "Seconds the new app has to confirm its start, else roll back (0: no check)");
    confirm->type_name("UINT");
    apply->add_flag("--no-launch", no_launch, "Start no app afterwards (installing on quit)")->excludes(confirm);
    add_sha256_option(*apply, values, "SHA-256 the package must have, else roll back");

    CLI::App* prepare = app.add_subcommand("prepare", "Prepare a downloaded update while the app runs");
    add_update_options(*prepare, values);
    add_sha256_option(*prepare, values, "SHA-256 the package must have, else prepare nothing");
    prepare->add_flag("--progress", progress,
                      "Print \"progress WRITTEN TOTAL\" lines while extracting, and \"error MESSAGE\" for each error "
                      "logged");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error);
    }
    if (!*apply && !*prepare)
        return 0;

    try {
        check_narrow_command_line();
        // The caller that reads the progress from the pipe learns why a
        // preparation failed there too.
        std::string why;
        if (!open_update_log(values.app_dir, progress, why)) {
            std::fprintf(stderr, "updater: %s\n", why.c_str());
            return 1;
        }
        if (*prepare)
            return prepare_update(values.package_path, values.app_dir, values.exe_name, values.version,
                                  prepare_options{progress, values.sha256});
        return apply_update(pid, values.package_path, values.app_dir, values.exe_name, values.version, relaunch_args,
                            apply_options{confirm_timeout_s, !no_launch, values.sha256});
    } catch (const std::exception& error) {
        return report_unexpected_error(error);
    }
}
