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

// A descriptor, closed when it goes out of scope.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// fd itself where it lies above standard error; else a duplicate of it that
// does (closed on exec; -1, with error set, when there is none), and fd is
// closed, so that the caller's standard stream stays as closed as it was.
int above_standard_streams(int fd, int& error)
{
    if (fd > STDERR_FILENO)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        error = errno;
    ::close(fd);
    return moved;
}

// A pipe whose ends are closed on exec and lie above standard error: a
// caller that closed its standard streams (a daemon, a program started
// without them) would otherwise get the ends at 0, 1 or 2, where the
// child's dup2 onto its own standard streams closes or replaces them. 0,
// or the error that kept it from being made; nothing then stays open.
int open_pipe(unique_fd& read_end, unique_fd& write_end)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return errno;
    int error = 0;
    read_end.reset(above_standard_streams(ends[0], error));
    write_end.reset(above_standard_streams(ends[1], error));
    if (error != 0) {
        read_end.reset();
        write_end.reset();
    }
    return error;
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

// Runs in a forked process: writes the error that kept the program from
// starting to report, and exits.
[[noreturn]] void report_and_exit(int report, int error)
{
    (void)!::write(report, &error, sizeof error);
    ::_exit(127);
}

// Runs in a forked process: only async-signal-safe calls. Makes out the
// standard output and error (the null device where out is -1), closes
// every other descriptor but report (out and report lie above standard
// error, so that setting up the standard streams leaves them alone), gives
// every signal its default action and unblocks it (what the caller ignores
// or blocks is its own affair, not the updater's or the new version's), and
// execs; on failure writes errno to report and exits.
[[noreturn]] void exec_with(char* const* argv, int out, int report)
{
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0 || ::dup2(null_fd, 0) < 0 || ::dup2(out < 0 ? null_fd : out, 1) < 0 ||
        ::dup2(out < 0 ? null_fd : out, 2) < 0)
        report_and_exit(report, errno);
    close_descriptors_except(report);
    for (int signal = 1; signal < NSIG; ++signal)
        ::signal(signal, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv);
    report_and_exit(report, errno);
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

// The child's exit code, as shells report it (128 plus the signal's number
// for an end by a signal); false, with errno set, when it can't be learnt:
// where the application ignores SIGCHLD the system reaps the child itself,
// exit code and all.
bool wait_for(pid_t pid, int& exit_code)
{
    int status = 0;
    pid_t waited;
    while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited < 0)
        return false;
    exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

// Reaps a child whose exit code tells nothing more.
void reap(pid_t pid)
{
    int ignored = 0;
    (void)wait_for(pid, ignored);
}

// Hands each line read from fd to on_line, the last one also when no line
// break ends it.
void read_lines(int fd, const std::function<void(const std::string&)>& on_line)
{
    std::string pending;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
            on_line(pending.substr(0, end));
    }
    if (!pending.empty())
        on_line(pending);
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

// No length is checked ahead: exec refuses an argument list beyond the
// system's limits with E2BIG, which the start reports as its failure.
bool command_line_fits(const std::vector<std::string>&, std::string&)
{
    return true;
}

// A child starts a grandchild in a session of its own and exits at once:
// the grandchild is nobody's child then, and outlives the caller.
bool start_detached(const std::vector<std::string>& argv, std::string& message)
{
    std::vector<char*> args = c_strings(argv);
    unique_fd report_read, report_write;
    if (const int error = open_pipe(report_read, report_write); error != 0) {
        message = system_message("can't start " + argv[0], error);
        return false;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild == 0)
            exec_with(args.data(), -1, report_write.get());
        if (grandchild < 0)
            report_and_exit(report_write.get(), errno);
        ::_exit(0);
    }
    const int fork_error = errno;
    report_write.reset();  // the pipe ends when the grandchild's copy closes
    const int error = child < 0 ? fork_error : start_error(report_read.get());
    if (child > 0)
        reap(child);
    if (error == 0)
        return true;
    message = system_message("can't start " + argv[0], error);
    return false;
}

bool run_reading_lines(const std::vector<std::string>& argv, const std::function<void(const std::string&)>& on_line,
                       int& exit_code, std::string& message)
{
    std::vector<char*> args = c_strings(argv);
    unique_fd output_read, output_write, report_read, report_write;
    int error = open_pipe(output_read, output_write);
    if (error == 0)
        error = open_pipe(report_read, report_write);
    if (error != 0) {
        message = system_message("can't start " + argv[0], error);
        return false;
    }
    const pid_t child = ::fork();
    if (child == 0)
        exec_with(args.data(), output_write.get(), report_write.get());
    error = child < 0 ? errno : 0;
    // The pipes end when the program's copies close.
    output_write.reset();
    report_write.reset();
    if (child > 0)
        error = start_error(report_read.get());
    if (error != 0) {
        if (child > 0)
            reap(child);
        message = system_message("can't start " + argv[0], error);
        return false;
    }
    read_lines(output_read.get(), on_line);
    if (!wait_for(child, exit_code)) {
        exit_code = -1;
        message = system_message("can't learn how " + argv[0] + " ended (does the application ignore SIGCHLD?)",
                                 errno);
    }
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
