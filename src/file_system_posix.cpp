// File-system services on POSIX systems: names as bytes, renames, looking at
// names without following links, directory listing and creation, fsync of
// directories, syncfs of a whole tree (an fsync of each entry on FUSE), and
// flock on the update log.
#include "platform.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

const char* const text_line_end = "\n";

namespace {

std::error_code errno_code(int error)
{
    return std::error_code(error, std::generic_category());
}

}  // namespace

void check_narrow_command_line()
{
    // The arguments are the caller's bytes, unconverted.
}

fs::path path_from_narrow(const std::string& narrow)
{
    return fs::path(narrow);
}

std::string narrow_from_path(const fs::path& path)
{
    return path.string();
}

std::string narrow_for_log(const fs::path& path)
{
    return path.string();
}

std::string package_path_for_zip(const std::string& narrow)
{
    return narrow;
}

std::vector<fs::path> spellings_of_one_name(const fs::path&)
{
    // Names are bytes here: `Current` is not `current`.
    return {};
}

namespace {

entry_type entry_type_of_mode(mode_t mode)
{
    return S_ISDIR(mode) ? entry_type::directory : S_ISREG(mode) ? entry_type::file : entry_type::other;
}

}  // namespace

entry_type entry_type_of(const fs::path& path)
{
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0)
        return entry_type_of_mode(info.st_mode);
    if (errno == ENOENT || errno == ENOTDIR)
        return entry_type::absent;
    throw fs::filesystem_error("status", path, errno_code(errno));
}

bool list_directory(const fs::path& dir, std::vector<directory_entry>& entries, std::error_code& ec)
{
    entries.clear();
    DIR* stream = ::opendir(dir.c_str());
    if (!stream) {
        ec = errno_code(errno);
        return false;
    }
    scope_exit close_stream{[stream] { ::closedir(stream); }};
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat info;
        if (::fstatat(::dirfd(stream), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
            ec = errno_code(errno);
            return false;
        }
        const entry_type type = entry_type_of_mode(info.st_mode);
        entries.push_back({entry->d_name, type, type == entry_type::file ? static_cast<std::uint64_t>(info.st_size) : 0});
        errno = 0;
    }
    ec = errno_code(errno);
    return !ec;
}

void create_directory_tree(const fs::path& dir)
{
    fs::create_directories(dir);
}

// A failed rename here is not a passing condition worth waiting out, so it
// is tried once.
bool rename_entry(const fs::path& from, const fs::path& to, std::error_code& ec)
{
    fs::rename(from, to, ec);
    return !ec;
}

// O_NONBLOCK: opening a pipe for reading would otherwise wait for a writer.
bool read_root_file(const fs::path& file, std::size_t max_size, std::string& content, std::error_code& ec)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ec = errno_code(errno);
        return false;
    }
    scope_exit close_fd{[fd] { ::close(fd); }};
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        ec = errno_code(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        ec = errno_code(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        return false;
    }
    content.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ec = got < 0 ? errno_code(errno) : std::error_code();
            return got == 0;
        }
        if (content.size() + static_cast<std::size_t>(got) > max_size) {
            ec = errno_code(EFBIG);
            return false;
        }
        content.append(buffer, static_cast<std::size_t>(got));
    }
}

bool sync_directory(const fs::path& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    scope_exit close_fd{[fd] { ::close(fd); }};
    return ::fsync(fd) == 0;
}

// One syncfs flushes every file just extracted, far cheaper than an fsync
// per file for packages of thousands of small files. It reports the write
// errors of the file system that occurred since its descriptor was opened,
// whoever else saw them, hence the descriptor opened before the writes.
struct tree_hold {
    int fd;
    fs::path dir;
};

namespace {

// FUSE answers syncfs without handing it on to the file system behind it
// (only virtiofs does), while it hands on the fsync of each file: there
// every file and directory of the tree is flushed by itself.
constexpr unsigned long fuse_magic = 0x65735546;

bool on_fuse(int fd)
{
    struct statfs info;
    return ::fstatfs(fd, &info) == 0 && static_cast<unsigned long>(info.f_type) == fuse_magic;
}

// Flushes the entry at path and adds it to pending if it is a directory.
// A link is not opened: the flush of its directory keeps it.
bool sync_entry(const fs::path& path, std::vector<fs::path>& pending)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP;
    scope_exit close_fd{[fd] { ::close(fd); }};
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    if (S_ISDIR(info.st_mode))
        pending.push_back(path);
    return ::fsync(fd) == 0;
}

bool sync_each_entry(const fs::path& top)
{
    std::vector<fs::path> pending;
    if (!sync_entry(top, pending))
        return false;
    std::vector<directory_entry> entries;
    while (!pending.empty()) {
        const fs::path dir = std::move(pending.back());
        pending.pop_back();
        std::error_code ec;
        if (!list_directory(dir, entries, ec))
            return false;
        for (const directory_entry& entry : entries)
            if (!sync_entry(dir / entry.name, pending))
                return false;
    }
    return true;
}

}  // namespace

void tree_hold_closer::operator()(tree_hold* hold) const
{
    ::close(hold->fd);
    delete hold;
}

tree_hold_ptr hold_tree(const fs::path& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? nullptr : tree_hold_ptr(new tree_hold{fd, dir});
}

bool sync_tree(tree_hold& tree)
{
    return ::syncfs(tree.fd) == 0 && (!on_fuse(tree.fd) || sync_each_entry(tree.dir));
}

void flush_written_so_far(tree_hold& tree)
{
    ::syncfs(tree.fd);
}

namespace {

// The log is the updater's own file: a regular file with no other name,
// reached without following a link and opened without blocking on a pipe.
int open_log_file(const fs::path& log_file, std::error_code& error)
{
    const int fd = ::open(log_file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = errno_code(errno);
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0)
        error = errno_code(errno);
    else if (!S_ISREG(info.st_mode))
        error = errno_code(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    else if (info.st_nlink != 1)
        error = errno_code(EMLINK);
    if (!error)
        return fd;
    ::close(fd);
    return -1;
}

}  // namespace

// The lock is taken on the application root itself, which no run renames:
// one taken on the log would go with the file wherever someone renamed it,
// and a second updater would lock a new log at once, beside the first.
lock_outcome lock_update_log(const fs::path& log_file, std::FILE*& stream, std::error_code& error)
{
    const fs::path root = log_file.has_parent_path() ? log_file.parent_path() : fs::path(".");
    const int root_fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd < 0) {
        error = errno_code(errno);
        return lock_outcome::failed;
    }
    if (::flock(root_fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno_code(errno);
        ::close(root_fd);
        return error.value() == EWOULDBLOCK ? lock_outcome::busy : lock_outcome::failed;
    }
    const int fd = open_log_file(log_file, error);
    // Written through this descriptor, never reopened by name, so what was
    // checked is what is written.
    stream = fd >= 0 && ::ftruncate(fd, 0) == 0 ? ::fdopen(fd, "ab") : nullptr;
    if (!stream) {
        if (!error)
            error = errno_code(errno);
        if (fd >= 0)
            ::close(fd);
        ::close(root_fd);
        return lock_outcome::failed;
    }
    // The root's descriptor stays open, and so the lock held, until the
    // process ends.
    return lock_outcome::taken;
}

std::int32_t current_process_id()
{
    return static_cast<std::int32_t>(::getpid());
}
