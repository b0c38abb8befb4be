// Fault injection by kill: updates an application root back and forth
// between two versions and kills the updater with SIGKILL at a random
// instant of each run (and sometimes the repairing run after it too), then
// lets one more run repair the root and checks that it holds one complete
// version, byte for byte, with `.version` naming it. A quarter of the runs
// are killed while they remove the backup, and an eighth are given a
// package that installs nothing, which must leave the old version. Half
// the runs check the start of the new version: version one confirms its
// start, version two exits without, so that those runs are killed while
// waiting and while rolling back too. Half the updates come after a
// preparation: of their own package (and so swap the prepared copy in),
// of it but killed at a random instant, or of the other version. A sixth
// of the runs start from a root without `.version`, which must stay
// without one where the old application stays.
//
//   kill_trials UPDATER [--trials N] [--seed S]
//
// Prints the number of trials and how many ended with the old application,
// the new one and anything else; exits 1 if anything else was ever seen.
#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace test;

namespace {

using tree = std::map<std::string, std::string>;
using clock_type = std::chrono::steady_clock;

// An application-shaped tree: a long tail of small files, a few large
// ones, some compressible and some not.
tree make_version(const std::string& label, std::mt19937_64& random)
{
    tree files;
    files["app.exe"] = label == "one" ? "#!/bin/sh\n: > \"${0%/*/*}/.update-confirmed\"\n" : "#!/bin/sh\nexit 0\n";
    std::uniform_int_distribution<int> small(50, 20000);
    for (int i = 0; i < 300; ++i) {
        const std::string name = "dir" + std::to_string(i % 30) + "/sub" + std::to_string(i % 7) + "/file" +
                                 std::to_string(i) + (i % 3 ? ".txt" : ".bin");
        const std::size_t size = i % 50 == 0 ? 1500000 : static_cast<std::size_t>(small(random));
        std::string content = label + " " + name + "\n";
        content.reserve(size);
        while (content.size() < size)
            content += i % 3 ? std::string("lorem ipsum dolor sit amet ") + label + "\n"
                             : std::string(1, static_cast<char>(random()));
        files[name] = content.substr(0, size);
    }
    return files;
}

void write_package(const fs::path& path, const tree& files)
{
    std::vector<zip_item> items;
    for (int d = 0; d < 30; ++d)
        items.push_back({"dir" + std::to_string(d) + "/", "", item_kind::directory});
    for (const auto& [name, content] : files)
        items.push_back({name, content, item_kind::file, name == "app.exe" ? 0755u : 0644u});
    write_zip(path, items);
}

std::vector<std::string> update_command(const std::string& updater, const fs::path& root,
                                        const fs::path& package, int app_pid, bool start_check = false)
{
    std::vector<std::string> command{updater, "apply", "--pid", std::to_string(app_pid), "--package",
                                     package.string(), "--app-dir", root.string(), "--version",
                                     package.stem().string()};
    if (start_check)
        command.insert(command.end(), {"--confirm-timeout", "5"});
    return command;
}

std::vector<std::string> prepare_command(const std::string& updater, const fs::path& root, const fs::path& package)
{
    return {updater, "prepare", "--package", package.string(), "--app-dir", root.string(), "--version",
            package.stem().string()};
}

int wait_status(int pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

// Runs the command and kills it after delay unless it has ended by then.
void run_and_kill(const std::vector<std::string>& command, std::chrono::microseconds delay)
{
    const int pid = start_program(command);
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    wait_status(pid);
}

// Runs the command and kills it delay after its log shows the line, unless
// it has ended by then.
void run_and_kill_after_line(const std::vector<std::string>& command, const fs::path& log, const std::string& line,
                             std::chrono::microseconds delay)
{
    const int pid = start_program(command);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        const std::vector<std::string> lines = log_messages(log);
        if (std::find(lines.begin(), lines.end(), line) != lines.end()) {
            std::this_thread::sleep_for(delay);
            ::kill(pid, SIGKILL);
            wait_status(pid);
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

double seconds_of_full_run(const std::string& updater, const fs::path& root, const fs::path& package,
                           bool start_check)
{
    const auto started = clock_type::now();
    const int app = start_program({"/bin/sleep", "0.05"});
    run_program(update_command(updater, root, package, app, start_check));
    wait_status(app);
    return std::chrono::duration<double>(clock_type::now() - started).count();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: kill_trials UPDATER [--trials N] [--seed S]\n");
        return 2;
    }
    const std::string updater = argv[1];
    int trials = 20;
    unsigned long seed = 1;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--trials")
            trials = std::stoi(argv[i + 1]);
        else if (option == "--seed")
            seed = std::stoul(argv[i + 1]);
    }

    std::mt19937_64 random(seed);
    scratch_dir dir;
    const fs::path root = dir.path / "root";
    const fs::path packages[2] = {dir.path / "1.0.zip", dir.path / "2.0.zip"};
    const tree versions[2] = {make_version("one", random), make_version("two", random)};
    write_package(packages[0], versions[0]);
    write_package(packages[1], versions[1]);
    const fs::path missing = dir.path / "missing.zip";
    // A package that installs nothing, which must never replace either.
    const fs::path empty = dir.path / "empty.zip";
    write_zip(empty, {});

    // Install version one, then time a full update to two and back, and one
    // to two rolled back by the start check.
    fs::create_directories(root / "current");
    run_program(update_command(updater, root, packages[0], 0));
    const double full = std::max({seconds_of_full_run(updater, root, packages[1], false),
                                  seconds_of_full_run(updater, root, packages[0], false),
                                  seconds_of_full_run(updater, root, packages[1], true)});
    std::printf("full run: %.3f s; killing at random instants up to %.3f s\n", full, full * 1.1);

    int ended_old = 0, ended_new = 0, ended_other = 0;
    std::uniform_real_distribution<double> instant(0.0, full * 1.1);
    for (int trial = 0; trial < trials; ++trial) {
        const tree before = tree_contents(root / "current");
        const int from = before == versions[0] ? 0 : 1;
        const int to = 1 - from;
        const auto delay = [&] {
            return std::chrono::microseconds(static_cast<long long>(instant(random) * 1e6));
        };

        const bool start_check = random() % 2 == 0;
        const bool nothing_to_install = random() % 8 == 0;
        if (random() % 6 == 0)
            fs::remove(root / ".version");
        const bool had_version = fs::exists(root / ".version");
        // Half the updates find a copy prepared: of their own package,
        // stopped part way, or of the other version.
        switch (random() % 6) {
        case 0:
            run_program(prepare_command(updater, root, packages[to]));
            break;
        case 1:
            run_and_kill(prepare_command(updater, root, packages[to]), delay());
            break;
        case 2:
            run_program(prepare_command(updater, root, packages[from]));
            break;
        }
        const int app = start_program({"/bin/sleep", "0.05"});
        const std::vector<std::string> command =
            update_command(updater, root, nothing_to_install ? empty : packages[to], app, start_check);
        if (random() % 4 == 0)  // killed while it removes the backup
            run_and_kill_after_line(command, root / "updater.log", "Cleaning up backup", delay() / 50);
        else
            run_and_kill(command, delay());
        wait_status(app);
        if (random() % 4 == 0)  // the repairing run is killed as well
            run_and_kill(update_command(updater, root, missing, 0), delay() / 4);
        run_program(update_command(updater, root, missing, 0));

        // One version complete, and `.version` naming that one.
        const tree after = tree_contents(root / "current");
        const auto holds = [&](int version) {
            const bool version_file = version == to || had_version;
            return after == versions[version] && !fs::exists(root / "current.bak") &&
                   fs::exists(root / ".version") == version_file &&
                   (!version_file || read_file(root / ".version") == packages[version].stem().string() + "\n");
        };
        if (holds(from))
            ++ended_old;
        else if (holds(to) && !nothing_to_install)
            ++ended_new;
        else {
            ++ended_other;
            std::printf("trial %d: the root holds neither version complete with its .version\n", trial);
            break;
        }
    }
    std::printf("trials: %d, ended with the old application: %d, with the new one: %d, with anything else: %d\n",
                ended_old + ended_new + ended_other, ended_old, ended_new, ended_other);
    return ended_other == 0 && ended_old + ended_new == trials ? 0 : 1;
}
