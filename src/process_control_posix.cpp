// The process primitives on POSIX systems: waiting through a process file
// descriptor (or by polling where the kernel has none), termination with
// SIGKILL, and a start in a session of its own, detached or as a child to
// watch, its arguments split by shell quoting rules.
#include "platform.h"
#include "process_control_internals.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

// A process that has exited but was not yet reaped by its parent is a
// zombie: it still exists for kill(), but it has ended.
bool is_zombie(std::int32_t pid)
{
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat_file, line))
        return false;
    const std::size_t name_end = line.rfind(')');
    return name_end != std::string::npos && name_end + 2 < line.size() &&
           (line[name_end + 2] == 'Z' || line[name_end + 2] == 'X');
}

bool process_has_ended(std::int32_t pid)
{
    return (::kill(pid, 0) != 0 && errno == ESRCH) || is_zombie(pid);
}

int open_pidfd(std::int32_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// Waits up to timeout_ms for the process to end; true when it has.
bool wait_on_pidfd(int pidfd, int timeout_ms)
{
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - steady::now());
        pollfd entry{pidfd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            return true;  // a failed wait counts as the end of the process
    }
}

bool wait_by_polling(std::int32_t pid, int timeout_ms)
{
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    while (!process_has_ended(pid)) {
        if (steady::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Waits with the process file descriptor when there is one, else by polling.
bool wait_for_end(std::int32_t pid, int pidfd, int timeout_ms)
{
    return pidfd >= 0 ? wait_on_pidfd(pidfd, timeout_ms) : wait_by_polling(pid, timeout_ms);
}

void terminate(std::int32_t pid, int pidfd)
{
#ifdef SYS_pidfd_send_signal
    if (pidfd >= 0) {
        ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        return;
    }
#endif
    ::kill(pid, SIGKILL);
}

// --- launching ---------------------------------------------------------------

// Closes every descriptor above standard error except keep. Closing them
// before exec rather than relying on close-on-exec matters: if exec fails,
// this process must not hold the update log's lock while it exits.
void close_descriptors_except(int keep)
{
#ifdef SYS_close_range
    const bool closed = (keep <= 3 || ::syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0) &&
                        ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0;
    if (closed)
        return;
#endif
    const long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < limit; ++fd)
        if (fd != keep)
            ::close(fd);
}

[[noreturn]] void report_errno_and_exit(int error_pipe)
{
    const int error = errno;
    while (::write(error_pipe, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// Runs in the forked process that becomes the application: only
// async-signal-safe calls from here on.
[[noreturn]] void exec_application(const char* exe, char* const* argv, const char* work_dir,
                                   int error_pipe)
{
    if (::chdir(work_dir) != 0)
        report_errno_and_exit(error_pipe);
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0)
        report_errno_and_exit(error_pipe);
    for (int fd = 0; fd < 3; ++fd)
        if (::dup2(null_fd, fd) < 0)
            report_errno_and_exit(error_pipe);
    if (null_fd > 2)
        ::close(null_fd);
    close_descriptors_except(error_pipe);
    // What whoever started the updater ignored or blocked is not the new
    // application's to inherit.
    for (int signal = 1; signal < NSIG; ++signal)
        ::signal(signal, SIG_DFL);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(exe, argv, environ);
    report_errno_and_exit(error_pipe);
}

// What the started program reported through the pipe that exec closes: 0
// once exec succeeded, else the errno of the step that failed.
int read_start_error(int read_fd)
{
    int error = 0;
    ssize_t got;
    while ((got = ::read(read_fd, &error, sizeof error)) < 0 && errno == EINTR) {
    }
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

void reap(pid_t pid, int& status)
{
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

// A grandchild is not the updater's to wait for; a child is, for as long as
// the updater runs.
enum class start_kind { grandchild, child };

// Forks (twice for a grandchild) so that the application belongs to a new
// session; returns 0 once exec succeeded, or the errno of the step that
// failed (fork, chdir, exec, ...). A child that exec'd is left running,
// its id in started.
int spawn_in_new_session(const std::string& exe, const std::vector<std::string>& words,
                         const std::string& work_dir, start_kind kind, pid_t& started)
{
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
        return errno;
    scope_exit close_read{[&] { ::close(pipe_fds[0]); }};

    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(pipe_fds[1]);
        return error;
    }
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = kind == start_kind::grandchild ? ::fork() : 0;
        if (grandchild < 0)
            report_errno_and_exit(pipe_fds[1]);
        if (grandchild == 0)
            exec_application(exe.c_str(), argv.data(), work_dir.c_str(), pipe_fds[1]);
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    int status = 0;
    if (kind == start_kind::grandchild)
        reap(child, status);
    const int error = read_start_error(pipe_fds[0]);
    if (error != 0 && kind == start_kind::child)
        reap(child, status);
    started = error == 0 && kind == start_kind::child ? child : 0;
    return error;
}

// The words and the absolute executable path of a start; 0 or an errno.
int prepare_start(const std::filesystem::path& exe_path, const std::string& argument_string,
                  std::vector<std::string>& words, std::filesystem::path& absolute_exe)
{
    // The child changes directory before exec, so a relative executable
    // path must be resolved against the updater's own directory first, and
    // so must the name the application finds itself by.
    std::error_code ec;
    absolute_exe = std::filesystem::absolute(exe_path, ec);
    if (ec)
        return ec.value();
    words = {absolute_exe.string()};
    std::vector<std::string> argument_words;
    if (!split_shell_words(argument_string, argument_words))
        return EINVAL;
    words.insert(words.end(), argument_words.begin(), argument_words.end());
    return 0;
}

int start_in_new_session(const std::filesystem::path& exe_path, const std::string& argument_string,
                         start_kind kind, pid_t& started)
{
    std::vector<std::string> words;
    std::filesystem::path absolute_exe;
    const int error = prepare_start(exe_path, argument_string, words, absolute_exe);
    if (error != 0)
        return error;
    return spawn_in_new_session(absolute_exe.string(), words, absolute_exe.parent_path().string(), kind, started);
}

}  // namespace

struct opened_process {
    std::int32_t pid;
    int pidfd;  // -1 where the kernel has none
};

void opened_process_closer::operator()(opened_process* process) const
{
    if (process->pidfd >= 0)
        ::close(process->pidfd);
    delete process;
}

// "Opening" the process: it must exist and the updater must be allowed to
// signal it; anything else counts as not found. wait_for_process never asks
// for an id that would address a process group or every process.
opened_process_ptr open_process(std::int32_t pid, process_access& access)
{
    access = process_access::not_found;
    const int pidfd = open_pidfd(pid);
    const int pidfd_error = errno;
    opened_process_ptr process(new opened_process{pid, pidfd});
    if ((pidfd < 0 && pidfd_error != ENOSYS) || ::kill(pid, 0) != 0)
        return nullptr;
    access = process_access::wait_and_terminate;
    return process;
}

bool wait_for_exit(opened_process& process, int timeout_ms)
{
    return wait_for_end(process.pid, process.pidfd, timeout_ms);
}

void terminate_process(opened_process& process)
{
    terminate(process.pid, process.pidfd);
}

bool start_detached(const std::filesystem::path& exe_path, const std::string& argument_string, const std::string&,
                    std::error_code& ec)
{
    pid_t started = 0;
    const int error = start_in_new_session(exe_path, argument_string, start_kind::grandchild, started);
    ec = std::error_code(error, std::generic_category());
    return error == 0;
}

opened_process_ptr start_watched(const std::filesystem::path& exe_path, const std::string& argument_string,
                                 const std::string&, std::error_code& ec)
{
    // An application that ignores SIGCHLD passes that on to the updater it
    // starts, and the system would then reap the child, exit code and all.
    ::signal(SIGCHLD, SIG_DFL);
    // What the application starts and leaves behind becomes the updater's
    // child rather than init's, so that end_descendants can find it.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_t started = 0;
    const int error = start_in_new_session(exe_path, argument_string, start_kind::child, started);
    ec = std::error_code(error, std::generic_category());
    if (error != 0)
        return nullptr;
    // An unreaped child keeps its id, so the id can't name another process
    // while the updater holds it, with or without a process descriptor.
    return opened_process_ptr(new opened_process{started, open_pidfd(started)});
}

unsigned long exit_code_of(opened_process& process)
{
    int status = 0;
    reap(process.pid, status);
    return static_cast<unsigned long>(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
}

namespace {

// The updater's children that are not yet reaped: the adopted orphans of
// a watched application, once that one has been reaped.
std::vector<pid_t> own_children()
{
    std::ifstream list("/proc/self/task/" + std::to_string(::getpid()) + "/children");
    std::vector<pid_t> children;
    for (pid_t pid; list >> pid;)
        children.push_back(pid);
    return children;
}

}  // namespace

// Each round ends the children the updater has, whose own children it then
// adopts. The ids are safe to signal: a child keeps its id until reaped.
void end_descendants(opened_process&, int timeout_ms)
{
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        const std::vector<pid_t> children = own_children();
        if (children.empty() || steady::now() >= deadline)
            return;
        for (const pid_t child : children)
            ::kill(child, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Inside double quotes a backslash escapes only these; elsewhere it stays.
bool escapable_in_double_quotes(char c)
{
    return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n';
}

// Each reader starts at the opening character at text[i], appends what the
// quoting yields to word, and leaves i after the closing character; false
// when the text ends before the quoting does.
bool read_single_quoted(const std::string& text, std::size_t& i, std::string& word)
{
    const std::size_t close = text.find('\'', i + 1);
    if (close == std::string::npos)
        return false;
    word.append(text, i + 1, close - i - 1);
    i = close + 1;
    return true;
}

bool read_double_quoted(const std::string& text, std::size_t& i, std::string& word)
{
    for (++i; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            ++i;
            return true;
        }
        if (c == '\\' && i + 1 < text.size() && escapable_in_double_quotes(text[i + 1])) {
            ++i;
            if (text[i] != '\n')  // backslash and line end join the lines
                word += text[i];
        } else {
            word += c;
        }
    }
    return false;
}

bool read_escaped(const std::string& text, std::size_t& i, std::string& word)
{
    if (i + 1 >= text.size())
        return false;
    word += text[i + 1];
    i += 2;
    return true;
}

}  // namespace

bool split_shell_words(const std::string& text, std::vector<std::string>& words)
{
    words.clear();
    std::string word;
    bool in_word = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        bool complete = true;
        if (is_blank(c)) {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
            ++i;
            continue;
        }
        if (c == '\\' && i + 1 < text.size() && text[i + 1] == '\n') {
            i += 2;  // a backslash before a line end joins the lines
            continue;
        }
        if (c == '\'')
            complete = read_single_quoted(text, i, word);
        else if (c == '"')
            complete = read_double_quoted(text, i, word);
        else if (c == '\\')
            complete = read_escaped(text, i, word);
        else
            word += text[i++];
        if (!complete)
            return false;
        in_word = true;
    }
    if (in_word)
        words.push_back(word);
    return true;
}

// A reader that went away must not end the updater with SIGPIPE: the write
// then fails with EPIPE, which is ignored.
void write_to_caller(const std::string& line)
{
    static const bool broken_pipes_ignored = (::signal(SIGPIPE, SIG_IGN), true);
    (void)broken_pipes_ignored;
    const std::string text = line + "\n";
    for (std::size_t at = 0; at < text.size();) {
        const ssize_t wrote = ::write(STDOUT_FILENO, text.data() + at, text.size() - at);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return;
        at += static_cast<std::size_t>(wrote);
    }
}

void yield_processors_to_other_threads()
{
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), 19);
}
