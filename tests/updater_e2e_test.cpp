// The built updater run as a separate process against temporary application
// roots, real packages and a stand-in application that records its start.
#include "test_support.h"

#include <updater_client.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fstream>
#include <cctype>
#include <sys/wait.h>
#include <sstream>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace test;

namespace {

const std::string updater = UPDATER_PATH;
const std::string record_app = RECORD_APP_PATH;
const std::string example_app = EXAMPLE_APP_PATH;

using lines = std::vector<std::string>;

// "[YYYY-MM-DD hh:mm:ss.mmm] [updater] [level] message"
bool has_log_line_format(const std::string& line, const std::string& level)
{
    const std::string shape = "[####-##-## ##:##:##.###] [updater] [" + level + "] ";
    if (line.size() <= shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == '#' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i])
            return false;
    return true;
}

// Unmounts a file system the test mounted, however the test ends; where a
// process it did not start still uses it, detaches it at once, to go when
// that ends.
struct scope_unmount {
    fs::path mount_point;
    ~scope_unmount()
    {
        if (run_program({"/bin/umount", mount_point.string()}).exit_code != 0)
            run_program({"/bin/umount", "--lazy", mount_point.string()});
    }
};

class updater_run : public ::testing::Test {
protected:
    void SetUp() override
    {
        make_app_root(root, {{"old.txt", "old version"}, {"lib/old.dat", "old data"}});
        install_app(root / "current" / "app.exe");
        old_tree = tree_contents(root / "current");
    }

    void install_app(const fs::path& where)
    {
        fs::copy_file(record_app, where, fs::copy_options::overwrite_existing);
    }

    std::vector<zip_item> new_package_items(const std::string& exe = "app.exe") const
    {
        return {{"lib/", "", item_kind::directory},
                {"lib/new.dat", "new data"},
                {"new.txt", "new version"},
                {exe, read_file(record_app), item_kind::file, 0755}};
    }

    std::vector<std::string> apply_command(std::vector<std::string> extra = {},
                                           const std::string& pid = "999999999") const
    {
        std::vector<std::string> argv{updater,  "apply",          "--pid",   pid, "--package",
                                      package.string(), "--app-dir", root.string(), "--version", "2.0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    run_result apply(std::vector<std::string> extra = {}, const std::string& pid = "999999999", int run_as = -1)
    {
        return run_program(apply_command(extra, pid), {{"RECORD_FILE", record.string()}}, run_as);
    }

    // Runs the update with at most 64 open descriptors.
    run_result apply_with_few_descriptors()
    {
        std::vector<std::string> argv{"/bin/sh", "-c", "ulimit -n 64 && exec \"$0\" \"$@\""};
        const std::vector<std::string> command = apply_command();
        argv.insert(argv.end(), command.begin(), command.end());
        return run_program(argv, {{"RECORD_FILE", record.string()}});
    }

    bool log_has(const std::string& message) const
    {
        const lines log = messages();
        return std::find(log.begin(), log.end(), message) != log.end();
    }

    // Names in the application root besides the layout's own.
    lines strays() const
    {
        lines names;
        for (const auto& entry : fs::directory_iterator(root)) {
            const std::string name = entry.path().filename().string();
            if (name != "current" && name != "updater.log" && name != ".version")
                names.push_back(name);
        }
        return names;
    }

    lines messages() const { return log_messages(root / "updater.log"); }

    // What the started application recorded: its arguments and surroundings
    // (with suffix ".new", what a new one under a start check recorded).
    std::map<std::string, lines> started_app(const std::string& suffix = "")
    {
        std::map<std::string, lines> fields;
        const fs::path file = record.string() + suffix;
        if (!wait_for_file(file, 5000))
            return fields;
        for (const std::string& line : read_lines(file)) {
            const std::size_t eq = line.find('=');
            fields[line.substr(0, eq)].push_back(line.substr(eq + 1));
        }
        return fields;
    }

    std::string exe_path(const std::string& exe = "app.exe") const { return (root / "current" / exe).string(); }

    // Writes content over the file's own bytes (the same file, never
    // truncated) and sets its modification time back.
    static void rewrite_in_place(const fs::path& file, const std::string& content)
    {
        const auto written = fs::last_write_time(file);
        std::fstream(file, std::ios::in | std::ios::out | std::ios::binary).write(content.data(),
                                                                                   static_cast<long>(content.size()));
        fs::last_write_time(file, written);
    }

    // Starts the command, stops it once its log shows the line, has
    // meanwhile happen to it, lets it go on and returns its exit code. False
    // in `stopped` when it ended before the line was seen.
    int run_interrupted(const std::vector<std::string>& command, const std::string& line,
                        const std::function<void()>& meanwhile, bool& stopped)
    {
        fs::remove(root / "updater.log");  // an earlier run's line is no sign
        const int pid = start_program(command);
        int status = 0;
        stopped = false;
        while (!stopped && ::waitpid(pid, &status, WNOHANG) == 0) {
            if (log_has(line)) {
                ::kill(pid, SIGSTOP);
                meanwhile();
                ::kill(pid, SIGCONT);
                stopped = true;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (stopped)
            ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    scratch_dir dir;
    fs::path root = dir.path / "app root";
    fs::path package = dir.path / "update.zip";
    fs::path record = dir.path / "started.txt";
    std::map<std::string, std::string> old_tree;
};

TEST_F(updater_run, command_line_errors_and_help_touch_nothing)
{
    write_file(root / "updater.log", "earlier run\n");
    const std::string live = std::to_string(::getpid());
    struct expectation {
        std::vector<std::string> args;
        int exit_code;
        std::string output;  // expected in stdout (help) or stderr
    };
    const std::vector<expectation> cases{
        {{}, 0, ""},
        {{"--help"}, 0, "Apply a downloaded update"},
        {{"apply", "--pid", "1", "--package", "p", "--app-dir", root.string(), "--version", "1", "-h"}, 0, "--package"},
        {{"apply", "--pid", live, "--package", "p", "--app-dir", root.string()}, 106, "--version"},
        {{"apply", "--pid", "x", "--package", "p", "--app-dir", root.string(), "--version", "1"}, 104, "--pid"},
        {{"apply", "--pid", live, "--package", "p", "--app-dir", root.string(), "--version", "1", "--confirm-timeout",
          "-1"}, 104, "Could not convert: --confirm-timeout = -1"},
        {{"apply", "--pid", live, "--package", "p", "--app-dir", root.string(), "--version", "1", "--confirm-timeout",
          "soon"}, 104, "Could not convert: --confirm-timeout = soon"},
        {{"apply", "--pid", live, "--package", "p", "--app-dir", root.string(), "--version", "1", "--confirm-timeout",
          "0x10"}, 104, "Could not convert: --confirm-timeout = 0x10"},
        {{"apply", "--pid", live, "--package", "p", "--app-dir", root.string(), "--version", "1", "--no-launch",
          "--confirm-timeout", "5"}, 108, "--confirm-timeout excludes --no-launch"},
        {{"prepare", "--package", "p", "--app-dir", root.string()}, 106, "--version"},
        // Decimal only: 0x1f, or 017 read as octal, would name another process.
        {{"apply", "--pid", "0x1f", "--package", "p", "--app-dir", root.string(), "--version", "1"}, 104,
         "Could not convert: --pid = 0x1f"},
        {{"apply", "--pid", " 1", "--package", "p", "--app-dir", root.string(), "--version", "1"}, 104, "--pid"},
        // One line of text, as `.version` and the log take it.
        {{"apply", "--pid", live, "--package", "p", "--app-dir", root.string(), "--version", "2.0\nforged"}, 105,
         "--version: the version must be one line without control characters"},
        {{"prepare", "--package", "p", "--app-dir", root.string(), "--version", ""}, 105,
         "--version: the version can't be empty"},
        {{"apply", "--pid", live, "--package", "p", "--app-dir", root.string(), "--version", "1", "--sha256",
          std::string(63, 'a')}, 105, "--sha256: a SHA-256 is 64 hexadecimal digits"},
        {{"prepare", "--package", "p", "--app-dir", root.string(), "--version", "1", "--sha256",
          std::string(63, 'a') + "g"}, 105, "--sha256: a SHA-256 is 64 hexadecimal digits"},
        // The main executable is started from inside current/, never elsewhere.
        {{"apply", "--pid", live, "--package", "p", "--app-dir", root.string(), "--version", "1", "--exe",
          "/bin/echo"}, 105, "--exe: the main executable must be a path inside current/"},
        {{"prepare", "--package", "p", "--app-dir", root.string(), "--version", "1", "--exe", "bin/../../x"}, 105,
         "--exe: the main executable must be a path inside current/"},
        {{"bogus"}, 109, "The following argument was not expected: bogus"},
        {{"--pid", "1"}, 109, "The following arguments were not expected:"},
    };
    for (const expectation& c : cases) {
        std::vector<std::string> argv{updater};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto started = std::chrono::steady_clock::now();
        const run_result result = run_program(argv);
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_EQ(result.exit_code, c.exit_code);
        EXPECT_NE((result.out + result.err).find(c.output), std::string::npos) << result.out << result.err;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    }
    EXPECT_EQ(read_file(root / "updater.log"), "earlier run\n");
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
}

TEST_F(updater_run, normal_update_swaps_in_the_package_and_starts_the_new_application)
{
    write_file(root / "updater.log", "earlier run\n");
    write_zip(package, new_package_items());
    const run_result result = apply();
    ASSERT_EQ(result.exit_code, 0) << result.err;

    EXPECT_EQ(messages(), (lines{
                              "Process 999999999 not found, proceeding",
                              "Renaming current/ -> current.bak/",
                              "Extracting " + package.string() + " -> current/",
                              "Extracting 4 files from " + package.string(),
                              "Extraction complete: 4 files",
                              "Version written: 2.0",
                              "Launching " + exe_path() + " --after-update",
                              "Launched: \"" + exe_path() + "\" --after-update",
                              "Cleaning up backup",
                              "Update complete, exiting",
                          }));
    for (const std::string& line : read_lines(root / "updater.log"))
        EXPECT_TRUE(has_log_line_format(line, "info")) << line;

    EXPECT_EQ(read_file(root / ".version"), "2.0\n");
    EXPECT_FALSE(fs::exists(root / "current.bak"));
    EXPECT_FALSE(fs::exists(root / "current.incomplete"));
    auto tree = tree_contents(root / "current");
    EXPECT_EQ(tree.erase("app.exe"), 1u);
    EXPECT_EQ(tree, (std::map<std::string, std::string>{{"lib/new.dat", "new data"}, {"new.txt", "new version"}}));

    auto app = started_app();
    EXPECT_EQ(app["arg"], (lines{exe_path(), "--after-update"}));
    EXPECT_EQ(app["cwd"], lines{(root / "current").string()});
    ASSERT_EQ(app["session"].size(), 1u);
    EXPECT_NE(app["session"][0], std::to_string(::getsid(0)));
    EXPECT_EQ(app["stdin"], lines{"/dev/null"});
    EXPECT_EQ(app["stdout"], lines{"/dev/null"});
    EXPECT_EQ(app["stderr"], lines{"/dev/null"});
    EXPECT_EQ(app["extra_fds"], lines{""});
}

TEST_F(updater_run, relaunch_arguments_follow_the_marker_and_are_split_like_a_shell)
{
    write_zip(package, new_package_items("my app"));
    const std::string args = "--flag 'two words' \"say \\\"hi\\\"\" plain\\ space";
    ASSERT_EQ(apply({"--exe", "my app", "--args", args}).exit_code, 0);
    const lines log = messages();
    EXPECT_NE(std::find(log.begin(), log.end(), "Launching " + exe_path("my app") + " --after-update " + args), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "Launched: \"" + exe_path("my app") + "\" --after-update " + args),
              log.end());
    EXPECT_EQ(started_app()["arg"],
              (lines{exe_path("my app"), "--after-update", "--flag", "two words", "say \"hi\"", "plain space"}));

    // A line break, an escape sequence or a C1 control in an argument
    // reaches the application, but can't start a line of the log or drive
    // the terminal that shows it; a tab is logged as it is. What the
    // updater's caller ignores or blocks is not passed on.
    fs::remove(record);
    write_zip(package, new_package_items());
    const std::vector<std::string> command =
        apply_command({"--args", "'two\nlines' 'tab\there' '\x1b[2Jclear' 'csi\xc2\x9b' 'del\x7f' 'na\xc3\xafve'"});
    std::vector<std::string> argv{"/bin/sh", "-c", "trap '' HUP INT && exec \"$0\" \"$@\""};
    argv.insert(argv.end(), command.begin(), command.end());
    ASSERT_EQ(run_program(argv, {{"RECORD_FILE", record.string()}}).exit_code, 0);
    EXPECT_TRUE(log_has("Launching " + exe_path() +
                        " --after-update 'two\\nlines' 'tab\there' '\\x1b[2Jclear' 'csi\\xc2\\x9b' 'del\\x7f' "
                        "'na\xc3\xafve'"))
        << read_file(root / "updater.log");
    auto app = started_app();
    // The record's lines split the first one.
    EXPECT_EQ(app["arg"], (lines{exe_path(), "--after-update", "two", "tab\there", "\x1b[2Jclear", "csi\xc2\x9b",
                                 "del\x7f", "na\xc3\xafve"}));
    EXPECT_EQ(app["ignored_or_blocked"], lines{"0000000000000000 0000000000000000"});
}

TEST_F(updater_run, launch_failures_are_logged_and_the_update_still_counts)
{
    struct expectation {
        std::string exe;
        std::string args;
        int error;
    };
    for (const expectation& c : std::vector<expectation>{{"missing", "", 2}, {"new.txt", "", 13}, {"app.exe", "'open", 22}}) {
        SCOPED_TRACE(c.exe);
        write_zip(package, new_package_items());
        const run_result result = apply({"--exe", c.exe, "--args", c.args});
        EXPECT_EQ(result.exit_code, 0);
        const lines log = messages();
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log[log.size() - 3], "Failed to launch process, error code: " + std::to_string(c.error));
        EXPECT_EQ(log[log.size() - 2], "Cleaning up backup");
        EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& m) { return m.rfind("Launched:", 0) == 0; }), 0);
        EXPECT_FALSE(fs::exists(record));
    }
}

TEST_F(updater_run, failed_extraction_rolls_back_and_starts_the_old_application)
{
    write_file(root / ".version", "1.0\n");
    write_zip_with_bad_crc(package, new_package_items(), "broken.bin");

    EXPECT_EQ(apply({"--args", "--ignored yes"}).exit_code, 1);
    EXPECT_EQ(messages(), (lines{
                              "Process 999999999 not found, proceeding",
                              "Renaming current/ -> current.bak/",
                              "Extracting " + package.string() + " -> current/",
                              "Extracting 5 files from " + package.string(),
                              "Failed to extract: broken.bin",
                              "Extraction failed, rolling back",
                              "Launched: \"" + exe_path() + "\" --update-failed",
                          }));
    const lines raw = read_lines(root / "updater.log");
    ASSERT_EQ(raw.size(), 7u);
    EXPECT_TRUE(has_log_line_format(raw[4], "error")) << raw[4];
    EXPECT_TRUE(has_log_line_format(raw[5], "error")) << raw[5];
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
    EXPECT_FALSE(fs::exists(root / "current.bak"));
    EXPECT_FALSE(fs::exists(root / "current.incomplete"));
    EXPECT_EQ(read_file(root / ".version"), "1.0\n");
    EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--update-failed"}));
}

TEST_F(updater_run, start_check_keeps_a_confirmed_version_and_rolls_back_one_that_exits_or_hangs)
{
    write_zip(package, new_package_items());
    // Runs an update whose new application acts as mode says; returns the log lines after its start.
    const auto run_update = [&](const std::string& mode, const std::vector<std::string>& options, int exit_code) {
        fs::remove(record);
        fs::remove(record.string() + ".new");
        const run_result result =
            run_program(apply_command(options), {{"RECORD_FILE", record.string()}, {"START_CHECK", mode}});
        EXPECT_EQ(result.exit_code, exit_code) << result.err;
        EXPECT_EQ(started_app(".new")["arg"], (lines{exe_path(), "--after-update"}));
        const lines log = messages();
        EXPECT_EQ(log.at(7), "Launched: \"" + exe_path() + "\" --after-update");
        return lines(log.begin() + 8, log.end());
    };
    const std::string relaunched = "Launched: \"" + exe_path() + "\" --update-failed";
    const auto expect_rolled_back = [&] {
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
        EXPECT_EQ(strays(), lines{});
        EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--update-failed"}));
        EXPECT_TRUE(has_log_line_format(read_lines(root / "updater.log").at(9), "error"));
    };
    const auto seconds_since = [](std::chrono::steady_clock::time_point started) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    // The new version's process, or what it left running, is gone.
    const auto expect_gone = [&](const std::string& field) {
        const int pid = std::stoi(started_app(".new")[field].at(0));
        EXPECT_TRUE(pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) << field << " " << pid << " still exists";
    };

    // Exits early; a stale confirmation, here a link, goes first and is not followed.
    write_file(dir.path / "outside", "not the updater's");
    fs::create_symlink(dir.path / "outside", root / ".update-confirmed");
    write_file(root / ".version", "1.0\n");
    EXPECT_EQ(run_update("exit", {"--confirm-timeout", "20"}, 1),
              (lines{"Waiting 20s for the new version to confirm its start",
                     "New version exited with code 5 before confirming its start", relaunched}));
    expect_rolled_back();
    expect_gone("child");
    EXPECT_EQ(read_file(root / ".version"), "1.0\n");
    EXPECT_EQ(read_file(dir.path / "outside"), "not the updater's");

    // Hangs: terminated at the deadline; with no `.version` before, none after.
    fs::remove(root / ".version");
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run_update("hang", {"--confirm-timeout", "2"}, 1),
              (lines{"Waiting 2s for the new version to confirm its start",
                     "New version did not confirm its start in 2s", relaunched}));
    EXPECT_GT(seconds_since(started), 1.9);
    expect_rolled_back();
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / ".version")));
    expect_gone("pid");
    expect_gone("child");

    // Whatever `.version` was comes back as it was: a link, a pipe, a file
    // too long to be a version, and a directory, which is never replaced.
    const std::string long_text(5000, 'v');
    write_file(dir.path / "long", long_text);
    const std::vector<std::pair<std::string, std::function<void()>>> kinds{
        {"link", [&] { fs::create_symlink(dir.path / "outside", root / ".version"); }},
        {"pipe", [&] { ASSERT_EQ(::mkfifo((root / ".version").c_str(), 0644), 0); }},
        {"long file", [&] { write_file(root / ".version", long_text); }},
        {"directory", [&] { write_file(root / ".version" / "kept", "the user's"); }},
    };
    for (const auto& [kind, make] : kinds) {
        SCOPED_TRACE(kind);
        make();
        fs::remove(record);
        EXPECT_EQ(run_program(apply_command({"--confirm-timeout", "20"}),
                              {{"RECORD_FILE", record.string()}, {"START_CHECK", "x"}}).exit_code, 1);
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
        EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--update-failed"}));
        EXPECT_EQ(strays(), lines{});
        const fs::file_status status = fs::symlink_status(root / ".version");
        if (kind == "link")
            EXPECT_EQ(fs::read_symlink(root / ".version"), dir.path / "outside");
        else if (kind == "pipe")
            EXPECT_EQ(status.type(), fs::file_type::fifo);
        else if (kind == "long file")
            EXPECT_EQ(read_file(root / ".version"), long_text);
        else
            EXPECT_EQ(read_file(root / ".version" / "kept"), "the user's");
        fs::remove_all(root / ".version");
    }

    // Confirms while it runs: kept, without waiting for the deadline.
    write_file(root / ".version", "1.0\n");
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(run_update("confirm", {"--confirm-timeout", "60"}, 0),
              (lines{"Waiting 60s for the new version to confirm its start", "New version confirmed its start",
                     "Cleaning up backup", "Update complete, exiting"}));
    EXPECT_LT(seconds_since(started), 15.0);
    EXPECT_EQ(read_file(root / ".version"), "2.0\n");
    EXPECT_EQ(strays(), lines{});

    // Without the option nothing waits or looks at the confirmation.
    write_file(root / ".update-confirmed", "from the application");
    EXPECT_EQ(run_update("x", {}, 0), (lines{"Cleaning up backup", "Update complete, exiting"}));
    EXPECT_EQ(read_file(root / ".update-confirmed"), "from the application");

    // A start that fails counts as no confirmation.
    EXPECT_EQ(apply({"--exe", "missing", "--confirm-timeout", "20"}).exit_code, 1);
}

TEST_F(updater_run, every_kind_of_bad_package_leaves_the_old_application)
{
    const std::vector<std::pair<std::string, std::vector<zip_item>>> packages{
        {"missing", {}},
        {"unsafe name", {{"ok.txt", "ok"}, {"../../outside.txt", "evil"}}},
        {"escaping link", {{"ok.txt", "ok"}, {"link", "../..", item_kind::symlink, 0777}}},
        {"encrypted", {{"secret", "hidden", item_kind::file, 0, true}}},
        {"directory in the way", {{"a", "file"}, {"a/b", "below a file"}}},
        // Nothing to install: an empty `current` would be taken for one cut short.
        {"no entries", {}},
        {"only the top directory", {{"./", "", item_kind::directory}}},
        {"only directories", {{"lib/", "", item_kind::directory}, {"lib/deep/", "", item_kind::directory}}},
    };
    for (const auto& [what, items] : packages) {
        SCOPED_TRACE(what);
        fs::remove(package);
        if (what != "missing")
            write_zip(package, items);
        write_file(root / ".version", "1.0\n");
        fs::remove(record);
        EXPECT_EQ(apply().exit_code, 1);
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
        EXPECT_FALSE(fs::exists(root / "current.bak"));
        EXPECT_FALSE(fs::exists(dir.path / "outside.txt"));
        EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--update-failed"}));
        EXPECT_EQ(read_file(root / ".version"), "1.0\n");
        EXPECT_TRUE(log_has("Extraction failed, rolling back"));
    }
    EXPECT_TRUE(log_has("Nothing to install: " + package.string() + " holds no files"));
}

TEST_F(updater_run, recovery_repairs_each_interrupted_layout)
{
    struct layout {
        std::string what;
        std::function<void()> make;
        lines recovery_lines;
    };
    const fs::path elsewhere = dir.path / "elsewhere";
    const std::vector<layout> layouts{
        {"leftover backup", [&] { write_file(root / "current.bak" / "older.txt", "older"); },
         {"Removing leftover current.bak from previous update"}},
        {"stale backup, no current", [&] { fs::rename(root / "current", root / "current.bak"); },
         {"Found stale backup, restoring current from current.bak"}},
        {"stale backup, empty current",
         [&] {
             fs::rename(root / "current", root / "current.bak");
             fs::create_directory(root / "current");
         },
         {"Found stale backup, restoring current from current.bak"}},
        {"incomplete current",
         [&] {
             fs::rename(root / "current", root / "current.bak");
             write_file(root / "current" / "half.txt", "partly extracted");
             write_file(root / "current.incomplete", "");
         },
         {"Found incomplete current from an interrupted update",
          "Found stale backup, restoring current from current.bak"}},
        // Only a real directory can be a complete `current`.
        {"a file named current",
         [&] {
             fs::rename(root / "current", root / "current.bak");
             write_file(root / "current", "not an application");
         },
         {"Found stale backup, restoring current from current.bak"}},
        {"a link named current, to a copy elsewhere",
         [&] {
             fs::rename(root / "current", root / "current.bak");
             fs::create_directory_symlink(elsewhere, root / "current");
         },
         {"Found stale backup, restoring current from current.bak"}},
        {"a backup that is a link, beside a complete current",
         [&] { fs::create_directory_symlink(elsewhere, root / "current.bak"); },
         {"Removing leftover current.bak from previous update"}},
    };
    fs::copy(root / "current", elsewhere, fs::copy_options::recursive);
    for (const layout& l : layouts) {
        SCOPED_TRACE(l.what);
        l.make();
        fs::remove(package);  // the update itself fails, so the repaired app stays
        EXPECT_EQ(apply().exit_code, 1);
        lines log = messages();
        ASSERT_GT(log.size(), l.recovery_lines.size());
        EXPECT_EQ(lines(log.begin(), log.begin() + static_cast<long>(l.recovery_lines.size())), l.recovery_lines);
        EXPECT_EQ(log[l.recovery_lines.size()], "Process 999999999 not found, proceeding");
        const std::string first_line = read_lines(root / "updater.log").front();
        const bool removal = l.recovery_lines[0].rfind("Removing", 0) == 0;
        EXPECT_TRUE(has_log_line_format(first_line, removal ? "info" : "warning")) << first_line;
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
        EXPECT_EQ(strays(), lines{});
        EXPECT_EQ(tree_contents(elsewhere), old_tree);
    }

    // A restored stale backup is updated in the same run.
    fs::rename(root / "current", root / "current.bak");
    write_zip(package, new_package_items());
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(read_file(root / "current" / "new.txt"), "new version");

    // Stopped between the commit of the new files and `.version`: the staged
    // version goes with them; stopped before the commit, it is dropped. The
    // version a rollback after a start check puts back goes only once the
    // marker says the old files come back.
    const std::map<std::string, std::string> new_tree = tree_contents(root / "current");
    fs::remove(package);
    for (const auto& [waiting, marked, version] : {std::tuple{".version.new", false, "2.0\n"},
                                                   {".version.new", true, "1.0\n"},
                                                   {".version.old", true, "0.9\n"},
                                                   {".version.old", false, "1.0\n"}}) {
        SCOPED_TRACE(std::string(waiting) + (marked ? " with the marker" : " without the marker"));
        write_file(root / ".version", "1.0\n");
        write_file(root / waiting, waiting == std::string(".version.new") ? "2.0\n" : "0.9\n");
        fs::copy(root / "current", root / "current.bak", fs::copy_options::recursive);
        if (marked)
            write_file(root / "current.incomplete", "");
        EXPECT_EQ(apply().exit_code, 1);
        EXPECT_EQ(read_file(root / ".version"), version);
        EXPECT_EQ(strays(), lines{});
        EXPECT_EQ(tree_contents(root / "current"), new_tree);
    }
    // The versions go with the files that stay, also where recovery keeps
    // the backup because the committed `current` is gone.
    for (const auto& [waiting, in_place] : {std::pair{".version.new", "1.0\n"}, {".version.old", "2.0\n"}}) {
        SCOPED_TRACE(waiting);
        fs::remove_all(root / "current");
        make_app_root(root, old_tree);
        write_file(root / ".version", in_place);
        write_file(root / waiting, waiting == std::string(".version.new") ? "2.0\n" : "1.0\n");
        fs::rename(root / "current", root / "current.bak");
        EXPECT_EQ(apply().exit_code, 1);
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
        EXPECT_EQ(read_file(root / ".version"), "1.0\n");
        EXPECT_EQ(strays(), lines{});
    }
    // Only a regular file the updater wrote becomes `.version`.
    write_file(dir.path / "planted", "6.6\n");
    fs::create_symlink(dir.path / "planted", root / ".version.new");
    EXPECT_EQ(apply().exit_code, 1);
    EXPECT_EQ(read_file(root / ".version"), "1.0\n");
    EXPECT_EQ(strays(), lines{});
}

TEST_F(updater_run, missing_application_and_unwritable_places_fail_cleanly)
{
    write_zip(package, new_package_items());

    // No current and no backup: nothing to swap, nothing started.
    fs::remove_all(root / "current");
    EXPECT_EQ(apply().exit_code, 1);
    lines log = messages();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].rfind("Failed to rename current: ", 0), 0u) << log[2];
    EXPECT_FALSE(fs::exists(root / "current"));
    EXPECT_FALSE(fs::exists(root / "current.bak"));
    EXPECT_FALSE(fs::exists(record));

    // An application root that does not exist yet is created for the log.
    const fs::path fresh = dir.path / "new" / "root";
    EXPECT_EQ(run_program({updater, "apply", "--pid", "0", "--package", "p", "--app-dir", fresh.string(),
                           "--version", "1"})
                  .exit_code,
              1);
    EXPECT_TRUE(fs::exists(fresh / "updater.log"));

    // A log that can't be opened ends the run with 1 and one line of text.
    write_file(dir.path / "plain-file", "not a directory");
    const run_result result = run_program({updater, "apply", "--pid", "0", "--package", "p", "--app-dir",
                                           (dir.path / "plain-file").string(), "--version", "1"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find("plain-file"), std::string::npos) << result.err;
}

TEST_F(updater_run, a_second_updater_on_the_same_root_waits_for_the_first)
{
    write_zip(package, new_package_items());
    const int application = start_program({"/bin/sleep", "2"});
    const int first = start_program(apply_command({}, std::to_string(application)));
    const std::string waiting = "Waiting for process " + std::to_string(application) + " to exit (timeout 30000ms)";
    for (int i = 0; i < 500 && messages() != lines{waiting}; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(messages(), lines{waiting});
    // The log renamed (kept by the application, say) takes no lock with it.
    fs::rename(root / "updater.log", root / "updater.log.1");

    // A relaunched application may start the next update at once.
    const auto started = std::chrono::steady_clock::now();
    const run_result second = apply();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    int status = 0;
    ::waitpid(application, &status, 0);
    ::waitpid(first, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(second.exit_code, 0) << second.err;
    EXPECT_GT(seconds, 1.0);
    const lines log = messages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("Waited ", 0), 0u) << log[0];
    EXPECT_NE(log[0].find(" ms for another updater on this root to finish"), std::string::npos) << log[0];
    EXPECT_EQ(log[1], "Process 999999999 not found, proceeding");
    EXPECT_EQ(log.back(), "Update complete, exiting");
    EXPECT_EQ(read_file(root / "current" / "new.txt"), "new version");
}

TEST(lock_wait_slow, a_root_locked_for_over_a_minute_is_refused_after_60_seconds)
{
    scratch_dir dir;
    make_app_root(dir.path, {{"app.exe", "old"}});
    // What a running updater holds: a lock on the root.
    const int held = ::open(dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const auto started = std::chrono::steady_clock::now();
    const run_result result = run_program({updater, "apply", "--pid", "0", "--package", "none.zip", "--app-dir",
                                           dir.path.string(), "--version", "2"});
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ::close(held);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("another updater is running"), std::string::npos) << result.err;
    EXPECT_GT(seconds, 59.5);
    EXPECT_LT(seconds, 66.0);
    EXPECT_FALSE(fs::exists(dir.path / "updater.log"));
    EXPECT_EQ(tree_contents(dir.path / "current"), (std::map<std::string, std::string>{{"app.exe", "old"}}));
}

TEST_F(updater_run, root_files_are_replaced_never_written_through_a_link_or_a_pipe)
{
    const fs::path outside = dir.path / "outside.txt";
    write_file(outside, "not the updater's");
    write_zip(package, new_package_items());
    const auto expect_version_replaced = [&] {
        ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(root / ".version")));
        EXPECT_EQ(read_file(root / ".version"), "2.0\n");
        EXPECT_EQ(strays(), lines{});
    };

    fs::create_symlink(outside, root / ".version");
    EXPECT_EQ(apply().exit_code, 0);
    expect_version_replaced();
    fs::remove(root / ".version");
    ASSERT_EQ(::mkfifo((root / ".version").c_str(), 0644), 0);
    EXPECT_EQ(apply().exit_code, 0);
    expect_version_replaced();

    // A directory can't be replaced: a warning, and the update still stands.
    fs::remove(root / ".version");
    fs::create_directories(root / ".version" / "inside");
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_TRUE(log_has("Failed to write " + (root / ".version").string() + ": Is a directory"));
    EXPECT_TRUE(log_has("Version written: 2.0"));
    EXPECT_EQ(read_file(root / "current" / "new.txt"), "new version");
    fs::remove_all(root / ".version");

    // Nor can a file with another mounted over it; the version waits for one
    // more try, and then no later update is held up by it.
    write_file(root / ".version", "1.0\n");
    if (run_program({"/bin/mount", "--bind", outside.string(), (root / ".version").string()}).exit_code == 0) {
        scope_unmount unmount{root / ".version"};
        EXPECT_EQ(apply().exit_code, 0);
        EXPECT_TRUE(fs::exists(root / ".version.new"));
        EXPECT_EQ(apply().exit_code, 0);
        EXPECT_EQ(apply().exit_code, 0);
        EXPECT_TRUE(log_has("Failed to write " + (root / ".version").string() + ": Device or resource busy"));
        EXPECT_EQ(messages().back(), "Update complete, exiting");
    }

    // A log that is a link, a second name of a file or a pipe ends the run
    // before anything is touched.
    const std::map<std::string, std::string> installed = tree_contents(root / "current");
    for (const std::string kind : {"link", "hard link", "pipe"}) {
        SCOPED_TRACE(kind);
        fs::remove(root / "updater.log");
        if (kind == "link")
            fs::create_symlink(outside, root / "updater.log");
        else if (kind == "hard link")
            fs::create_hard_link(outside, root / "updater.log");
        else
            ASSERT_EQ(::mkfifo((root / "updater.log").c_str(), 0644), 0);
        const run_result result = apply();
        EXPECT_EQ(result.exit_code, 1);
        EXPECT_NE(result.err.find((root / "updater.log").string()), std::string::npos) << result.err;
        EXPECT_EQ(tree_contents(root / "current"), installed);
    }
    EXPECT_EQ(read_file(outside), "not the updater's");
}

TEST_F(updater_run, links_and_mounts_inside_the_application_are_never_entered)
{
    const fs::path outside = dir.path / "user data";
    const std::map<std::string, std::string> user_data{{"keep.txt", "precious"}};
    write_file(outside / "keep.txt", "precious");
    fs::create_directory_symlink(outside, root / "current" / "data");
    fs::create_symlink(outside / "keep.txt", root / "current" / "keep-link");
    write_zip(package, new_package_items());
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(strays(), lines{});
    EXPECT_EQ(tree_contents(outside), user_data);

    // A bind mount of the same file system: busy, so the backup is moved
    // aside, and its contents are left alone.
    fs::create_directories(root / "current" / "mounted");
    if (run_program({"/bin/mount", "--bind", outside.string(), (root / "current" / "mounted").string()}).exit_code != 0)
        GTEST_SKIP() << "bind mounts need root";
    const run_result result = apply();
    const fs::path mount_point = root / "updater.trash.1" / "mounted";
    EXPECT_EQ(run_program({"/bin/umount", mount_point.string()}).exit_code, 0);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_TRUE(log_has("Failed to remove " + (root / "updater.trash.1" / "mounted").string() +
                        ": Device or resource busy"));
    EXPECT_EQ(tree_contents(outside), user_data);

    // The same on a file system without file handles, where the mount ids
    // come from elsewhere.
    const fs::path ramfs = dir.path / "ramfs";
    fs::create_directories(ramfs);
    ASSERT_EQ(run_program({"/bin/mount", "-t", "ramfs", "none", ramfs.string()}).exit_code, 0);
    scope_unmount unmount_ramfs{ramfs};
    root = ramfs / "root";
    write_file(ramfs / "user data" / "keep.txt", "precious");
    make_app_root(root, {{"old.txt", "old"}});
    fs::create_directories(root / "current" / "mounted");
    ASSERT_EQ(run_program({"/bin/mount", "--bind", (ramfs / "user data").string(),
                           (root / "current" / "mounted").string()}).exit_code, 0);
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(run_program({"/bin/umount", (root / "updater.trash.1" / "mounted").string()}).exit_code, 0);
    EXPECT_EQ(tree_contents(ramfs / "user data"), user_data);
}

TEST_F(updater_run, trees_of_any_depth_are_removed_with_few_descriptors)
{
    std::string deep;
    for (int level = 0; level < 1100; ++level)
        deep += "d/";
    std::vector<zip_item> items = new_package_items();
    items.push_back({deep + "leaf.txt", "at the bottom"});

    // The deep new `current` must go again when the last entry fails.
    write_zip_with_bad_crc(package, items, "broken.bin");
    EXPECT_EQ(apply_with_few_descriptors().exit_code, 1);
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
    EXPECT_EQ(strays(), lines{});

    // Applied, then replaced: the deep backup goes too.
    write_zip(package, items);
    EXPECT_EQ(apply_with_few_descriptors().exit_code, 0);
    write_zip(package, new_package_items());
    EXPECT_EQ(apply_with_few_descriptors().exit_code, 0);
    EXPECT_EQ(strays(), lines{});
    EXPECT_EQ(messages().back(), "Update complete, exiting");
}

TEST_F(updater_run, what_cant_be_removed_is_moved_aside_and_never_blocks_the_next_update)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the updater as another, unprivileged user";
    write_file(root / "current" / "read-only" / "file", "x");
    write_file(root / "current" / "foreign" / "file", "y");
    write_zip(package, new_package_items());
    fs::create_directories(root / "current.bak");
    give_tree_to(dir.path, unprivileged_user);
    // A `current` that can't even be read is not trusted beside a backup,
    // and the backup (here empty, to tell the two apart) is restored.
    fs::permissions(root / "current", fs::perms::none);
    fs::remove(package);
    EXPECT_EQ(apply({}, "999999999", unprivileged_user).exit_code, 1);
    EXPECT_EQ(messages()[0], "Found stale backup, restoring current from current.bak");
    EXPECT_TRUE(fs::is_empty(root / "current"));
    EXPECT_EQ(strays(), lines{});
    write_file(root / "current" / "read-only" / "file", "x");
    write_file(root / "current" / "foreign" / "file", "y");
    write_zip(package, new_package_items());
    give_tree_to(dir.path, unprivileged_user);
    // The updater's user may make its own read-only directory writable, but
    // can't remove what another user's directory holds.
    fs::permissions(root / "current" / "read-only", fs::perms(0555));
    ASSERT_EQ(::lchown((root / "current" / "foreign").c_str(), 0, 0), 0);
    ASSERT_EQ(::lchown((root / "current" / "foreign" / "file").c_str(), 0, 0), 0);
    const fs::path aside = root / "updater.trash.1";

    EXPECT_EQ(apply({}, "999999999", unprivileged_user).exit_code, 0);
    EXPECT_TRUE(log_has("Failed to remove " + (aside / "foreign" / "file").string() + ": Permission denied"));
    EXPECT_TRUE(log_has("Moved " + (root / "current.bak").string() + " aside to " + aside.string()));
    EXPECT_EQ(strays(), lines{"updater.trash.1"});
    EXPECT_EQ(tree_contents(aside), (std::map<std::string, std::string>{{"foreign/file", "y"}}));

    // Later runs try again, say so while it fails, and are not blocked.
    EXPECT_EQ(apply({}, "999999999", unprivileged_user).exit_code, 0);
    EXPECT_EQ(messages()[0], "Failed to remove " + (aside / "foreign" / "file").string() + ": Permission denied");
    EXPECT_EQ(strays(), lines{"updater.trash.1"});
    give_tree_to(aside, unprivileged_user);
    EXPECT_EQ(apply({}, "999999999", unprivileged_user).exit_code, 0);
    EXPECT_EQ(messages()[0], "Process 999999999 not found, proceeding");
    EXPECT_EQ(strays(), lines{});
}

// Big enough that extraction takes a while; incompressible and stored, so
// making it is quick.
void write_large_package(const fs::path& path)
{
    std::vector<zip_item> items;
    std::uint64_t state = 12345;
    for (int file = 0; file < 60; ++file) {
        std::string data(2 << 20, '\0');
        for (char& c : data) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            c = static_cast<char>(state >> 56);
        }
        items.push_back({"data/file" + std::to_string(file) + ".bin", data, item_kind::file, 0, false, true});
    }
    write_zip(path, items);
}

TEST_F(updater_run, killed_during_extraction_the_next_run_restores_the_old_application)
{
    write_large_package(package);
    const int pid = start_program({updater, "apply", "--pid", "0", "--package", package.string(), "--app-dir",
                                   root.string(), "--version", "2.0"});
    ASSERT_TRUE(wait_for_file(root / "current" / "data" / "file0.bin", 20000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    const lines log = messages();
    ASSERT_EQ(std::find(log.begin(), log.end(), "Extraction complete: 60 files"), log.end())
        << "the kill came after the extraction had finished";
    EXPECT_TRUE(fs::exists(root / "current.bak"));
    EXPECT_TRUE(fs::exists(root / "current.incomplete"));

    const fs::path good_package = package;
    package = dir.path / "absent.zip";
    EXPECT_EQ(apply().exit_code, 1);
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
    EXPECT_FALSE(fs::exists(root / "current.bak"));

    package = good_package;
    EXPECT_EQ(apply().exit_code, 0);
    EXPECT_EQ(tree_contents(root / "current").size(), 60u);
}

// The SHA-256 of a file, from the system's own tool.
std::string sha256_of(const fs::path& file)
{
    return run_program({"/usr/bin/sha256sum", file.string()}).out.substr(0, 64);
}

// prepare extracts the package beside the running application, and apply
// then only swaps it in; a copy that doesn't fit the apply is removed and
// the package extracted as without one.
TEST_F(updater_run, a_prepared_copy_is_swapped_in_and_one_that_does_not_fit_is_never_used)
{
    write_file(root / ".version", "1.0\n");
    write_zip(package, new_package_items());
    const auto prepare = [&](const std::string& version = "2.0", const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv{updater, "prepare", "--package", package.string(), "--app-dir", root.string(),
                                      "--version", version};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run_program(argv);
    };
    const auto expect_new_version = [&] {
        EXPECT_EQ(read_file(root / "current" / "new.txt"), "new version");
        EXPECT_EQ(read_file(root / ".version"), "2.0\n");
        EXPECT_EQ(strays(), lines{});
    };
    const auto reset = [&] {
        fs::remove_all(root / "current");
        make_app_root(root, {{"old.txt", "old version"}});
        write_file(root / ".version", "1.0\n");
    };

    // Prepared while the old version stays untouched, then swapped in.
    ASSERT_EQ(prepare().exit_code, 0);
    EXPECT_EQ(messages(), (lines{"Preparing " + package.string() + " -> current.new/",
                                 "Extracting 4 files from " + package.string(), "Extraction complete: 4 files",
                                 "Prepared current.new for version 2.0"}));
    EXPECT_EQ(tree_contents(root / "current"), old_tree);
    EXPECT_EQ(read_file(root / ".version"), "1.0\n");
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(messages(), (lines{"Process 999999999 not found, proceeding", "Renaming current/ -> current.bak/",
                                 "Using the prepared copy: current.new/ -> current/", "Version written: 2.0",
                                 "Launching " + exe_path() + " --after-update",
                                 "Launched: \"" + exe_path() + "\" --after-update", "Cleaning up backup",
                                 "Update complete, exiting"}));
    expect_new_version();
    EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--after-update"}));

    // What doesn't fit goes, and the package is extracted as usual: another
    // version; the package rewritten in place with its old modification
    // time; a copy that lost a file.
    const std::vector<std::pair<std::string, std::function<void()>>> misfits{
        {"it was prepared for version 1.9", [&] { prepare("1.9"); }},
        {"the package is not the one it was prepared from, or has changed since",
         [&] {
             prepare();
             const auto written = fs::last_write_time(package);
             write_zip(package, new_package_items());
             fs::last_write_time(package, written);
         }},
        // The same file, size and modification time: only the change time
        // tells that it was written.
        {"the package is not the one it was prepared from, or has changed since",
         [&] {
             prepare();
             rewrite_in_place(package, read_file(package));
         }},
        {"it no longer holds what was prepared",
         [&] {
             prepare();
             fs::remove(root / "current.new" / "lib" / "new.dat");
         }},
        {"it is not a directory",
         [&] {
             prepare();
             fs::rename(root / "current.new", dir.path / "elsewhere");
             fs::create_directory_symlink(dir.path / "elsewhere", root / "current.new");
         }},
    };
    for (const auto& [why, make] : misfits) {
        SCOPED_TRACE(why);
        reset();
        make();
        ASSERT_EQ(apply().exit_code, 0);
        const lines log = messages();
        ASSERT_GE(log.size(), 3u);
        EXPECT_EQ(log[1], "Removing prepared current.new: " + why);
        EXPECT_EQ(log[3], "Extracting " + package.string() + " -> current/");
        expect_new_version();
        EXPECT_TRUE(fs::exists(root / "current" / "lib" / "new.dat"));
    }

    // Under --sha256 only a copy prepared under the same SHA-256 is used.
    const std::string digest = sha256_of(package);
    for (const bool checked : {false, true}) {
        reset();
        prepare("2.0", checked ? lines{"--sha256", digest} : lines{});
        ASSERT_EQ(apply({"--sha256", digest}).exit_code, 0);
        if (checked)
            EXPECT_EQ(messages()[2], "Using the prepared copy: current.new/ -> current/");
        else
            EXPECT_EQ(messages()[1], "Removing prepared current.new: it was prepared without checking the package's "
                                     "SHA-256");
        expect_new_version();
    }

    // A package written while it is extracted is never recorded as
    // prepared, even where it ends as it was.
    reset();
    std::vector<zip_item> large = new_package_items();
    large.push_back({"big.bin", std::string(48 << 20, 'b'), item_kind::file, 0, false, true});
    write_zip(package, large);
    bool stopped = false;
    EXPECT_EQ(run_interrupted({updater, "prepare", "--package", package.string(), "--app-dir", root.string(),
                               "--version", "2.0"},
                              "Extracting 5 files from " + package.string(),
                              [&] { rewrite_in_place(package, read_file(package)); }, stopped),
              1);
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(log_has(package.string() + " changed while it was extracted"));
    EXPECT_EQ(strays(), lines{});

    // A copy that could not start is not prepared.
    reset();
    write_zip(package, new_package_items());
    EXPECT_EQ(prepare("2.0", {"--exe", "missing.exe"}).exit_code, 1);
    EXPECT_TRUE(log_has(package.string() + " holds no main executable missing.exe"));
    EXPECT_EQ(strays(), lines{});

    // A preparation that fails, or is stopped, leaves nothing to use. Told
    // to report its progress, it reports its log's errors beside it, as the
    // log shows them; without that it prints nothing.
    reset();
    write_zip_with_bad_crc(package, new_package_items(), "broken.bin");
    const run_result quiet = prepare();
    EXPECT_EQ(quiet.exit_code, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(messages().back(), "Preparation failed, removing current.new");
    EXPECT_EQ(strays(), lines{});
    const auto reported_with_progress = [&] {
        const run_result result = prepare("2.0", {"--progress"});
        EXPECT_EQ(result.exit_code, 1);
        lines said;
        std::istringstream out(result.out);
        for (std::string line; std::getline(out, line);)
            if (line.rfind("progress ", 0) != 0)
                said.push_back(line);
        return said;
    };
    EXPECT_EQ(reported_with_progress(),
              (lines{"error Failed to extract: broken.bin", "error Preparation failed, removing current.new"}));
    const fs::path broken = package;
    package = dir.path / "a\tstrange\nname\x1b[2J.zip";
    const lines errors = reported_with_progress();
    ASSERT_EQ(errors, (lines{"error Failed to open zip: " + dir.path.string() + "/a\tstrange\\nname\\x1b[2J.zip",
                             "error Preparation failed, removing current.new"}));
    EXPECT_EQ("error " + messages().at(1), errors.at(0));
    package = broken;
    EXPECT_EQ(tree_contents(root / "current").count("old.txt"), 1u);
    write_zip(package, new_package_items());
    ASSERT_EQ(prepare().exit_code, 0);
    fs::remove(root / "current.new.ready");
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(messages()[0], "Removing incomplete current.new from an interrupted preparation");
    EXPECT_EQ(messages()[3], "Extracting " + package.string() + " -> current/");
    expect_new_version();

    // Installed on quit: nothing is started, not even after a rollback; a
    // start check makes no sense then and is refused.
    reset();
    record = dir.path / "started by no launch.txt";  // apart from what earlier updates started
    ASSERT_EQ(apply({"--no-launch"}).exit_code, 0);
    EXPECT_TRUE(log_has("Not launching " + exe_path() + " --after-update: --no-launch"));
    expect_new_version();
    fs::remove(package);
    EXPECT_EQ(apply({"--no-launch"}).exit_code, 1);
    EXPECT_TRUE(log_has("Not launching " + exe_path() + " --update-failed: --no-launch"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fs::exists(record));
}

// The example application updates itself through the client library:
// prepares (showing progress), has the updater apply, restarts as the new
// version with the arguments it was given and confirms its start; without
// an updater to start it says why.
TEST_F(updater_run, the_example_application_updates_itself_and_keeps_its_arguments)
{
    fs::remove_all(root / "current");
    fs::create_directories(root / "current");
    fs::copy_file(updater, root / "updater");
    fs::copy_file(example_app, root / "current" / "app");
    write_file(root / "current" / "version.txt", "1.0\n");
    write_zip(package, {{"app", read_file(example_app), item_kind::file, 0755},
                        {"version.txt", "2.0\n"},
                        {"big.bin", std::string(64 << 20, 'b')}});
    const lines args{"two words", "it's", "say \"hi\"", "back\\slash\\", "$HOME", "*", "", "na\u00efve"};
    std::vector<std::string> command{(root / "current" / "app").string(), "--update", package.string(), "2.0"};
    command.insert(command.end(), args.begin(), args.end());
    const run_result result = run_program(command);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("preparing the update: 100%"), std::string::npos) << result.out;
    for (int i = 0; i < 300 && !log_has("Update complete, exiting"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(messages().at(2), "Using the prepared copy: current.new/ -> current/");
    EXPECT_EQ(messages().back(), "Update complete, exiting");
    lines log = read_lines(root / "example.log");
    const auto started = std::find(log.begin(), log.end(), "example 2.0: after an update");
    ASSERT_NE(started, log.end());
    lines expected;
    for (const std::string& arg : args)
        expected.push_back("  argument: " + arg);
    expected.push_back("confirmed the start");
    EXPECT_EQ(lines(started + 1, log.end()), expected);

    fs::remove(root / "updater");
    EXPECT_EQ(run_program({(root / "current" / "app").string(), "--update", package.string(), "3.0"}).exit_code, 1);
    EXPECT_EQ(read_lines(root / "example.log").back(),
              "could not start the update: can't start " + (root / "updater").string() + ": No such file or directory");
}

// An application that closed its standard streams (a daemon, a program
// started without them) gets the same from the client library: a start
// that fails says so, the progress and errors of a preparation reach it,
// and the library leaves no descriptor of its own open.
TEST_F(updater_run, the_client_library_serves_a_caller_without_standard_streams)
{
    write_zip(package, new_package_items());
    const fs::path no_updater = dir.path / "no updater", missing = dir.path / "missing.zip";
    const auto open_descriptors = [] {
        std::string open;
        for (int fd = 0; fd < 256; ++fd)
            if (::fcntl(fd, F_GETFD) >= 0)
                open += std::to_string(fd) + " ";
        return open;
    };
    // Runs in a child that closed its standard streams; noexcept, so that
    // a throw ends the child rather than running the rest of the suite in it.
    const auto calls = [&]() noexcept {
        const std::string before = open_descriptors();
        std::ostringstream said;
        updater_client::apply_request apply_request;
        apply_request.updater = no_updater.string();
        apply_request.package = package.string();
        apply_request.app_dir = root.string();
        apply_request.version = "2.0";
        const updater_client::result started = updater_client::start_apply(apply_request);
        said << "start_apply: " << started.code << " " << started.message << "\n";
        updater_client::prepare_request prepare_request;
        prepare_request.updater = updater;
        prepare_request.package = package.string();
        prepare_request.app_dir = root.string();
        prepare_request.version = "2.0";
        unsigned long long reports = 0, done = 0, total = 0;
        prepare_request.progress = [&](unsigned long long d, unsigned long long t) { ++reports, done = d, total = t; };
        const updater_client::result prepared = updater_client::prepare(prepare_request);
        said << "prepare: " << prepared.code << " " << (reports > 0 && done == total && total > 0) << "\n";
        prepare_request.package = missing.string();
        const updater_client::result failed = updater_client::prepare(prepare_request);
        said << "failed prepare: " << failed.code << " " << failed.message << "\n";
        said << "descriptors left: " << (open_descriptors() == before ? "none" : open_descriptors()) << "\n";
        // An application that ignores SIGCHLD has its children reaped by
        // the system: how the updater ended can't be learnt, and is never
        // taken for success.
        ::signal(SIGCHLD, SIG_IGN);
        said << "ignoring SIGCHLD: " << updater_client::prepare(prepare_request).code << "\n";
        return said.str();
    };
    int results[2];
    ASSERT_EQ(::pipe(results), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(results[0]);
        ::close(STDIN_FILENO);
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
        const std::string text = calls();
        ::_exit(::write(results[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(results[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(results[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(results[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, "start_apply: " + std::to_string(UPDATER_ERROR_START_FAILED) + " can't start " +
                        no_updater.string() + ": No such file or directory\n" + "prepare: 0 1\n" +
                        "failed prepare: " + std::to_string(UPDATER_ERROR_PREPARE_FAILED) + " Failed to open zip: " +
                        missing.string() + "; Preparation failed, removing current.new\n" +
                        "descriptors left: none\n" + "ignoring SIGCHLD: " + std::to_string(UPDATER_ERROR_SYSTEM) +
                        "\n");
    // Nothing meant for the caller went into the log.
    for (const std::string& line : read_lines(root / "updater.log"))
        EXPECT_TRUE(has_log_line_format(line, "info") || has_log_line_format(line, "error")) << line;
}

// The client library refuses a string that is not UTF-8, naming its field,
// before it starts anything (on Windows its bad bytes would be replaced: an
// app_dir with one stray byte would name a directory beside the real root);
// one that is UTF-8, beyond ASCII too, goes through.
TEST_F(updater_run, the_client_library_refuses_strings_that_are_not_utf8)
{
    const fs::path stand_in = dir.path / "stand-in updater", started = dir.path / "started.txt";
    write_file(stand_in, "#!/bin/sh\necho \"$1\" >> '" + started.string() + "'\n");
    fs::permissions(stand_in, fs::perms::owner_all);
    updater_client::apply_request apply_request;
    apply_request.updater = stand_in.string();
    apply_request.package = (dir.path / "caf\xc3\xa9.zip").string();
    apply_request.app_dir = root.string();
    apply_request.version = "2.0 \xe6\x97\xa5";
    apply_request.exe = "app \xf0\x9f\x98\x80";
    apply_request.args = {"na\xc3\xafve", "\xef\xbf\xbd"};
    updater_client::prepare_request prepare_request;
    prepare_request.updater = apply_request.updater;
    prepare_request.package = apply_request.package;
    prepare_request.app_dir = apply_request.app_dir;
    prepare_request.version = apply_request.version;
    prepare_request.exe = apply_request.exe;

    const auto expect_refused = [](const updater_client::result& result, const std::string& field) {
        EXPECT_EQ(result.code, UPDATER_ERROR_INVALID_ARGUMENT) << field;
        EXPECT_EQ(result.message, field + " is not valid UTF-8");
    };
    using apply_field = std::string updater_client::apply_request::*;
    using prepare_field = std::string updater_client::prepare_request::*;
    const std::vector<std::tuple<std::string, apply_field, prepare_field>> fields{
        {"updater", &updater_client::apply_request::updater, &updater_client::prepare_request::updater},
        {"package", &updater_client::apply_request::package, &updater_client::prepare_request::package},
        {"app_dir", &updater_client::apply_request::app_dir, &updater_client::prepare_request::app_dir},
        {"version", &updater_client::apply_request::version, &updater_client::prepare_request::version},
        {"exe", &updater_client::apply_request::exe, &updater_client::prepare_request::exe},
        {"sha256", &updater_client::apply_request::sha256, &updater_client::prepare_request::sha256}};
    // A stray ANSI byte, a stray continuation byte, an overlong slash, a
    // surrogate, a sequence cut short, a value beyond U+10FFFF.
    for (const std::string bad : {"\xe9", "\x80", "\xc0\xaf", "\xed\xa0\x80", "\xe6\x97", "\xf4\x90\x80\x80"}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        for (const auto& [name, in_apply, in_prepare] : fields) {
            updater_client::apply_request spoilt_apply = apply_request;
            spoilt_apply.*in_apply += bad;
            expect_refused(updater_client::start_apply(spoilt_apply), name);
            updater_client::prepare_request spoilt_prepare = prepare_request;
            spoilt_prepare.*in_prepare += bad;
            expect_refused(updater_client::prepare(spoilt_prepare), name);
        }
        updater_client::apply_request spoilt_apply = apply_request;
        spoilt_apply.args[1] += bad;
        expect_refused(updater_client::start_apply(spoilt_apply), "args[1]");
        expect_refused(updater_client::confirm_start(root.string() + bad), "app_dir");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(fs::exists(started));

    EXPECT_TRUE(updater_client::prepare(prepare_request));
    EXPECT_TRUE(updater_client::start_apply(apply_request));
    for (int i = 0; i < 100 && read_lines(started).size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(read_lines(started), (lines{"prepare", "apply"}));
}

// With --sha256 only the package the application verified is installed:
// another is rolled back (or not prepared), and one that somebody else
// could change is read from a private copy, so that swapping or rewriting
// it during the run installs nothing but the verified bytes.
TEST_F(updater_run, only_a_package_with_the_sha256_given_is_installed)
{
    write_file(root / ".version", "1.0\n");
    write_zip(package, new_package_items());
    const std::string digest = sha256_of(package);
    std::string upper = digest;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(apply({"--sha256", upper}).exit_code, 0);
    EXPECT_EQ(read_file(root / ".version"), "2.0\n");
    EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--after-update"}));

    // A pipe is never read as the package: it is refused while the
    // application is still in place.
    const fs::path pipe = dir.path / "pipe.zip";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    fs::remove(record);
    EXPECT_EQ(run_program({updater, "apply", "--pid", "999999999", "--package", pipe.string(), "--app-dir",
                           root.string(), "--version", "3.0", "--sha256", digest},
                          {{"RECORD_FILE", record.string()}})
                  .exit_code,
              1);
    EXPECT_TRUE(log_has("Failed to hold " + pipe.string() + " while its SHA-256 is checked: Invalid argument"));
    EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--update-failed"}));
    EXPECT_EQ(read_file(root / "current" / "new.txt"), "new version");

    const std::string other(64, 'e');
    fs::remove(record);
    EXPECT_EQ(apply({"--sha256", other}).exit_code, 1);
    EXPECT_TRUE(log_has("SHA-256 of " + package.string() + " is " + digest + ", not the expected " + other));
    EXPECT_TRUE(log_has("Extraction failed, rolling back"));
    EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--update-failed"}));
    EXPECT_EQ(read_file(root / ".version"), "2.0\n");
    EXPECT_EQ(run_program({updater, "prepare", "--package", package.string(), "--app-dir", root.string(),
                           "--version", "3.0", "--sha256", other})
                  .exit_code,
              1);
    EXPECT_EQ(strays(), lines{});

    // Where another user could change the package, or rename it, through
    // its directory (another's, or one that others may write and that is
    // not sticky), it is read from a private copy: the bytes installed are
    // the bytes verified, whatever happens to the package meanwhile.
    const fs::path shared = dir.path / "shared";
    fs::create_directories(shared);
    std::vector<zip_item> good = new_package_items(), evil = new_package_items();
    good.push_back({"big.bin", std::string(48 << 20, 'g'), item_kind::file, 0, false, true});
    evil.push_back({"big.bin", std::string(48 << 20, 'e'), item_kind::file, 0, false, true});
    package = shared / "update.zip";
    write_zip(package, good);
    write_zip(shared / "evil.zip", evil);
    const std::string good_digest = sha256_of(package);
    const std::string copied = "Working from a private copy of " + package.string() + ": ";
    for (const auto& [mode, why] : {std::pair{fs::perms(0755), ""},
                                    {fs::perms(01777), ""},
                                    {fs::perms(0775), " can be changed by another user"},
                                    {fs::perms(0777), " can be changed by another user"}}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(mode)));
        fs::permissions(shared, mode);
        EXPECT_EQ(apply({"--sha256", good_digest}).exit_code, 0);
        EXPECT_EQ(log_has(copied + shared.string() + why), *why != '\0');
        EXPECT_EQ(log_has("Extracting 5 files from " + package.string()), *why == '\0');
    }
    fs::permissions(shared, fs::perms(0755));
    if (::chown(shared.c_str(), unprivileged_user, unprivileged_user) == 0) {
        EXPECT_EQ(apply({"--sha256", good_digest}).exit_code, 0);
        EXPECT_TRUE(log_has(copied + shared.string() + " can be changed by another user"));
    }

    // Rewritten with other bytes once the update has its copy: the bytes
    // verified are installed.
    std::map<std::string, std::string> expected;
    for (const zip_item& item : good)
        if (item.kind == item_kind::file)
            expected[item.name] = item.data;
    bool stopped = false;
    const int exit_code = run_interrupted(apply_command({"--sha256", good_digest}), "Renaming current/ -> current.bak/",
                                          [&] { rewrite_in_place(package, read_file(shared / "evil.zip")); }, stopped);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(read_file(package), read_file(shared / "evil.zip"));
    EXPECT_EQ(exit_code, 0) << read_file(root / "updater.log");
    EXPECT_TRUE(tree_contents(root / "current") == expected);
    EXPECT_EQ(strays(), lines{});
}

// A package zipped on Windows records no permissions: its main executable
// is made executable, so that the new version can start; a mode that a
// package does record is kept.
TEST_F(updater_run, the_main_executable_of_a_package_made_on_windows_can_start)
{
    std::vector<zip_item> items = new_package_items();
    for (zip_item& item : items)
        item.made_on_windows = true;
    write_zip(package, items);
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(started_app()["arg"], (lines{exe_path(), "--after-update"}));
    EXPECT_EQ(fs::status(root / "current" / "app.exe").permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(fs::status(root / "current" / "new.txt").permissions() & fs::perms::owner_exec, fs::perms::none);

    items = new_package_items();
    items.back().unix_mode = 0644;
    write_zip(package, items);
    ASSERT_EQ(apply().exit_code, 0);
    EXPECT_EQ(fs::status(root / "current" / "app.exe").permissions() & fs::perms::owner_exec, fs::perms::none);
}

// Killed as it removes the backup, whatever the package, the next run ends
// with one complete version and the `.version` of that one.
TEST_F(updater_run, killed_while_removing_the_backup_the_next_run_ends_with_one_version)
{
    // Enough old files that removing them takes a while.
    for (int i = 0; i < 3000; ++i)
        write_file(root / "current" / "many" / std::to_string(i), "old");
    old_tree = tree_contents(root / "current");
    write_file(root / ".version", "1.0\n");
    const auto apply_killed_at_cleanup = [&] {
        const int pid = start_program(apply_command());
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (log_has("Cleaning up backup")) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        // The backup is moved out of the layout before it is removed: no
        // run can find half of it under its name.
        EXPECT_TRUE(!fs::exists(root / "current.bak") || tree_contents(root / "current.bak") == old_tree);
        const fs::path good_package = package;
        package = dir.path / "absent.zip";
        apply();
        package = good_package;
    };

    // A package that installs nothing is refused: an empty `current` would
    // be taken for one cut short, and the half-removed backup restored.
    for (const std::vector<zip_item>& nothing : {std::vector<zip_item>{}, {{"./", "", item_kind::directory}}}) {
        write_zip(package, nothing);
        apply_killed_at_cleanup();
        EXPECT_EQ(tree_contents(root / "current"), old_tree);
        EXPECT_EQ(read_file(root / ".version"), "1.0\n");
        EXPECT_EQ(strays(), lines{});
    }

    write_zip(package, new_package_items());
    apply_killed_at_cleanup();
    EXPECT_EQ(read_file(root / "current" / "new.txt"), "new version");
    EXPECT_FALSE(fs::exists(root / "current" / "many"));
    EXPECT_EQ(read_file(root / ".version"), "2.0\n");
    EXPECT_EQ(strays(), lines{});
}

// Out of inodes at each step in turn, on a file system of its own: the
// update fails with the old version or applies with the new one, never the
// new files beside the old `.version`.
TEST_F(updater_run, a_full_disk_at_any_step_never_leaves_the_files_and_version_apart)
{
    const fs::path small = dir.path / "small";
    fs::create_directories(small);
    write_zip(package, new_package_items());
    for (int inodes = 8;; ++inodes) {
        SCOPED_TRACE(std::to_string(inodes) + " inodes");
        ASSERT_LT(inodes, 40) << "the update never applied";
        const run_result mounted = run_program({"/bin/mount", "-t", "tmpfs", "-o",
                                                "size=16m,nr_inodes=" + std::to_string(inodes), "none",
                                                small.string()});
        if (mounted.exit_code != 0)
            GTEST_SKIP() << "can't mount a small file system here: " << mounted.err;
        scope_unmount unmount{small};
        root = small / "root";
        try {
            make_app_root(root, {{"old.txt", "old version"}});
            write_file(root / ".version", "1.0\n");
            write_file(root / "updater.log", "");
        } catch (const fs::filesystem_error&) {
        }
        if (read_file(root / ".version") != "1.0\n" || !fs::exists(root / "updater.log"))
            continue;  // too few for the old version itself
        // Nothing is started, so that nothing keeps the file system busy.
        const int exit_code = apply({"--no-launch"}).exit_code;
        const bool applied = log_has("Update complete, exiting");
        EXPECT_EQ(exit_code, applied ? 0 : 1);
        EXPECT_EQ(read_file(root / "current" / (applied ? "new.txt" : "old.txt")),
                  applied ? "new version" : "old version");
        EXPECT_EQ(read_file(root / ".version"), applied ? "2.0\n" : "1.0\n");
        if (applied || HasFailure())
            break;
    }
}

}  // namespace
