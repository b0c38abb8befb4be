// A stand-in application: records how it was started into the file named by
// RECORD_FILE (written under a temporary name, then renamed, so a reader
// never sees half of it) and exits.
//
// Started with --after-update while START_CHECK is set, it records into
// RECORD_FILE.new instead (so that the old application, started again by a
// rollback, does not write over that) and then, by START_CHECK:
//   confirm  creates .update-confirmed in the application root, waits for
//            the updater to remove it again, and only then records and
//            exits (so a test that sees the record knows it is done);
//   exit     exits with code 5, leaving a child of its own running for a
//            minute (its id recorded as child);
//   hang     does not exit by itself for a minute, nor does its child;
//   other    exits with code 5.
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::string link_target(const std::string& path)
{
    char buffer[PATH_MAX];
    const ssize_t size = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    return size < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(size));
}

// Descriptors above standard error that this process inherited.
std::string extra_descriptors()
{
    std::string list;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return "?";
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd > 2 && fd != own)
            list += std::to_string(fd) + ":" + link_target("/proc/self/fd/" + std::to_string(fd)) + " ";
    }
    ::closedir(dir);
    return list;
}

// The application's side of the start check: the root is the parent of
// the `current` that holds this executable.
void confirm_and_wait_for_removal()
{
    namespace fs = std::filesystem;
    const fs::path confirmation = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / ".update-confirmed";
    std::ofstream(confirmation).close();
    for (int i = 0; i < 400 && fs::exists(fs::symlink_status(confirmation)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The masks of signals this process ignores and blocks, as the system
// shows them ("0000000000000000 0000000000000000" when none).
std::string ignored_or_blocked_signals()
{
    std::ifstream status("/proc/self/status");
    std::string masks;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigIgn:", 0) == 0 || line.rfind("SigBlk:", 0) == 0)
            masks += (masks.empty() ? "" : " ") + line.substr(line.find_first_not_of(" \t", 7));
    return masks;
}

int act_on_start_check(const std::string& mode)
{
    if (mode == "confirm")
        return 0;
    if (mode == "hang")
        std::this_thread::sleep_for(std::chrono::minutes(1));
    return 5;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* record_file = std::getenv("RECORD_FILE");
    if (!record_file)
        return 2;
    const char* start_check = std::getenv("START_CHECK");
    const bool checked = start_check && argc > 1 && std::string(argv[1]) == "--after-update";
    const std::string record = std::string(record_file) + (checked ? ".new" : "");
    if (checked && std::string(start_check) == "confirm")
        confirm_and_wait_for_removal();
    const bool leaves_child = checked && (std::string(start_check) == "exit" || std::string(start_check) == "hang");
    const pid_t lingering = leaves_child ? ::fork() : -1;
    if (lingering == 0) {
        std::this_thread::sleep_for(std::chrono::minutes(1));
        return 0;
    }
    // Listed before this program opens anything of its own.
    const std::string inherited = extra_descriptors();
    const std::string temporary = record + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "w");
    if (!out)
        return 3;
    char cwd[PATH_MAX] = "";
    if (!::getcwd(cwd, sizeof cwd))
        cwd[0] = '\0';
    std::fprintf(out, "cwd=%s\n", cwd);
    std::fprintf(out, "pid=%d\nchild=%d\n", static_cast<int>(::getpid()), static_cast<int>(lingering));
    std::fprintf(out, "session=%d\n", static_cast<int>(::getsid(0)));
    std::fprintf(out, "stdin=%s\n", link_target("/proc/self/fd/0").c_str());
    std::fprintf(out, "stdout=%s\n", link_target("/proc/self/fd/1").c_str());
    std::fprintf(out, "stderr=%s\n", link_target("/proc/self/fd/2").c_str());
    std::fprintf(out, "extra_fds=%s\n", inherited.c_str());
    std::fprintf(out, "ignored_or_blocked=%s\n", ignored_or_blocked_signals().c_str());
    for (int i = 0; i < argc; ++i)
        std::fprintf(out, "arg=%s\n", argv[i]);
    std::fclose(out);
    if (std::rename(temporary.c_str(), record.c_str()) != 0)
        return 4;
    return checked ? act_on_start_check(start_check) : 0;
}
