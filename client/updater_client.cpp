// The client library's calls: the command lines of the updater's two
// subcommands, the progress and result of a preparation, the start check's
// confirmation and what a start follows. Every failure becomes an error
// value; nothing is thrown across the C interface.
#include "updater_client.h"

#include "client_platform.h"
#include "protocol.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

namespace {

int fail(updater_error* error, int code, const std::string& message)
{
    if (error) {
        error->code = code;
        std::snprintf(error->message, sizeof error->message, "%s", message.c_str());
    }
    return code;
}

int succeed(updater_error* error)
{
    return fail(error, UPDATER_OK, "");
}

bool given(const char* text)
{
    return text && *text;
}

std::string updater_program(const char* updater, const char* app_dir)
{
    return given(updater) ? updater : client::join_path(app_dir, client::default_updater_name);
}

// Both subcommands need the package, the root and the version.
template <class Request>
bool complete(const Request* request)
{
    return request && given(request->package) && given(request->app_dir) && given(request->version);
}

int missing(updater_error* error, const char* what)
{
    return fail(error, UPDATER_ERROR_INVALID_ARGUMENT, std::string(what) + " is required");
}

// Well-formed UTF-8: no stray continuation byte, no sequence cut short or
// overlong, no surrogate, nothing beyond U+10FFFF. (Stops at the first bad
// byte, so it never reads past the terminating NUL.)
bool is_utf8(const char* text)
{
    for (auto* at = reinterpret_cast<const unsigned char*>(text); *at;) {
        const unsigned char lead = *at;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        // The length of the sequence, and the range of its second byte,
        // which rules out the overlong forms, surrogates and too high values
        // (0xc0, 0xc1 and 0xf5 on can only lead those).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xbf;
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            low = lead == 0xe0 ? 0xa0 : 0x80;   // below U+0800: overlong
            high = lead == 0xed ? 0x9f : 0xbf;  // U+D800 to U+DFFF: surrogates
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            low = lead == 0xf0 ? 0x90 : 0x80;   // below U+10000: overlong
            high = lead == 0xf4 ? 0x8f : 0xbf;  // beyond U+10FFFF
        } else {
            return false;
        }
        if (at[1] < low || at[1] > high)
            return false;
        for (std::size_t i = 2; i < length; ++i)
            if ((at[i] & 0xc0) != 0x80)
                return false;
        at += length;
    }
    return true;
}

// A request's strings by the names of their fields.
using named_strings = std::vector<std::pair<std::string, const char*>>;

named_strings strings_of(const updater_prepare_request& request)
{
    return {{"updater", request.updater}, {"package", request.package}, {"app_dir", request.app_dir},
            {"version", request.version}, {"exe", request.exe},         {"sha256", request.sha256}};
}

named_strings strings_of(const updater_apply_request& request)
{
    named_strings strings{{"updater", request.updater}, {"package", request.package}, {"app_dir", request.app_dir},
                          {"version", request.version}, {"exe", request.exe},         {"sha256", request.sha256}};
    for (std::size_t i = 0; request.args && request.args[i]; ++i)
        strings.emplace_back("args[" + std::to_string(i) + "]", request.args[i]);
    return strings;
}

// Refuses the first string that is not UTF-8, naming its field; 0 when
// there is none. Such a string would not reach the updater as it is: on
// Windows its bad bytes become replacement characters (an app_dir with one
// stray byte names another directory beside the real root), and on Linux
// the updater's log and relaunch would pass them on as they are.
int refuse_non_utf8(const named_strings& strings, updater_error* error)
{
    for (const auto& [name, text] : strings)
        if (text && !is_utf8(text))
            return fail(error, UPDATER_ERROR_INVALID_ARGUMENT, name + " is not valid UTF-8");
    return UPDATER_OK;
}

// What both subcommands are told: the package, the root, the version, the
// main executable and the digest, if any.
template <class Request>
std::vector<std::string> command(const Request& request, const char* subcommand)
{
    std::vector<std::string> argv{updater_program(request.updater, request.app_dir),
                                  subcommand,
                                  "--package",
                                  request.package,
                                  "--app-dir",
                                  request.app_dir,
                                  "--version",
                                  request.version};
    // Where none is named, the updater takes its own default.
    if (given(request.exe))
        argv.insert(argv.end(), {"--exe", request.exe});
    if (given(request.sha256))
        argv.insert(argv.end(), {"--sha256", request.sha256});
    return argv;
}

std::vector<std::string> apply_command(const updater_apply_request& request)
{
    std::vector<std::string> argv = command(request, "apply");
    argv.insert(argv.end(), {"--pid", std::to_string(client::own_process_id())});
    std::vector<std::string> args;
    for (const char* const* arg = request.args; arg && *arg; ++arg)
        args.emplace_back(*arg);
    if (!args.empty())
        argv.insert(argv.end(), {"--args", client::relaunch_argument_string(args)});
    if (request.confirm_timeout_s > 0)
        argv.insert(argv.end(), {"--confirm-timeout", std::to_string(request.confirm_timeout_s)});
    if (request.no_launch)
        argv.emplace_back("--no-launch");
    return argv;
}

// "progress DONE TOTAL", as `updater prepare --progress` writes it.
bool parse_progress(const std::string& line, unsigned long long& done, unsigned long long& total)
{
    std::istringstream in(line);
    std::string word, rest;
    return in >> word >> done >> total && word == "progress" && !(in >> rest);
}

// Why a preparation failed, from what the updater wrote: the messages of
// the errors it logged ("error MESSAGE" lines), the last of which says that
// it failed; else the first other line, which it wrote before it had a log
// (a command-line error, a root it could not lock); else its exit code.
std::string failure_of_prepare(const std::vector<std::string>& errors, const std::string& other_line, int exit_code)
{
    std::string joined;
    for (const std::string& error : errors)
        joined += (joined.empty() ? "" : "; ") + error;
    if (joined.empty())
        joined = other_line;
    return joined.empty() ? "updater prepare exited with code " + std::to_string(exit_code) : joined;
}

int run_prepare(const updater_prepare_request& request, int* exit_code, updater_error* error)
{
    std::vector<std::string> argv = command(request, "prepare");
    argv.emplace_back("--progress");
    std::string message;
    if (!client::command_line_fits(argv, message))
        return fail(error, UPDATER_ERROR_INVALID_ARGUMENT, message);
    const std::string error_prefix = "error ";
    std::vector<std::string> errors;
    std::string other_line;
    const auto on_line = [&](const std::string& line) {
        unsigned long long done = 0, total = 0;
        if (parse_progress(line, done, total)) {
            if (request.progress)
                request.progress(done, total, request.context);
        } else if (line.compare(0, error_prefix.size(), error_prefix) == 0)
            errors.push_back(line.substr(error_prefix.size()));
        else if (other_line.empty())
            other_line = line;
    };
    int code = -1;
    if (!client::run_reading_lines(argv, on_line, code, message))
        return fail(error, UPDATER_ERROR_START_FAILED, message);
    if (code == -1)
        return fail(error, UPDATER_ERROR_SYSTEM, message);
    if (exit_code)
        *exit_code = code;
    if (code == 0)
        return succeed(error);
    return fail(error, UPDATER_ERROR_PREPARE_FAILED, failure_of_prepare(errors, other_line, code));
}

// Runs a call with every exception it raises turned into an error value.
template <class Call>
int guarded(updater_error* error, Call call)
{
    try {
        return call();
    } catch (const std::exception& e) {
        return fail(error, UPDATER_ERROR_SYSTEM, e.what());
    } catch (...) {
        return fail(error, UPDATER_ERROR_SYSTEM, "unexpected error");
    }
}

}  // namespace

extern "C" {

updater_start_kind updater_start_kind_of(int argc, char* const* argv)
{
    // The updater puts the marker first.
    if (argc < 2 || !argv || !argv[1])
        return UPDATER_START_PLAIN;
    if (std::strcmp(argv[1], protocol::after_update_marker) == 0)
        return UPDATER_START_AFTER_UPDATE;
    if (std::strcmp(argv[1], protocol::update_failed_marker) == 0)
        return UPDATER_START_UPDATE_FAILED;
    return UPDATER_START_PLAIN;
}

int updater_find_app_dir(const char* argv0, char* out, unsigned long out_size, updater_error* error)
{
    return guarded(error, [&] {
        std::string dir, message;
        if (!client::own_executable_dir(argv0, dir, message))
            return fail(error, UPDATER_ERROR_SYSTEM, message);
        const std::string root = client::parent_of(dir);
        if (!out || root.size() + 1 > out_size)
            return fail(error, UPDATER_ERROR_INVALID_ARGUMENT, "the buffer is too small for " + root);
        std::memcpy(out, root.c_str(), root.size() + 1);
        return succeed(error);
    });
}

int updater_start_apply(const updater_apply_request* request, updater_error* error)
{
    return guarded(error, [&] {
        if (!complete(request))
            return missing(error, "package, app_dir and version");
        if (const int refused = refuse_non_utf8(strings_of(*request), error))
            return refused;
        const std::vector<std::string> argv = apply_command(*request);
        std::string message;
        if (!client::command_line_fits(argv, message))
            return fail(error, UPDATER_ERROR_INVALID_ARGUMENT, message);
        if (!client::start_detached(argv, message))
            return fail(error, UPDATER_ERROR_START_FAILED, message);
        return succeed(error);
    });
}

int updater_prepare(const updater_prepare_request* request, int* exit_code, updater_error* error)
{
    return guarded(error, [&] {
        if (!complete(request))
            return missing(error, "package, app_dir and version");
        if (const int refused = refuse_non_utf8(strings_of(*request), error))
            return refused;
        return run_prepare(*request, exit_code, error);
    });
}

int updater_confirm_start(const char* app_dir, updater_error* error)
{
    return guarded(error, [&] {
        if (!given(app_dir))
            return missing(error, "app_dir");
        if (const int refused = refuse_non_utf8({{"app_dir", app_dir}}, error))
            return refused;
        std::string message;
        if (!client::create_flag_file(client::join_path(app_dir, protocol::confirmation_file_name), message))
            return fail(error, UPDATER_ERROR_SYSTEM, message);
        return succeed(error);
    });
}

}  // extern "C"
