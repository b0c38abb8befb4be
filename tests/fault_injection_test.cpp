// Every C-library call of a full update run made to fail in turn, with each
// errno that a disk or file system produces: afterwards the application root
// must hold a complete old or new application, the exit code must agree
// with the log, and one more run with a good package must apply it.
#include "test_support.h"

#include "scope_exit.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>

using namespace test;

namespace {

const std::string updater = UPDATER_PATH;
const std::string fault_library = FAULT_LIBRARY_PATH;

using tree = std::map<std::string, std::string>;
using lines = std::vector<std::string>;

const tree old_files{{"app.exe", "old program"}, {"old.txt", "old"}, {"lib/a.dat", "old a"}};
const tree new_files{{"app.exe", "new program"}, {"new.txt", "new"}, {"lib/a.dat", "new a"},
                     {"lib/deep/b.dat", "new b"}};

class fault_walk : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::vector<zip_item> items{{"lib/", "", item_kind::directory}};
        for (const auto& [name, content] : new_files)
            items.push_back({name, content});
        write_zip(package, items);
        package_bytes = read_file(package);
    }

    // The runs a walk faults: a plain update, a preparation, an update that
    // finds a copy prepared, and an update whose new version fails its start
    // check (its main executable can't start), on a root with a `.version`
    // and on one without.
    enum class walked { apply, prepare, apply_prepared, failed_check, failed_check_without_version };

    bool start_checked() const { return mode == walked::failed_check || mode == walked::failed_check_without_version; }

    std::string old_version() const { return mode == walked::failed_check_without_version ? "" : "1.0\n"; }

    void reset_root()
    {
        fs::remove_all(root);
        make_app_root(root, old_files);
        if (!old_version().empty())
            write_file(root / ".version", old_version());
        if (mode == walked::apply_prepared) {
            EXPECT_EQ(run_command("prepare").exit_code, 0);
        }
    }

    run_result run_command(const std::string& command, const std::map<std::string, std::string>& env = {},
                           bool start_check = false)
    {
        std::vector<std::string> argv{updater,          command,    "--package", package.string(),
                                      "--app-dir",      root.string(), "--version", "2.0"};
        if (command == "apply")
            argv.insert(argv.end(), {"--pid", "0"});
        if (start_check)
            argv.insert(argv.end(), {"--confirm-timeout", "5"});
        return run_program(argv, env);
    }

    run_result run_update(const std::map<std::string, std::string>& env = {})
    {
        return run_command(mode == walked::prepare ? "prepare" : "apply", env, start_checked());
    }

    run_result run_with_fault(const std::string& function, long call, int error)
    {
        return run_update({{"LD_PRELOAD", fault_library},
                           {"FAULT_FUNCTION", function},
                           {"FAULT_CALL", std::to_string(call)},
                           {"FAULT_ERRNO", std::to_string(error)},
                           {"FAULT_REPORT", report.string()}});
    }

    // A preparation touches nothing of the application, and its exit code
    // agrees with the log and with what it leaves: a complete copy with its
    // record, or nothing that a later run would use.
    void check_after_faulted_preparation(const run_result& result)
    {
        const lines log = log_messages(root / "updater.log");
        const bool log_says_done = !log.empty() && log.back() == "Prepared current.new for version 2.0";
        EXPECT_EQ(log_says_done, result.exit_code == 0) << result.err;
        EXPECT_EQ(tree_contents(root / "current"), old_files);
        EXPECT_EQ(read_file(root / ".version"), "1.0\n");
        if (result.exit_code == 0)
            EXPECT_EQ(tree_contents(root / "current.new"), new_files);
        else
            EXPECT_FALSE(fs::exists(root / "current.new.ready"));
    }

    long calls_in_clean_run(const std::string& function)
    {
        reset_root();
        EXPECT_EQ(run_with_fault(function, 0, 0).exit_code, start_checked() ? 1 : 0);
        return std::stol(read_file(report));
    }

    // The exit code agrees with the log, and once the next run (here one
    // with no package, which only repairs) has seen the root, it holds the
    // old or the new application, each with its own `.version`.
    void check_after_fault(const run_result& result)
    {
        if (mode == walked::prepare)
            return check_after_faulted_preparation(result);
        const lines log = log_messages(root / "updater.log");
        const bool log_says_done = !log.empty() && log.back() == "Update complete, exiting";
        EXPECT_EQ(result.exit_code, log_says_done ? 0 : 1) << result.err;
        run_program({updater, "apply", "--pid", "0", "--package", (dir.path / "absent.zip").string(), "--app-dir",
                     root.string(), "--version", "2.0"});
        // A start check's rollback that could not mark the new files
        // untrusted keeps them, and says the update failed.
        const bool applied = start_checked() ? tree_contents(root / "current") == new_files : result.exit_code == 0;
        EXPECT_EQ(tree_contents(root / "current"), applied ? new_files : old_files);
        const std::string version = applied ? "2.0\n" : old_version();
        EXPECT_EQ(fs::exists(root / ".version"), !version.empty());
        EXPECT_EQ(read_file(root / ".version"), version);
        EXPECT_EQ(read_file(package), package_bytes);
        for (const auto& entry : fs::directory_iterator(dir.path)) {
            const std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "root" || name == "update.zip" || name == "calls") << "stray " << name;
        }
    }

    bool log_has_line(const std::string& message) const
    {
        const lines log = log_messages(root / "updater.log");
        return std::find(log.begin(), log.end(), message) != log.end();
    }

    void check_good_run_applies()
    {
        const run_result result = run_command("apply");
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(tree_contents(root / "current"), new_files);
        EXPECT_FALSE(fs::exists(root / "current.bak"));
        EXPECT_FALSE(fs::exists(root / "current.incomplete"));
    }

    walked mode = walked::apply;
    scratch_dir dir;
    fs::path root = dir.path / "root";
    fs::path package = dir.path / "update.zip";
    fs::path report = dir.path / "calls";
    std::string package_bytes;
};

TEST_F(fault_walk, every_failing_call_leaves_a_complete_application)
{
    for (const walked walk : {walked::apply, walked::prepare, walked::apply_prepared, walked::failed_check,
                              walked::failed_check_without_version}) {
        mode = walk;
        // The start check's walks take each failing call once: they are
        // about the versions the rollback puts back, not about the errno.
        const std::vector<int> errors = start_checked() ? std::vector<int>{EIO}
                                                        : std::vector<int>{EIO, ENOSPC, EACCES, EXDEV};
        long total_runs = 0;
        for (const std::string function : {"open", "write", "rename", "mkdir", "unlink", "fsync", "close"}) {
            const long calls = calls_in_clean_run(function);
            // A plain update makes every kind of call; a preparation renames
            // nothing, and a swap creates no directory.
            EXPECT_TRUE(calls > 0 || walk != walked::apply)
                << function << " is never called; the walk would prove nothing";
            for (const int error : errors) {
                for (long call = 1; call <= calls; ++call) {
                    SCOPED_TRACE(std::to_string(static_cast<int>(walk)) + ": " + function + " call " +
                                 std::to_string(call) + " fails with " + std::strerror(error));
                    reset_root();
                    check_after_fault(run_with_fault(function, call, error));
                    check_good_run_applies();
                    ++total_runs;
                    if (HasFailure())
                        return;
                }
            }
        }
        std::printf("fault walk %d: %ld faulted runs\n", static_cast<int>(walk), total_runs);
    }
}

// How the new files reach stable storage: a package of some stretches of
// data is flushed while it is written, not only once at the end; on FUSE,
// which does not hand a flush of the whole file system on to the storage
// behind it, every file and directory is flushed by itself.
TEST_F(fault_walk, the_new_files_are_flushed_as_written_and_one_by_one_on_fuse)
{
    const long flushes_of_small_package = calls_in_clean_run("fsync");

    const fs::path backing = dir.path / "backing", mounted = dir.path / "fuse";
    fs::create_directories(backing);
    fs::create_directories(mounted);
    ASSERT_EQ(run_program({"/usr/bin/bindfs", backing.string(), mounted.string()}).exit_code, 0);
    scope_exit unmount{[&] { run_program({"/usr/bin/fusermount", "-u", mounted.string()}); }};
    const fs::path disk_root = root;
    root = mounted / "root";
    // current, lib, lib/deep and four files, beyond the flushes of any update
    EXPECT_GE(calls_in_clean_run("fsync"), flushes_of_small_package + 7);
    EXPECT_EQ(tree_contents(root / "current"), new_files);
    root = disk_root;

    write_zip(package, {{"app.exe", "new program"}, {"big.dat", std::string(200u << 20, 'x'), item_kind::file, 0,
                                                      false, false, 1}});
    EXPECT_GE(calls_in_clean_run("fsync"), flushes_of_small_package + 1);
    EXPECT_EQ(fs::file_size(root / "current" / "big.dat"), 200u << 20);
}

// Recovery reads meaning into which names of the root are there together,
// and after a power loss the file system may have kept any of the changes
// that were not yet flushed, in any order. So each change to a name of the
// layout is flushed (an fsync of the root, or a syncfs) before the next is
// made, on every road: an update, its rollback, a start check's rollback
// with and without a previous `.version`, a preparation and the swap of
// the copy, the repair of a layout that a stopped run left, and a rollback
// after the commit's own flush failed. And nothing of `current` is removed
// beside a backup unless the marker says that the old files come back: a
// run stopped part way would leave what is left taken for new files.
TEST_F(fault_walk, every_change_to_the_layout_is_flushed_before_the_next)
{
    const fs::path trace = dir.path / "trace";
    const auto layout_name = [&](const fs::path& path) {
        const std::string name = path.filename().string();
        return path.parent_path() == root && name != "updater.log" && name != ".update-confirmed" &&
               name.rfind("updater.trash.", 0) != 0;
    };
    const auto inside_current = [&](const fs::path& path) {
        const std::string text = path.string(), live = (root / "current").string();
        return text == live || text.rfind(live + "/", 0) == 0;
    };
    // The changes made after another without a flush between them, and the
    // removals from `current` beside a backup without the marker.
    const auto unflushed_pairs = [&] {
        std::vector<std::string> found;
        std::string unflushed;
        bool marked = false, backup = false;
        for (const std::string& line : read_lines(trace)) {
            std::istringstream words(line);
            std::string call, first, second;
            words >> call >> first >> second;
            if (call == "unlink" && inside_current(first) && backup && !marked)
                found.push_back("unmarked: " + line);
            if (fs::path(first) == root / "current.incomplete" && call != "fsync")
                marked = call == "create";
            if (call == "rename" && (fs::path(first) == root / "current.bak" || fs::path(second) == root / "current.bak"))
                backup = fs::path(second) == root / "current.bak";
            if ((call == "fsync" && fs::path(first) == root) || call == "syncfs") {
                unflushed.clear();
                continue;
            }
            if (call == "fsync" || !(layout_name(first) || (!second.empty() && layout_name(second))))
                continue;
            if (!unflushed.empty())
                found.push_back(unflushed + " | " + line);
            unflushed = line;
        }
        fs::remove(trace);
        return found;
    };
    const auto traced = [&](const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv{updater, "apply", "--pid", "0", "--package", package.string(),
                                      "--app-dir", root.string(), "--version", "2.0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run_program(argv, {{"LD_PRELOAD", fault_library}, {"FAULT_TRACE", trace.string()}});
    };
    const std::string good_package = read_file(package);

    reset_root();
    EXPECT_EQ(traced().exit_code, 0);
    EXPECT_EQ(unflushed_pairs(), lines{}) << "an update";

    reset_root();
    run_program({updater, "prepare", "--package", package.string(), "--app-dir", root.string(), "--version", "2.0"},
                {{"LD_PRELOAD", fault_library}, {"FAULT_TRACE", trace.string()}});
    EXPECT_EQ(unflushed_pairs(), lines{}) << "a preparation";
    EXPECT_EQ(traced().exit_code, 0);
    EXPECT_EQ(unflushed_pairs(), lines{}) << "the swap of a prepared copy";

    // The new version's main executable can't start, so it never confirms.
    for (const bool had_version : {true, false}) {
        reset_root();
        if (!had_version)
            fs::remove(root / ".version");
        EXPECT_EQ(traced({"--confirm-timeout", "5"}).exit_code, 1);
        EXPECT_EQ(unflushed_pairs(), lines{}) << "a start check's rollback, with a .version: " << had_version;
        EXPECT_EQ(fs::exists(root / ".version"), had_version);
    }

    write_zip(package, {{"ok.txt", "fine"}, {"../escape", "refused"}});
    reset_root();
    EXPECT_EQ(traced().exit_code, 1);
    EXPECT_EQ(unflushed_pairs(), lines{}) << "a rollback";

    // The commit's flush after removing the marker fails: the update rolls
    // back, the marker first.
    write_file(package, good_package);
    reset_root();
    EXPECT_EQ(traced().exit_code, 0);
    long commit_flush = 1;
    for (const std::string& line : read_lines(trace)) {
        if (line == "unlink " + (root / "current.incomplete").string())
            break;
        commit_flush += line.rfind("fsync ", 0) == 0 || line.rfind("syncfs ", 0) == 0;
    }
    fs::remove(trace);
    reset_root();
    EXPECT_EQ(run_with_fault("fsync", commit_flush, EIO).exit_code, 1);
    ASSERT_TRUE(log_has_line("Failed to remove " + (root / "current.incomplete").string()));
    reset_root();
    EXPECT_EQ(run_program({updater, "apply", "--pid", "0", "--package", package.string(), "--app-dir", root.string(),
                           "--version", "2.0"},
                          {{"LD_PRELOAD", fault_library}, {"FAULT_TRACE", trace.string()}, {"FAULT_FUNCTION", "fsync"},
                           {"FAULT_CALL", std::to_string(commit_flush)}, {"FAULT_ERRNO", std::to_string(EIO)}})
                  .exit_code,
              1);
    // Where a flush failed the next change can't wait for it: only the
    // marker's place before the removal is checked here.
    lines unmarked = unflushed_pairs();
    unmarked.erase(std::remove_if(unmarked.begin(), unmarked.end(),
                                  [](const std::string& found) { return found.rfind("unmarked: ", 0) != 0; }),
                   unmarked.end());
    EXPECT_EQ(unmarked, lines{}) << "a rollback after the commit's flush failed";

    // A stopped update: the staged version and the marker beside the
    // backup, and half of the new files.
    reset_root();
    fs::rename(root / "current", root / "current.bak");
    write_file(root / "current" / "new.txt", "ne");
    write_file(root / "current.incomplete", "");
    write_file(root / ".version.new", "2.0\n");
    fs::remove(package);
    EXPECT_EQ(traced().exit_code, 1);
    EXPECT_EQ(unflushed_pairs(), lines{}) << "a repair";
    write_file(package, good_package);
}

TEST_F(fault_walk, a_rollback_whose_rename_fails_says_so_and_the_next_run_restores)
{
    write_zip(package, {{"ok.txt", "fine"}, {"../escape", "refused"}});
    reset_root();
    // The first rename moves `current` aside, the second is the rollback's.
    const run_result result = run_with_fault("rename", 2, EIO);
    EXPECT_EQ(result.exit_code, 1);
    const lines log = log_messages(root / "updater.log");
    // Nothing complete is in `current`, so nothing is started.
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Extraction failed, rolling back");
    EXPECT_EQ(log.back(), "Failed to restore from backup: " + std::string(std::strerror(EIO)));
    EXPECT_EQ(tree_contents(root / "current.bak"), old_files);

    fs::remove(package);
    EXPECT_EQ(run_update().exit_code, 1);
    EXPECT_EQ(tree_contents(root / "current"), old_files);
    EXPECT_FALSE(fs::exists(root / "current.bak"));
}

}  // namespace
