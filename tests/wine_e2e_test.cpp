// The Windows program, updater.exe, run under Wine against temporary
// application roots, with Windows helper programs: one that records its
// command line and working directory, one that sleeps, one that holds a
// directory, the updater built without its manifest, and the updater built
// with a stand-in for a flush call that Wine lacks.
//
// Needs UPDATER_EXE, WIN_RECORD_APP, WIN_SLEEPER, WIN_HOLDER,
// WIN_UPDATER_WITHOUT_MANIFEST, WIN_UPDATER_FLUSH_STAND_IN and WINEPREFIX in
// the environment, and a
// UTF-8 locale whose ANSI code page is 1252 (scripts/test-windows.sh sets
// them all). This file is UTF-8, and so are its string literals.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace test;

namespace {

const char* const wine = "/usr/lib/wine/wine64";
using lines = std::vector<std::string>;

std::string env_or_empty(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

const std::string updater_exe = env_or_empty("UPDATER_EXE");
const std::string record_app = env_or_empty("WIN_RECORD_APP");
const std::string sleeper = env_or_empty("WIN_SLEEPER");
const std::string holder = env_or_empty("WIN_HOLDER");
const std::string updater_without_manifest = env_or_empty("WIN_UPDATER_WITHOUT_MANIFEST");
const std::string updater_flush_stand_in = env_or_empty("WIN_UPDATER_FLUSH_STAND_IN");
const std::string example_app = env_or_empty("WIN_EXAMPLE_APP");
const std::string swapper = env_or_empty("WIN_SWAPPER");

// Wine shows the Unix root as drive Z:.
std::string windows_path(const fs::path& path)
{
    std::string text = "Z:" + path.string();
    for (char& c : text)
        if (c == '/')
            c = '\\';
    return text;
}

std::string strip_cr(std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// Wine's Restart Manager is a stub that names no holder, so there the retry
// warning stays "Retrying ACTION of PATH: MESSAGE" (Windows appends
// "; held by NAME (pid N), ..."). The trace of the stubs (WINEDEBUG=
// fixme+rstrtmgr) shows how many files each query named, and that every
// session was ended.
void expect_holders_asked_about(const run_result& result, const std::vector<int>& files_per_query)
{
    const auto calls = [&](const std::string& pattern) {  // the first group of each match
        std::vector<std::string> found;
        const std::regex call("fixme:rstrtmgr:" + pattern);
        for (std::sregex_iterator it(result.err.begin(), result.err.end(), call), end; it != end; ++it)
            found.push_back((*it)[1]);
        return found;
    };
    std::vector<int> registered;
    for (const std::string& files : calls("RmRegisterResources -?[0-9]+, ([0-9]+),"))
        registered.push_back(std::stoi(files));
    EXPECT_EQ(registered, files_per_query) << result.err;
    EXPECT_EQ(calls("RmStartSession").size(), files_per_query.size());
    EXPECT_EQ(calls("RmEndSession").size(), files_per_query.size());
}

class wine_run : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(updater_exe.empty() || record_app.empty() || sleeper.empty() || holder.empty() ||
                     updater_without_manifest.empty() || updater_flush_stand_in.empty() || example_app.empty() ||
                     swapper.empty())
            << "run scripts/test-windows.sh";
        make_app_root(root, {{"old.txt", "old version"}});
        fs::copy_file(record_app, root / "current" / "app.exe");
        old_tree = tree_contents(root / "current");
    }

    std::vector<zip_item> new_package_items(const std::string& exe = "app.exe") const
    {
        return {{"lib/", "", item_kind::directory}, {"lib/new.dat", "new data"}, {exe, read_file(record_app)}};
    }

    run_result updater(std::vector<std::string> args)
    {
        args.insert(args.begin(), {wine, updater_exe});
        std::map<std::string, std::string> env{{"RECORD_FILE", windows_path(record)}, {"WINEDEBUG", wine_debug}};
        if (!start_check.empty())
            env["START_CHECK"] = start_check;
        return run_program(args, env);
    }

    run_result apply(std::vector<std::string> extra = {}, const std::string& pid = "999999")
    {
        std::vector<std::string> args{"apply",        "--pid", pid, "--package", windows_path(package), "--app-dir",
                                      windows_path(root), "--version", "2.0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return updater(args);
    }

    lines messages(const std::string& log_name = "updater.log") const
    {
        lines result;
        for (const std::string& line : read_lines(root / log_name))
            result.push_back(strip_cr(log_message_of(line)));
        return result;
    }

    // A field of what the record app recorded (with suffix ".new", of a new
    // one under a start check).
    std::string recorded(const std::string& field, const std::string& suffix = "")
    {
        const fs::path file = record.string() + suffix;
        if (!wait_for_file(file, 10000))
            return "(nothing recorded)";
        for (const std::string& line : read_lines(file))
            if (line.rfind(field + "=", 0) == 0)
                return line.substr(field.size() + 1);
        return "(no " + field + ")";
    }

    // Starts the sleeper under Wine and returns the Linux process id of its
    // loader and the Windows process id it reported.
    std::pair<int, std::string> start_sleeper(const std::string& milliseconds)
    {
        const fs::path pid_file = dir.path / ("sleeper-" + milliseconds + ".pid");
        std::vector<std::string> args{wine, sleeper, windows_path(pid_file)};
        if (!milliseconds.empty())
            args.push_back(milliseconds);
        const int loader = start_program(args);
        EXPECT_TRUE(wait_for_file(pid_file, 20000));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return {loader, read_file(pid_file)};
    }

    // Runs an update with no package (so it ends with 1 after the wait) and
    // returns how long it took.
    double seconds_of_failing_apply(const std::string& pid)
    {
        fs::remove(package);
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(apply({}, pid).exit_code, 1);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }

    std::string exe_path(const std::string& exe = "app.exe") const { return windows_path(root / "current" / exe); }

    scratch_dir dir;
    fs::path root = dir.path / "app root";
    fs::path package = dir.path / "update.zip";
    fs::path record = dir.path / "started.txt";
    std::map<std::string, std::string> old_tree;
    std::string wine_debug = "-all";
    std::string start_check;  // how the record app acts on a start check, where set
};

TEST_F(wine_run, exit_codes_and_help)
{
    struct expectation {
        std::vector<std::string> args;
        int exit_code;
        std::string output;
    };
    for (const expectation& c : std::vector<expectation>{
             {{}, 0, ""},
             {{"--help"}, 0, "Apply a downloaded update"},
             {{"apply", "--help"}, 0, "--app-dir"},
             {{"apply", "--pid", "1", "--package", "p", "--app-dir", "a"}, 106, "--version is required"},
             {{"apply", "--pid", "x", "--package", "p", "--app-dir", "a", "--version", "1"}, 104, "--pid"},
             {{"extra"}, 109, "The following argument was not expected: extra"},
         }) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const run_result result = updater(c.args);
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_NE((result.out + result.err).find(c.output), std::string::npos) << result.out << result.err;
    }
    EXPECT_FALSE(fs::exists(root / "updater.log"));
}

TEST_F(wine_run, normal_update_with_crlf_lines_and_the_exact_command_line)
{
    write_zip(package, new_package_items());
    const std::string args = "--user \"Jane Doe\" 'single' \"quote\\\"d\"";
    ASSERT_EQ(apply({"--args", args}).exit_code, 0);
    EXPECT_EQ(messages(), (lines{
                              "Process 999999 not found, proceeding",
                              "Renaming current/ -> current.bak/",
                              "Extracting " + windows_path(package) + " -> current/",
                              "Extracting 3 files from " + windows_path(package),
                              "Extraction complete: 3 files",
                              "Version written: 2.0",
                              "Launching " + exe_path() + " --after-update " + args,
                              "Launched: \"" + exe_path() + "\" --after-update " + args,
                              "Cleaning up backup",
                              "Update complete, exiting",
                          }));
    const std::string log = read_file(root / "updater.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 10);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\r'), 10);
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
    EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" --after-update " + args);
    EXPECT_EQ(recorded("cwd"), windows_path(root / "current"));
    EXPECT_EQ(read_file(root / "current" / "lib" / "new.dat"), "new data");
    EXPECT_FALSE(fs::exists(root / "current.bak"));
}

TEST_F(wine_run, empty_arguments_leave_no_trailing_space)
{
    write_zip(package, new_package_items());
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" --after-update");
}

TEST_F(wine_run, rollback_starts_the_old_application_with_update_failed)
{
    write_zip_with_bad_crc(package, new_package_items(), "broken.bin");
    EXPECT_EQ(apply({"--args", "ignored"}).exit_code, 1);
    const lines log = messages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "Failed to extract: broken.bin");
    EXPECT_EQ(log[log.size() - 2], "Extraction failed, rolling back");
    EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" --update-failed");
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
}

TEST_F(wine_run, launch_failure_reports_the_system_error_code)
{
    write_zip(package, new_package_items());
    EXPECT_EQ(apply({"--exe", "missing.exe"}).exit_code, 0);
    const lines log = messages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "Failed to launch process, error code: 2");
}

TEST_F(wine_run, start_check_keeps_a_confirmed_version_and_rolls_back_one_that_exits_or_hangs)
{
    write_zip(package, new_package_items());
    // Runs an update whose new application acts as mode says; returns the log lines after its start.
    const auto run_update = [&](const std::string& mode, const std::vector<std::string>& options, int exit_code) {
        fs::remove(record);
        fs::remove(record.string() + ".new");
        std::vector<std::string> args{wine, updater_exe, "apply", "--pid", "999999", "--package", windows_path(package),
                                      "--app-dir", windows_path(root), "--version", "2.0"};
        args.insert(args.end(), options.begin(), options.end());
        EXPECT_EQ(run_program(args, {{"RECORD_FILE", windows_path(record)}, {"START_CHECK", mode}}).exit_code,
                  exit_code);
        EXPECT_EQ(recorded("cmdline", ".new"), "\"" + exe_path() + "\" --after-update");
        const lines log = messages();
        EXPECT_EQ(log.at(7), "Launched: \"" + exe_path() + "\" --after-update");
        return lines(log.begin() + 8, log.end());
    };
    const std::string relaunched = "Launched: \"" + exe_path() + "\" --update-failed";
    const auto expect_rolled_back = [&] {
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
        EXPECT_FALSE(fs::exists(root / "current.bak"));
        EXPECT_FALSE(fs::exists(root / ".update-confirmed"));
        EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" --update-failed");
    };

    // Exits early; a stale confirmation goes before the start.
    write_file(root / ".update-confirmed", "");
    write_file(root / ".version", "1.0\r\n");
    EXPECT_EQ(run_update("exit", {"--confirm-timeout", "30"}, 1),
              (lines{"Waiting 30s for the new version to confirm its start",
                     "New version exited with code 5 before confirming its start", relaunched}));
    expect_rolled_back();
    EXPECT_EQ(read_file(root / ".version"), "1.0\r\n");

    // Hangs: terminated at the deadline; with no `.version` before, none after.
    fs::remove(root / ".version");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run_update("hang", {"--confirm-timeout", "3"}, 1),
              (lines{"Waiting 3s for the new version to confirm its start",
                     "New version did not confirm its start in 3s", relaunched}));
    EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2900));
    expect_rolled_back();
    EXPECT_FALSE(fs::exists(root / ".version"));
    // Ended, and so has the process it started: another run does not wait
    // for that one (Wine may still show it for a moment, so the first line
    // is either).
    const std::string child_pid = recorded("child", ".new");
    EXPECT_NE(child_pid, "0");
    fs::remove(package);
    EXPECT_EQ(apply({}, child_pid).exit_code, 1);
    EXPECT_EQ(messages().at(1), "Renaming current/ -> current.bak/");

    // Confirms while it runs: kept.
    write_zip(package, new_package_items());
    write_file(root / ".version", "1.0\r\n");
    EXPECT_EQ(run_update("confirm", {"--confirm-timeout", "30"}, 0),
              (lines{"Waiting 30s for the new version to confirm its start", "New version confirmed its start",
                     "Cleaning up backup", "Update complete, exiting"}));
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
    EXPECT_FALSE(fs::exists(root / ".update-confirmed"));

    // Without the option nothing waits or looks at the confirmation.
    write_file(root / ".update-confirmed", "from the application");
    EXPECT_EQ(run_update("exit", {}, 0), (lines{"Cleaning up backup", "Update complete, exiting"}));
    EXPECT_EQ(read_file(root / ".update-confirmed"), "from the application");
}

TEST_F(wine_run, recovery_layouts)
{
    struct layout {
        std::string what;
        std::function<void()> make;
        std::string first_line;
    };
    for (const layout& l : std::vector<layout>{
             {"leftover", [&] { write_file(root / "current.bak" / "x", "older"); },
              "Removing leftover current.bak from previous update"},
             {"stale", [&] { fs::rename(root / "current", root / "current.bak"); },
              "Found stale backup, restoring current from current.bak"},
             {"incomplete",
              [&] {
                  fs::rename(root / "current", root / "current.bak");
                  write_file(root / "current" / "half", "partial");
                  write_file(root / "current.incomplete", "");
              },
              "Found incomplete current from an interrupted update"},
         }) {
        SCOPED_TRACE(l.what);
        l.make();
        fs::remove(package);
        EXPECT_EQ(apply().exit_code, 1);
        const lines log = messages();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0], l.first_line);
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
        EXPECT_FALSE(fs::exists(root / "current.bak"));
    }
}

TEST_F(wine_run, windows_only_unsafe_names_are_refused)
{
    for (const std::string name : {"data:stream", "CON", "nul.txt", "com1", "LPT9.log", "COM0", "lpt0.txt",
                                   "COM\xc2\xb9", "lpt\xc2\xb3.log", "dir./x", "trail ", "\\\\server\\share\\x",
                                   "C:\\x"}) {
        SCOPED_TRACE(name);
        write_zip(package, {{"ok.txt", "fine"}, {name, "refused"}});
        EXPECT_EQ(apply().exit_code, 1);
        const lines log = messages();
        EXPECT_NE(std::find(log.begin(), log.end(), "Failed to extract: " + name), log.end());
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
    }
}

TEST_F(wine_run, links_and_read_only_entries_never_stop_or_escape_the_removal)
{
    // Wine's links are Unix symbolic links: a directory link shows as a
    // reparse point, a file link only in its final path, and removing or
    // renaming either acts on its target. So under Wine they are left alone
    // and the backup holding them is moved aside; Windows removes a link
    // itself. A file without write permission shows as read-only.
    const fs::path outside = dir.path / "user data";
    write_file(outside / "keep.txt", "precious");
    fs::create_directories(dir.path / "empty");
    fs::create_directory_symlink(outside, root / "current" / "data");
    fs::create_directory_symlink(dir.path / "empty", root / "current" / "cache");
    fs::create_symlink(outside / "keep.txt", root / "current" / "settings.txt");
    // A link whose target's name differs from its own place only in case.
    const fs::path twin = dir.path / "APP ROOT" / "current.bak" / "twin.txt";
    write_file(twin, "the twin's");
    fs::create_symlink(twin, root / "current" / "twin.txt");
    write_file(root / "current" / "read-only" / "file.txt", "locked");
    fs::permissions(root / "current" / "read-only" / "file.txt", fs::perms(0444));
    fs::permissions(root / "current" / "read-only", fs::perms(0555));
    write_zip(package, new_package_items());
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(messages().back(), "Update complete, exiting");
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "current.bak")));
    EXPECT_FALSE(fs::exists(root / "updater.trash.1" / "read-only"));
    EXPECT_EQ(tree_contents(outside), (std::map<std::string, std::string>{{"keep.txt", "precious"}}));
    EXPECT_TRUE(fs::is_directory(dir.path / "empty"));
    EXPECT_EQ(read_file(twin), "the twin's");

    // Later runs leave the links alone too; a log that is a link is refused.
    EXPECT_EQ(apply().exit_code, 0);
    fs::remove(root / "updater.log");
    fs::create_symlink(outside / "keep.txt", root / "updater.log");
    EXPECT_EQ(apply().exit_code, 1);
    EXPECT_EQ(tree_contents(outside), (std::map<std::string, std::string>{{"keep.txt", "precious"}}));
    EXPECT_TRUE(fs::is_directory(dir.path / "empty"));
}

// prepare works beside the running application, whose files stay open, and
// apply then only swaps the copy in; a copy that doesn't fit is removed,
// and --no-launch starts nothing.
TEST_F(wine_run, a_prepared_copy_is_made_beside_open_files_and_swapped_in)
{
    write_zip(package, new_package_items());
    write_file(root / ".version", "1.0\r\n");
    const auto prepare = [&](const std::string& version) {
        return updater({"prepare", "--package", windows_path(package), "--app-dir", windows_path(root), "--version",
                        version})
            .exit_code;
    };
    const fs::path held = dir.path / "held";
    const int loader = start_program({wine, holder, windows_path(root / "current" / "old.txt"), windows_path(held),
                                      "4000"});
    ASSERT_TRUE(wait_for_file(held, 20000));
    EXPECT_EQ(prepare("2.0"), 0);
    EXPECT_EQ(messages().back(), "Prepared current.new for version 2.0");
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
    int status = 0;
    ::waitpid(loader, &status, 0);  // the application has ended
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(messages()[2], "Using the prepared copy: current.new/ -> current/");
    EXPECT_EQ(read_file(root / "current" / "lib" / "new.dat"), "new data");
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
    EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" --after-update");
    EXPECT_FALSE(fs::exists(root / "current.new"));

    // Prepared for another version, or stopped before its record: extracted
    // as usual. Installed on quit: nothing started.
    EXPECT_EQ(prepare("1.9"), 0);
    fs::remove(record);
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(messages()[1], "Removing prepared current.new: it was prepared for version 1.9");
    // What this update started has recorded its start before the record goes.
    EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" --after-update");
    EXPECT_EQ(prepare("2.0"), 0);
    fs::remove(root / "current.new.ready");
    fs::remove(record);
    ASSERT_EQ(apply({"--no-launch"}).exit_code, 0);
    const lines log = messages();
    EXPECT_EQ(log[0], "Removing incomplete current.new from an interrupted preparation");
    EXPECT_EQ(log[log.size() - 3],
              "Not launching " + windows_path(root / "current" / "app.exe") + " --after-update: --no-launch");
    EXPECT_EQ(read_file(root / "current" / "lib" / "new.dat"), "new data");
    EXPECT_FALSE(fs::exists(root / "current.new"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_FALSE(fs::exists(record));
}

// The example application updates itself through the client library:
// prepares, has the updater apply, restarts as the new version with the
// arguments it was given, and confirms its start. The arguments cross two
// Windows command lines on the way (the updater's, and within it the new
// version's) and must arrive as they were, a long one full of quotes and
// backslashes too; arguments that would make the updater's command line
// too long for Windows are refused, and nothing is started.
TEST_F(wine_run, the_example_application_updates_itself_and_keeps_its_arguments)
{
    fs::remove_all(root / "current");
    fs::create_directories(root / "current");
    fs::copy_file(updater_exe, root / "updater.exe");
    fs::copy_file(example_app, root / "current" / "app.exe");
    write_file(root / "current" / "version.txt", "1.0\n");
    write_zip(package, {{"app.exe", read_file(example_app)}, {"version.txt", "2.0\n"}});
    std::string quotes_and_backslashes;
    for (int i = 0; i < 3000; ++i)
        quotes_and_backslashes += "\\\"";
    const lines args{"two words", "say \"hi\"", "back\\slash", "slash before quote\\\"", "trailing\\",
                     "trailing two\\\\", "", "na\u00efve \u65e5\u672c", "\"", "\\\\\"in two\\\\\"", "tab\there",
                     "\\\\server\\share\\", quotes_and_backslashes};
    std::vector<std::string> command{wine, (root / "current" / "app.exe").string(), "--update",
                                     windows_path(package), "2.0"};
    command.insert(command.end(), args.begin(), args.end());
    const run_result updated = run_program(command, {{"WINEDEBUG", wine_debug}});
    EXPECT_EQ(updated.exit_code, 0);
    EXPECT_NE(updated.out.find("preparing the update: 100%"), std::string::npos) << updated.out;
    for (int i = 0; i < 300 && !(fs::exists(root / "updater.log") && messages().back() == "Update complete, exiting");
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(messages().back(), "Update complete, exiting");
    EXPECT_EQ(messages()[2], "Using the prepared copy: current.new/ -> current/");

    lines after_update, log;
    for (const std::string& line : read_lines(root / "example.log"))
        log.push_back(strip_cr(line));
    bool in_new_version = false;
    for (const std::string& line : log) {
        if (line == "example 2.0: after an update")
            in_new_version = true;
        else if (in_new_version && line.rfind("  argument: ", 0) == 0)
            after_update.push_back(line.substr(12));
        else if (in_new_version)
            break;
    }
    EXPECT_EQ(after_update, args);
    EXPECT_EQ(log.back(), "confirmed the start");
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");

    // Ten arguments of 1,000 quotes each fit the example's own command line
    // (2 characters a quote), not the updater's (4 a quote).
    command = {wine, (root / "current" / "app.exe").string(), "--update", windows_path(package), "3.0"};
    command.insert(command.end(), 10, std::string(1000, '"'));
    EXPECT_EQ(run_program(command, {{"WINEDEBUG", wine_debug}}).exit_code, 1);
    const std::string refusal = strip_cr(read_lines(root / "example.log").back());
    const std::string start = "could not start the update: the command line to start " +
                              windows_path(root / "updater.exe") + " would be ";
    EXPECT_EQ(refusal.substr(0, start.size()), start);
    EXPECT_NE(refusal.find(" characters long, beyond Windows' limit of 32767"), std::string::npos) << refusal;
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(messages().back(), "Prepared current.new for version 3.0");
    EXPECT_EQ(read_file(root / ".version"), "2.0\r\n");
}

// With --sha256 the package is held, shared for reading only, from before it
// is hashed to the end of its extraction: a program that keeps replacing
// and rewriting it meanwhile is refused, and the verified bytes are
// installed.
TEST_F(wine_run, a_package_swapped_and_rewritten_during_the_run_is_never_installed)
{
    std::vector<zip_item> good = new_package_items(), evil = new_package_items();
    good.push_back({"big.bin", std::string(64 << 20, 'g'), item_kind::file, 0, false, true});
    evil.push_back({"big.bin", std::string(64 << 20, 'e'), item_kind::file, 0, false, true});
    write_zip(package, good);
    write_zip(dir.path / "evil.zip", evil);
    const std::string digest = run_program({"/usr/bin/sha256sum", package.string()}).out.substr(0, 64);
    EXPECT_EQ(apply({"--sha256", std::string(64, '0')}).exit_code, 1);
    EXPECT_EQ(messages()[4], "SHA-256 of " + windows_path(package) + " is " + digest +
                                 ", not the expected " + std::string(64, '0'));
    EXPECT_EQ(tree_contents(root / "current"), old_tree);

    // The swapper starts once the update holds the package, and goes on
    // past its end.
    const fs::path counts = dir.path / "counts", go = dir.path / "go";
    const int swapping = start_program({wine, swapper, windows_path(package), windows_path(dir.path / "evil.zip"),
                                        windows_path(counts), "4000", windows_path(go)});
    fs::remove(root / "updater.log");
    const int updating = start_program({wine, updater_exe, "apply", "--pid", "999999", "--package",
                                        windows_path(package), "--app-dir", windows_path(root), "--version", "2.0",
                                        "--sha256", digest});
    int status = 0;
    bool ended = false;
    for (bool moved_aside = false; !moved_aside && !ended;) {
        const lines log = messages();
        moved_aside = std::find(log.begin(), log.end(), "Renaming current/ -> current.bak/") != log.end();
        ended = !moved_aside && ::waitpid(updating, &status, WNOHANG) != 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    write_file(go, "");
    if (!ended)
        ::waitpid(updating, &status, 0);
    ::waitpid(swapping, nullptr, 0);
    EXPECT_FALSE(ended) << "the update ended before it moved current aside";
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    EXPECT_EQ(read_file(root / "current" / "big.bin"), std::string(64 << 20, 'g'));
    unsigned succeeded = 0, refused = 0;
    std::istringstream(read_file(counts)) >> succeeded >> refused;
    EXPECT_GT(refused, 0u) << "the swapper was never refused: the package was not held";
    EXPECT_GT(succeeded, 0u) << "the swapper never got through, even after the update";
}

// Wine follows its links whatever a call asks, so a link at `current` (an
// application moved to another drive and linked back) or at `current.bak`
// can be neither renamed nor removed: each run fails at once, says why and
// leaves what the link leads to alone, until the user replaces the link.
TEST_F(wine_run, a_link_at_current_or_its_backup_fails_the_run_and_is_left_alone)
{
    const fs::path moved = dir.path / "other drive" / "current";
    fs::create_directories(moved.parent_path());
    fs::copy(root / "current", moved, fs::copy_options::recursive);
    write_zip(package, new_package_items());
    const std::string link_error = "a link, which Wine can't rename or remove without acting on what it leads to; "
                                   "replace it by what it leads to, or remove it";
    const auto backup = windows_path(root / "current.bak");

    fs::create_directory_symlink(moved, root / "current.bak");
    EXPECT_EQ(apply().exit_code, 1);
    EXPECT_EQ(messages(), (lines{"Removing leftover current.bak from previous update",
                                 "Failed to remove " + backup + ": " + link_error,
                                 "Failed to move " + backup + " aside: " + link_error,
                                 "Process 999999 not found, proceeding", "Renaming current/ -> current.bak/",
                                 "Failed to rename current: " + backup + " is in the way"}));
    EXPECT_EQ(tree_contents(moved), old_tree);
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
    fs::remove(root / "current.bak");
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(read_file(root / "current" / "lib" / "new.dat"), "new data");

    fs::remove_all(root / "current");
    fs::create_directory_symlink(moved, root / "current");
    EXPECT_EQ(apply().exit_code, 1);
    EXPECT_EQ(messages().back(), "Failed to rename current: " + link_error);
    EXPECT_EQ(tree_contents(moved), old_tree);
    fs::remove(root / "current");
    fs::rename(moved, root / "current");
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(read_file(root / "current" / "lib" / "new.dat"), "new data");

    // Nor can Wine open, rename or remove a Unix pipe: one at a set-aside
    // name or at `.version` stays where it is, and the update still applies.
    fs::remove(root / ".version");
    ASSERT_EQ(::mkfifo((root / "updater.trash.1").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((root / ".version").c_str(), 0644), 0);
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(messages().back(), "Update complete, exiting");
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(messages().back(), "Update complete, exiting");
}

// The file-system calls of a relay trace whose path argument is as long as
// the classic form allows or longer, yet not in the extended form.
lines long_paths_in_classic_form(const std::string& trace)
{
    static const std::regex call(R"(Call (?:KERNEL32|KERNELBASE|msvcrt|ucrtbase)\.(\w+)\((.*)\) ret=)");
    static const std::regex file_call("CreateFileW|CreateDirectoryW|GetFileAttributesW|GetFileAttributesExW|"
                                      "SetFileAttributesW|DeleteFileW|RemoveDirectoryW|MoveFileExW|"
                                      "MoveFileWithProgressW|FindFirstFileExW|FindFirstFileW|_w\\w+");
    static const std::regex literal(R"re(L"((?:[^"\\]|\\.)*)"(\.\.\.)?)re");
    lines found;
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        if (!std::regex_search(line, match, call) || !std::regex_match(match[1].str(), file_call))
            continue;
        const std::string arguments = match[2];
        for (std::sregex_iterator it(arguments.begin(), arguments.end(), literal), end; it != end; ++it) {
            std::string path = std::regex_replace((*it)[1].str(), std::regex(R"(\\\\)"), "\\");
            const bool cut_short = (*it)[2].matched;
            if ((cut_short || path.size() >= 248) && path.rfind("\\\\?\\", 0) != 0)
                found.push_back(match[1].str() + ": " + path);
        }
    }
    return found;
}

TEST_F(wine_run, paths_past_the_classic_limit_are_applied_rolled_back_and_recovered)
{
    // Deepest path over 300 characters; the log keeps paths as given.
    std::string deep;
    for (int level = 0; level < 8; ++level)
        deep += "a directory name that is rather long " + std::to_string(level) + "/";
    std::vector<zip_item> items = new_package_items();
    items.push_back({deep + "deepest file.txt", "at the bottom"});
    items.push_back({deep.substr(0, deep.size() / 2) + "middle.txt", "half way"});
    ASSERT_GT((root / "current" / deep).string().size(), 300u);
    package = dir.path / std::string(150, 'p') / std::string(150, 'q') / "update.zip";
    fs::create_directories(package.parent_path());
    const auto traced_apply = [&] {
        run_result result = run_program({wine, updater_exe, "apply", "--pid", "999999", "--package",
                                         windows_path(package), "--app-dir", windows_path(root), "--version", "2.0"},
                                        {{"RECORD_FILE", windows_path(record)}, {"WINEDEBUG", "+relay"}});
        EXPECT_EQ(long_paths_in_classic_form(result.err), lines{});
        EXPECT_GT(result.err.size(), 0u) << "no relay trace";
        for (const std::string& message : messages())
            EXPECT_EQ(message.find("\\\\?\\"), std::string::npos) << message;
        return result.exit_code;
    };

    write_zip_with_bad_crc(package, items, "broken.bin");
    EXPECT_EQ(traced_apply(), 1);
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
    EXPECT_FALSE(fs::exists(root / "current.bak"));

    write_zip(package, items);
    EXPECT_EQ(traced_apply(), 0);
    EXPECT_EQ(read_file(root / "current" / deep / "deepest file.txt"), "at the bottom");

    // Stopped while the deep tree was being extracted over the old one.
    const std::map<std::string, std::string> installed = tree_contents(root / "current");
    fs::rename(root / "current", root / "current.bak");
    fs::copy(root / "current.bak", root / "current", fs::copy_options::recursive);
    write_file(root / "current.incomplete", "");
    fs::remove(package);
    EXPECT_EQ(traced_apply(), 1);
    EXPECT_EQ(messages()[0], "Found incomplete current from an interrupted update");
    EXPECT_EQ(tree_contents(root / "current"), installed);
    EXPECT_FALSE(fs::exists(root / "current.bak"));
    EXPECT_FALSE(fs::exists(root / "updater.trash.1"));
}

TEST_F(wine_run, a_backup_that_cant_be_removed_is_moved_aside_and_removed_later)
{
    const fs::path held_file = root / "current" / "old.txt";
    const fs::path held = dir.path / "held";
    // Held well past the removal's 10 s of retries, whenever under load the
    // run gets to it.
    const int loader = start_program({wine, holder, windows_path(held_file), windows_path(held), "25000"});
    ASSERT_TRUE(wait_for_file(held, 20000));
    write_zip(package, new_package_items());
    wine_debug = "-all,fixme+rstrtmgr";
    const run_result result = apply();
    EXPECT_EQ(result.exit_code, 0);
    int status = 0;
    ::waitpid(loader, &status, 0);
    const lines log = messages();
    const std::string backup = windows_path(root / "current.bak");
    const std::string aside = windows_path(root / "updater.trash.1");
    ASSERT_GE(log.size(), 5u);
    // Renamed out of the layout first, then removed.
    EXPECT_EQ(log[log.size() - 4], "Retrying removal of " + aside + ": Sharing violation");
    expect_holders_asked_about(result, {1});  // the file the removal stopped at
    EXPECT_EQ(log[log.size() - 3], "Failed to remove " + aside + "\\old.txt: Sharing violation");
    EXPECT_EQ(log[log.size() - 2], "Moved " + backup + " aside to " + aside);
    EXPECT_EQ(log.back(), "Update complete, exiting");
    EXPECT_FALSE(fs::exists(root / "current.bak"));
    EXPECT_EQ(tree_contents(root / "updater.trash.1"), (std::map<std::string, std::string>{{"old.txt", "old version"}}));

    // Once nothing holds it, the next run removes it without a word.
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(messages()[0], "Process 999999 not found, proceeding");
    EXPECT_FALSE(fs::exists(root / "updater.trash.1"));
}

TEST_F(wine_run, non_ascii_names_are_created_with_their_own_characters)
{
    write_zip(package, {{"caf\xc3\xa9/na\xc3\xafve \xe2\x82\xac.txt", "unicode"}, {"app.exe", read_file(record_app)}});
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(read_file(root / "current" / "caf\xc3\xa9" / "na\xc3\xafve \xe2\x82\xac.txt"), "unicode");
}

// Every file and directory below dir, by relative path.
std::set<std::string> entries_below(const fs::path& dir)
{
    std::set<std::string> result;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        result.insert(entry.path().lexically_relative(dir).string());
    return result;
}

// A user's profile whose name code page 1252 lacks. The manifest makes the
// narrow strings UTF-8, so the names pass intact through the command line,
// the log and the command line of the started application. Without it
// (Windows before 10 version 1903) argv arrives best-fitted to 1252:
// Cyrillic turns into "?", "Ł" and "ź" into "L" and "z", which must be
// refused rather than name another directory ("Lódz").
TEST_F(wine_run, names_outside_the_ansi_code_page)
{
    root = dir.path / "Дмитрий 李明" / "App";
    package = dir.path / "пакет 更新.zip";
    make_app_root(root, {{"old.txt", "old version"}});
    fs::copy_file(record_app, root / "current" / "app.exe");
    write_zip(package, new_package_items());
    const std::string args = "--user Дмитрий";
    const run_result result = apply({"--args", args});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(read_file(root / "current" / "lib" / "new.dat"), "new data");
    EXPECT_FALSE(fs::exists(root / "current" / "old.txt"));
    const lines log = messages();
    for (const std::string& line : {"Extracting " + windows_path(package) + " -> current/",
                                    "Launched: \"" + exe_path() + "\" --after-update " + args})
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
    EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" --after-update " + args);
    EXPECT_EQ(recorded("cwd"), windows_path(root / "current"));

    for (const std::string name : {"Дмитрий", "Łódź"}) {
        SCOPED_TRACE(name);
        const fs::path parent = dir.path / "ansi";
        fs::remove_all(parent);
        make_app_root(parent / name, {{"old.txt", "old version"}});
        write_zip(parent / "update.zip", new_package_items());
        const std::set<std::string> before = entries_below(parent);
        const run_result refused = run_program({wine, updater_without_manifest, "apply", "--pid", "999999", "--package",
                                                windows_path(parent / "update.zip"), "--app-dir",
                                                windows_path(parent / name), "--version", "2.0"});
        EXPECT_EQ(refused.exit_code, 1);
        EXPECT_EQ(refused.err.rfind("updater: filesystem error: can't convert the command line", 0), 0u)
            << refused.err;
        EXPECT_EQ(entries_below(parent), before);
    }
}

// NTFS compares names regardless of case: `Current` is `current`. Under
// Wine the root is a Unix directory, which may hold a name of the layout in
// another case only, or in several spellings side by side. One spelling is
// the layout's own, as on Windows; of several, which is meant can't be
// told, so the run stops before it changes anything and says what to do.
TEST_F(wine_run, names_in_another_case_are_the_layouts_own_and_several_spellings_stop_the_run)
{
    write_zip(package, new_package_items());
    const auto reset = [&] {
        fs::remove_all(root);
        make_app_root(root, {{"old.txt", "old version"}});
        fs::copy_file(record_app, root / "current" / "app.exe");
        write_file(root / ".version", "1.0\r\n");
        fs::remove(record);
        start_check.clear();
    };
    const auto names_in_root = [&] {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(root))
            names.insert(entry.path().filename().string());
        return names;
    };
    struct variant {
        std::string what;
        std::function<void()> make;
        std::vector<std::string> options;
        int exit_code;
        std::string log_name;
        std::string log_line;
    };
    for (const variant& v : std::vector<variant>{
             {"the application as Current", [&] { fs::rename(root / "current", root / "Current"); }, {}, 0,
              "updater.log", "Renaming current/ -> current.bak/"},
             {"an interrupted update: CURRENT.BAK, a partial Current and Current.Incomplete",
              [&] {
                  fs::rename(root / "current", root / "CURRENT.BAK");
                  write_file(root / "Current" / "half", "partial");
                  write_file(root / "Current.Incomplete", "");
              },
              {}, 0, "updater.log", "Found incomplete current from an interrupted update"},
             {"the log as UPDATER.LOG", [&] { write_file(root / "UPDATER.LOG", "older"); }, {}, 0, "UPDATER.LOG",
              "Update complete, exiting"},
             {"a stray .Version.New", [&] { write_file(root / ".Version.New", "1.5\r\n"); }, {}, 0, "updater.log",
              "Update complete, exiting"},
             {"a copy prepared as Current.New",
              [&] {
                  updater({"prepare", "--package", windows_path(package), "--app-dir", windows_path(root),
                           "--version", "2.0"});
                  fs::rename(root / "current.new", root / "Current.New");
                  fs::rename(root / "current.new.ready", root / "CURRENT.NEW.READY");
              },
              {}, 0, "updater.log", "Using the prepared copy: current.new/ -> current/"},
             // Removed before the start, not taken for its confirmation.
             {"a stale .Update-Confirmed",
              [&] {
                  write_file(root / ".Update-Confirmed", "");
                  start_check = "exit";
              },
              {"--confirm-timeout", "20"}, 1, "updater.log",
              "New version exited with code 5 before confirming its start"},
         }) {
        SCOPED_TRACE(v.what);
        reset();
        v.make();
        EXPECT_EQ(apply(v.options).exit_code, v.exit_code);
        const lines log = messages(v.log_name);
        EXPECT_NE(std::find(log.begin(), log.end(), v.log_line), log.end()) << ::testing::PrintToString(log);
        EXPECT_EQ(names_in_root(), (std::set<std::string>{".version", "current", v.log_name}));
        EXPECT_EQ(read_file(root / ".version"), v.exit_code == 0 ? "2.0\r\n" : "1.0\r\n");
        const std::string started_with = v.exit_code == 0 ? "--after-update" : "--update-failed";
        EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" " + started_with);
        if (v.exit_code == 0)
            EXPECT_EQ(read_file(root / "current" / "lib" / "new.dat"), "new data");
        else
            EXPECT_EQ(tree_contents(root / "current"), old_tree);
    }

    // Several spellings: the layout stays as it is and nothing starts (no
    // line but these) until all but one have gone.
    reset();
    write_file(root / "Current" / "stray.txt", "not the application");
    for (const std::string name : {".update-confirmed", ".Update-Confirmed", ".UPDATE-CONFIRMED"})
        write_file(root / name, "");
    const std::set<std::string> before = entries_below(root);
    EXPECT_EQ(apply().exit_code, 1);
    const std::string advice =
        ", which Windows takes for one name; rename or remove all but the one that belongs there";
    EXPECT_EQ(messages(), (lines{windows_path(root) + " holds Current and current" + advice,
                                 windows_path(root) + " holds .UPDATE-CONFIRMED, .Update-Confirmed and "
                                                      ".update-confirmed" + advice}));
    std::set<std::string> after = entries_below(root);
    after.erase("updater.log");
    EXPECT_EQ(after, before);
    fs::remove_all(root / "Current");
    fs::remove(root / ".Update-Confirmed");
    fs::remove(root / ".UPDATE-CONFIRMED");
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(read_file(root / "current" / "lib" / "new.dat"), "new data");
    EXPECT_EQ(recorded("cmdline"), "\"" + exe_path() + "\" --after-update");  // and it is done
}

struct flush_counts {
    int write_outs = 0;    // NtFlushBuffersFileEx with FLUSH_FLAGS_NO_SYNC
    int full_flushes = 0;  // NtFlushBuffersFile, each ending in a flush of the device's cache
};

// Counts the flushes of the updater's process in a relay trace of its run
// (WINEDEBUG=+pid,+relay: every call into Wine's own DLLs, with arguments,
// after the process and thread ids). The updater's process is the one that
// looks up NtFlushBuffersFileEx; Wine's services may trace beside it. The
// stand-in for that call announces itself through OutputDebugStringA.
flush_counts count_flushes(const std::string& trace)
{
    flush_counts counts;
    const std::size_t lookup = trace.find("\"NtFlushBuffersFileEx\")");
    if (lookup == std::string::npos)
        return counts;
    const std::size_t line_start = trace.rfind('\n', lookup) + 1;
    const std::string process = trace.substr(line_start, trace.find(':', line_start) + 1 - line_start);
    std::istringstream in(trace);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, process.size(), process) != 0)
            continue;
        counts.full_flushes += line.find(":Call ntdll.NtFlushBuffersFile(") != std::string::npos;
        counts.write_outs += line.find("\"NtFlushBuffersFileEx flags=2\")") != std::string::npos;
    }
    return counts;
}

TEST_F(wine_run, an_update_of_100_files_flushes_the_device_a_constant_number_of_times)
{
    std::vector<zip_item> items;
    std::map<std::string, std::string> new_tree;
    for (int i = 0; i < 100; ++i) {
        const std::string name = (i % 4 ? "dir" + std::to_string(i % 4) + "/" : "") + "file" + std::to_string(i);
        items.push_back({name, "data " + std::to_string(i)});
        new_tree[name] = "data " + std::to_string(i);
    }
    write_zip(package, items);
    struct variant {
        std::string what;
        std::string exe;
        std::string stand_in_refuses_full;
        flush_counts expected;
    };
    // Besides the files: one full flush each for the marker and .version.new.
    for (const variant& v : std::vector<variant>{
             // Wine 8's ntdll lacks the call: every file is flushed completely.
             {"updater.exe", updater_exe, "", {0, 102}},
             // Every file written out, then one full flush for the tree.
             {"with the call", updater_flush_stand_in, "", {100, 3}},
             // That flush refused: every file flushed completely after all.
             {"flush of the tree refused", updater_flush_stand_in, "1", {100, 102}},
         }) {
        SCOPED_TRACE(v.what);
        fs::remove_all(root);
        make_app_root(root, {{"old.txt", "old version"}});
        updater({});  // starts Wine's services, if needed, outside the trace
        std::map<std::string, std::string> env{{"WINEDEBUG", "+pid,+relay"}};
        if (!v.stand_in_refuses_full.empty())
            env["FLUSH_STAND_IN_REFUSES_FULL"] = v.stand_in_refuses_full;
        const run_result result = run_program({wine, v.exe, "apply", "--pid", "999999", "--package",
                                               windows_path(package), "--app-dir", windows_path(root), "--version",
                                               "2.0"}, env);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(tree_contents(root / "current"), new_tree);
        const flush_counts counts = count_flushes(result.err);
        EXPECT_EQ(counts.write_outs, v.expected.write_outs);
        EXPECT_EQ(counts.full_flushes, v.expected.full_flushes);
    }
}

TEST_F(wine_run, waits_for_a_process_that_exits_and_skips_one_that_is_gone)
{
    const auto [loader, pid] = start_sleeper("2000");
    fs::remove(package);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(apply({}, pid).exit_code, 1);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    int status = 0;
    ::waitpid(loader, &status, 0);
    const lines log = messages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "Waiting for process " + pid + " to exit (timeout 30000ms)");
    EXPECT_EQ(log[1], "Renaming current/ -> current.bak/");
    EXPECT_LT(seconds, 10.0);

    EXPECT_EQ(apply({}, pid).exit_code, 1);
    EXPECT_EQ(messages()[0], "Process " + pid + " not found, proceeding");
}

TEST_F(wine_run, slow_a_process_that_never_exits_is_terminated_with_exit_code_1)
{
    // A watcher starts the sleeper and records the exit code it ends with.
    const fs::path pid_file = dir.path / "forever.pid";
    const fs::path code_file = dir.path / "forever.code";
    const int watcher = start_program({wine, sleeper, "--watch", windows_path(pid_file), windows_path(code_file)});
    ASSERT_TRUE(wait_for_file(pid_file, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string pid = read_file(pid_file);
    const double seconds = seconds_of_failing_apply(pid);
    int status = 0;
    ::waitpid(watcher, &status, 0);
    EXPECT_EQ(read_file(code_file), "1");
    const lines log = messages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[1], "Process " + pid + " did not exit in time, terminating");
    EXPECT_GT(seconds, 29.5);
    EXPECT_LT(seconds, 40.0);
}

// An application running elevated lets an updater that is not wait for it
// but not terminate it. Wine has no integrity levels; the sleeper stands in
// by granting everybody only the right to wait for it.
TEST_F(wine_run, slow_a_process_that_may_not_be_terminated_is_waited_for_and_left_running)
{
    const fs::path pid_file = dir.path / "guarded.pid";
    const int loader = start_program({wine, sleeper, "--guarded", windows_path(pid_file), "40000"});
    ASSERT_TRUE(wait_for_file(pid_file, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string pid = read_file(pid_file);
    const double seconds = seconds_of_failing_apply(pid);
    const lines log = messages();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "Waiting for process " + pid + " to exit (timeout 30000ms)");
    EXPECT_EQ(log[1], "Process " + pid + " did not exit in time and could not be terminated: access denied");
    EXPECT_EQ(log[2], "Renaming current/ -> current.bak/");
    EXPECT_GT(seconds, 29.5);
    EXPECT_LT(seconds, 38.0);
    int status = 0;
    ::waitpid(loader, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;  // slept to its end
}

TEST_F(wine_run, renames_are_retried_while_another_program_holds_the_directory)
{
    wine_debug = "-all,fixme+rstrtmgr";
    for (const int held_ms : {1500, 13000}) {
        SCOPED_TRACE(held_ms);
        // The first time, more files than the 1,000 entries below a
        // directory that are looked at for holders.
        const bool many = held_ms < 10000;
        for (int i = 0; many && i < 1100; ++i)
            write_file(root / "current" / ("file" + std::to_string(i)), "");
        const fs::path held = dir.path / ("held-" + std::to_string(held_ms));
        const int loader = start_program({wine, holder, windows_path(root / "current"), windows_path(held),
                                          std::to_string(held_ms)});
        ASSERT_TRUE(wait_for_file(held, 20000));
        write_zip(package, new_package_items());
        const run_result result = apply();
        int status = 0;
        ::waitpid(loader, &status, 0);
        const lines log = messages();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[2], "Retrying rename of " + windows_path(root / "current") + ": Sharing violation");
        expect_holders_asked_about(result, {many ? 1000 : 2});
        EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& m) { return m.rfind("Retrying", 0) == 0; }), 1);
        if (held_ms < 10000) {
            EXPECT_EQ(result.exit_code, 0);
            EXPECT_EQ(log.back(), "Update complete, exiting");
            fs::remove_all(root / "current");
            make_app_root(root, {{"old.txt", "old version"}});
            fs::copy_file(record_app, root / "current" / "app.exe");
        } else {
            EXPECT_EQ(result.exit_code, 1);
            EXPECT_EQ(log.back().rfind("Failed to rename current: ", 0), 0u) << log.back();
            EXPECT_EQ(tree_contents(root / "current"), old_tree);
        }
    }
}

TEST_F(wine_run, a_second_updater_on_the_same_root_waits_for_the_first)
{
    const auto [loader, pid] = start_sleeper("3000");
    write_zip(package, new_package_items());
    const int first = start_program({wine, updater_exe, "apply", "--pid", pid, "--package", windows_path(package),
                                     "--app-dir", windows_path(root), "--version", "2"});
    for (int i = 0; i < 500 && messages().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(messages(), lines{"Waiting for process " + pid + " to exit (timeout 30000ms)"});
    const run_result second = apply();
    int status = 0;
    ::waitpid(first, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::waitpid(loader, &status, 0);
    EXPECT_EQ(second.exit_code, 0) << second.err;
    const lines log = messages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("Waited ", 0), 0u) << log[0];
    EXPECT_EQ(log.back(), "Update complete, exiting");
}

// Reads the resource tree that the cross toolchain's objdump prints.
TEST(windows_executable, is_a_gui_x64_program_with_its_resources)
{
    ASSERT_FALSE(updater_exe.empty());
    const run_result dump = run_program({"/usr/bin/x86_64-w64-mingw32-objdump", "-p", updater_exe});
    ASSERT_EQ(dump.exit_code, 0);
    EXPECT_NE(dump.out.find("(PE32+)"), std::string::npos);
    EXPECT_NE(dump.out.find("(Windows GUI)"), std::string::npos);
    const std::size_t resources = dump.out.find("The .rsrc Resource Directory section:");
    ASSERT_NE(resources, std::string::npos);
    // RT_ICON (3) holds one entry per image; RT_GROUP_ICON (14) and
    // RT_VERSION (16) one each.
    const std::string tree = dump.out.substr(resources);
    const auto count_after = [&](const std::string& type_entry) {
        const std::size_t at = tree.find(type_entry);
        const std::size_t ids = tree.find("IDs: ", at);
        return at == std::string::npos ? -1 : std::atoi(tree.c_str() + ids + 5);
    };
    EXPECT_EQ(count_after("\n010   Entry: ID: 0x000003"), 9);
    EXPECT_EQ(count_after("Entry: ID: 0x00000e"), 1);
    EXPECT_EQ(count_after("Entry: ID: 0x000010"), 1);
    EXPECT_EQ(count_after("Entry: ID: 0x000018"), 1);

    const std::string binary = read_file(updater_exe);
    const auto utf16 = [](const std::string& text) {
        std::string wide;
        for (const char c : text)
            wide += std::string{c, '\0'};
        return wide;
    };
    for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
             {"FileDescription", "Orvelle"}, {"InternalName", "Orvelle"}, {"ProductName", "Orvelle"},
             {"OriginalFilename", "app.exe"}, {"FileVersion", "0.1.0"}, {"ProductVersion", "0.1.0"}}) {
        const std::size_t at = binary.find(utf16(key));
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_NE(binary.find(utf16(value), at), std::string::npos) << key;
        EXPECT_LT(binary.find(utf16(value), at) - at, 64u) << key;
    }
    // VS_FIXEDFILEINFO: signature, then file version 0.1.0.0 (MS word first).
    const std::string fixed_info("\xbd\x04\xef\xfe\x00\x00\x01\x00\x01\x00\x00\x00\x00\x00\x00\x00", 16);
    EXPECT_NE(binary.find(fixed_info), std::string::npos);

    // The manifest is RT_MANIFEST (24) resource 1, the one the loader reads
    // at process start. Its data lies in .rsrc at the leaf's address minus
    // the section's.
    std::smatch section, leaf;
    ASSERT_TRUE(std::regex_search(dump.out, section, std::regex("Entry 2 0*([0-9a-f]+) [0-9a-f]+ Resource Directory")));
    ASSERT_TRUE(std::regex_search(tree, leaf, std::regex("\n[0-9a-f]+   Entry: ID: 0x000018,.*\n.*\n"
                                                         "[0-9a-f]+     Entry: ID: 0x000001,.*\n.*\n.*\n"
                                                         "[0-9a-f]+ +Leaf: Addr: 0x([0-9a-f]+), Size: 0x([0-9a-f]+)")));
    scratch_dir dir;
    const fs::path rsrc = dir.path / "rsrc.bin";
    ASSERT_EQ(run_program({"/usr/bin/x86_64-w64-mingw32-objcopy", "--dump-section", ".rsrc=" + rsrc.string(),
                           updater_exe, (dir.path / "copy.exe").string()}).exit_code, 0);
    const auto hex = [](const std::string& text) { return std::stoul(text, nullptr, 16); };
    const std::string manifest = read_file(rsrc).substr(hex(leaf[1]) - hex(section[1]), hex(leaf[2]));
    for (const std::string setting :
         {"<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8</activeCodePage>",
          "<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</longPathAware>",
          "<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>", "<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>",
          "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>",
          "<supportedOS Id=\"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}\"/>",
          "<supportedOS Id=\"{1f676c76-80e1-4239-95bb-83d0f6d0da78}\"/>",
          "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"})
        EXPECT_NE(manifest.find(setting), std::string::npos) << setting << " in\n" << manifest;
    EXPECT_EQ(manifest.rfind("<?xml", 0), 0u);
    EXPECT_EQ(manifest.substr(manifest.find_last_not_of("\r\n") - 10, 11), "</assembly>");
}

}  // namespace
