// The client library on POSIX systems: fork and exec, with the arguments as
// they are (no shell), descriptors closed, a session of its own.
#include "client_platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace client {

namespace {

std::string system_message(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

std::vector<char*> c_strings(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (const std::string& s : strings)
        pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Closes every descriptor above standard error but keep, wherever it lies:
// one above the current limit (opened before the limit was lowered) is
// closed too.
void close_descriptors_except(int keep)
{
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0 &&
        ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0)
        return;
#endif
    rlimit limit{};
    const rlim_t highest = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_max != RLIM_INFINITY
                               ? limit.rlim_max
                               : rlim_t(1) << 20;
    for (rlim_t fd = 3; fd < highest; ++fd)
        if (static_cast<int>(fd) != keep)
            ::close(static_cast<int>(fd));
}

// Runs in a forked process: only async-signal-safe calls. Makes out the
// standard output and error (the null device where out is -1), closes
// every other descriptor but the one that reports a failed exec, gives
// every signal its default action and unblocks it (what the caller ignores
// or blocks is its own affair, not the updater's or the new version's), and
// execs; on failure writes errno to that one and exits.
[[noreturn]] void exec_with(char* const* argv, int out, int report)
{
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(out < 0 ? null_fd : out, 1) < 0 ||
        ::dup2(out < 0 ? null_fd : out, 2) < 0) {
        const int error = errno;
        (void)!::write(report, &error, sizeof error);
        ::_exit(127);
    }
    close_descriptors_except(report);
    for (int signal = 1; signal < NSIG; ++signal)
        ::signal(signal, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv);
    const int error = errno;
    (void)!::write(report, &error, sizeof error);
    ::_exit(127);
}

// What the started program reported through the pipe that exec closes: 0
// once exec succeeded.
int start_error(int read_fd)
{
    int error = 0;
    ssize_t got;
    while ((got = ::read(read_fd, &error, sizeof error)) < 0 && errno == EINTR) {
    }
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

int wait_for(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

const char* const default_updater_name = "updater";

std::string join_path(const std::string& dir, const std::string& name)
{
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

long own_process_id()
{
    return static_cast<long>(::getpid());
}

// Each argument in single quotes where it holds anything but plain
// characters: inside them nothing is special but the quote itself, which
// is closed, escaped and opened again.
std::string relaunch_argument_string(const std::vector<std::string>& args)
{
    std::string joined;
    for (const std::string& arg : args) {
        if (!joined.empty())
            joined += ' ';
        const bool plain = !arg.empty() && arg.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                                 "0123456789_@%+=:,./-") == std::string::npos;
        if (plain) {
            joined += arg;
            continue;
        }
        joined += '\'';
        for (const char c : arg)
            joined += c == '\'' ? std::string("'\\''") : std::string(1, c);
        joined += '\'';
    }
    return joined;
}

// A child starts a grandchild in a session of its own and exits at once:
// the grandchild is nobody's child then, and outlives the caller.
bool start_detached(const std::vector<std::string>& argv, std::string& message)
{
    std::vector<char*> args = c_strings(argv);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        message = system_message("can't start " + argv[0], errno);
        return false;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(report[0]);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0)
            exec_with(args.data(), -1, report[1]);
        ::_exit(grandchild < 0 ? 127 : 0);
    }
    ::close(report[1]);
    const int error = child < 0 ? errno : start_error(report[0]);
    ::close(report[0]);
    if (child > 0)
        wait_for(child);
    if (error == 0)
        return true;
    message = system_message("can't start " + argv[0], error);
    return false;
}

bool run_reading_lines(const std::vector<std::string>& argv, const std::function<void(const std::string&)>& on_line,
                       int& exit_code, std::string& message)
{
    std::vector<char*> args = c_strings(argv);
    int output[2], report[2];
    if (::pipe2(output, O_CLOEXEC) != 0) {
        message = system_message("can't start " + argv[0], errno);
        return false;
    }
    if (::pipe2(report, O_CLOEXEC) != 0) {
        message = system_message("can't start " + argv[0], errno);
        ::close(output[0]);
        ::close(output[1]);
        return false;
    }
    const pid_t child = ::fork();
    if (child == 0)
        exec_with(args.data(), output[1], report[1]);
    ::close(output[1]);
    ::close(report[1]);
    const int error = child < 0 ? errno : start_error(report[0]);
    ::close(report[0]);
    std::string pending;
    char buffer[4096];
    for (ssize_t got; (got = ::read(output[0], buffer, sizeof buffer)) != 0;) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            on_line(pending.substr(0, end));
    }
    ::close(output[0]);
    if (!pending.empty())
        on_line(pending);
    if (child < 0 || error != 0) {
        if (child > 0)
            wait_for(child);
        message = system_message("can't start " + argv[0], error);
        return false;
    }
    exit_code = wait_for(child);
    return true;
}

bool own_executable_dir(const char* argv0, std::string& dir, std::string& message)
{
    std::string path = argv0 && argv0[0] == '/' ? argv0 : "";
    if (path.empty()) {
        char buffer[PATH_MAX];
        const ssize_t got = ::readlink("/proc/self/exe", buffer, sizeof buffer);
        if (got <= 0 || got >= static_cast<ssize_t>(sizeof buffer)) {
            message = system_message("can't find the running executable", errno);
            return false;
        }
        path.assign(buffer, static_cast<std::size_t>(got));
    }
    dir = parent_of(path);
    return true;
}

std::string parent_of(const std::string& path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : trimmed.substr(0, slash);
}

// O_NOFOLLOW refuses a link in its place, O_NONBLOCK a pipe's wait.
bool create_flag_file(const std::string& path, std::string& message)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        message = system_message("can't create " + path, errno);
        return false;
    }
    struct stat info;
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular)
        message = "can't create " + path + ": something else is in the way";
    return regular;
}

}  // namespace client
