// Waiting for the application's process: real helper processes that are
// gone, exit during the wait, have exited unreaped, or never exit.
#include "test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace test;

namespace {

const std::string updater = UPDATER_PATH;
using clock_type = std::chrono::steady_clock;

struct timed_run {
    run_result result;
    double seconds;
    std::vector<std::string> log;
};

// An update whose package is missing: the run waits, renames, fails to open
// the package and rolls back, which is all the waiting tests need.
timed_run run_with_pid(const std::string& pid)
{
    scratch_dir dir;
    make_app_root(dir.path, {{"app.exe", "not a program"}});
    const auto started = clock_type::now();
    timed_run run;
    run.result = run_program({updater, "apply", "--pid", pid, "--package", (dir.path / "none.zip").string(),
                              "--app-dir", dir.path.string(), "--version", "2"});
    run.seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    run.log = log_messages(dir.path / "updater.log");
    return run;
}

bool is_zombie(int pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'Z';
}

// Reaps a helper that this test started and reports how it ended.
int reap(int pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

void expect_waited_then_renamed(const timed_run& run, int helper)
{
    ASSERT_GE(run.log.size(), 2u);
    EXPECT_EQ(run.log[0], "Waiting for process " + std::to_string(helper) + " to exit (timeout 30000ms)");
    EXPECT_EQ(run.log[1], "Renaming current/ -> current.bak/");
}

TEST(process_wait, ids_that_name_no_waitable_process_are_not_found)
{
    // 0 and negative ids would address process groups, and 1 is the
    // system's first process: never waited for, never signalled.
    for (const auto& [given, pid] : std::vector<std::pair<std::string, std::string>>{
             {"0", "0"}, {"-1", "-1"}, {"1", "1"}, {"01", "1"}, {"0999999999", "999999999"}}) {
        SCOPED_TRACE(given);
        const timed_run run = run_with_pid(given);
        ASSERT_FALSE(run.log.empty());
        EXPECT_EQ(run.log[0], "Process " + pid + " not found, proceeding");
        EXPECT_LT(run.seconds, 3.0);
    }
}

TEST(process_wait, its_own_process_id_is_never_waited_for)
{
    scratch_dir dir;
    make_app_root(dir.path, {{"app.exe", "not a program"}});
    // The shell's process id is the updater's once the shell execs it.
    const auto started = clock_type::now();
    const run_result result = run_program({"/bin/sh", "-c", "echo $$ && exec \"$0\" apply --pid $$ --package none.zip "
                                           "--app-dir \"$1\" --version 2", updater, dir.path.string()});
    const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
    const std::string own_pid = result.out.substr(0, result.out.find('\n'));
    const std::vector<std::string> log = log_messages(dir.path / "updater.log");
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "Process " + own_pid + " is this updater itself, not waiting for it");
    EXPECT_EQ(log[1], "Renaming current/ -> current.bak/");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_LT(seconds, 5.0);
}

TEST(process_wait, returns_soon_after_the_process_exits)
{
    const int helper = start_program({"/bin/sleep", "1.5"});
    const timed_run run = run_with_pid(std::to_string(helper));
    EXPECT_EQ(reap(helper), 0);
    ASSERT_NO_FATAL_FAILURE(expect_waited_then_renamed(run, helper));
    EXPECT_GT(run.seconds, 1.2);
    EXPECT_LT(run.seconds, 5.0);
}

TEST(process_wait, a_process_that_exited_unreaped_has_ended)
{
    const int helper = start_program({"/bin/true"});
    for (int i = 0; i < 500 && !is_zombie(helper); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(is_zombie(helper));
    const timed_run run = run_with_pid(std::to_string(helper));
    EXPECT_EQ(reap(helper), 0);
    ASSERT_NO_FATAL_FAILURE(expect_waited_then_renamed(run, helper));
    EXPECT_LT(run.seconds, 3.0);
}

TEST(process_wait_slow, a_process_that_never_exits_is_killed_after_30_seconds)
{
    const int helper = start_program({"/bin/sleep", "1000"});
    const timed_run run = run_with_pid(std::to_string(helper));
    const int signal = reap(helper);
    EXPECT_EQ(signal, SIGKILL);
    ASSERT_GE(run.log.size(), 3u);
    EXPECT_EQ(run.log[1], "Process " + std::to_string(helper) + " did not exit in time, terminating");
    EXPECT_EQ(run.log[2], "Renaming current/ -> current.bak/");
    EXPECT_GT(run.seconds, 29.5);
    EXPECT_LT(run.seconds, 36.0);
    EXPECT_EQ(run.result.exit_code, 1);
}

}  // namespace
