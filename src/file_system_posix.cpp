// File-system services on POSIX systems: names as bytes, renames, tree
// removal that never follows a link, fsync of directories, syncfs of a whole
// tree, and flock on the update log.
#include "updater.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

const char* const text_line_end = "\n";

namespace {

std::error_code errno_code(int error)
{
    return std::error_code(error, std::generic_category());
}

bool sync_path(const fs::path& path, int flags, bool whole_file_system)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    scope_exit close_fd{[fd] { ::close(fd); }};
    return (whole_file_system ? ::syncfs(fd) : ::fsync(fd)) == 0;
}

// ---- tree removal ------------------------------------------------------------
//
// The walk holds one descriptor for the directory it is in and one for the
// target's parent, whatever the depth: it goes down by opening a child and
// closing the parent, and back up through "..", checked against the
// identity recorded on the way down. What is left to do at each level is
// kept as names, in memory.

struct removal_level {
    std::string name;  // the name in the level above
    dev_t device;
    ino_t inode;
    bool listed = false;
    std::vector<std::string> subdirectories;  // still to remove
};

struct removal_walk {
    fs::path target;
    std::vector<removal_level> levels;
    removal_failure& failure;
    bool failed = false;
};

fs::path level_path(const removal_walk& walk, const std::string& name = {})
{
    fs::path path = walk.target;
    for (std::size_t i = 1; i < walk.levels.size(); ++i)
        path /= walk.levels[i].name;
    return name.empty() ? path : path / name;
}

// Keeps the first failure: later ones (the directories above it that
// can't be emptied) follow from it.
void record_failure(removal_walk& walk, const fs::path& where, int error)
{
    if (walk.failed)
        return;
    walk.failed = true;
    walk.failure = {where, errno_code(error)};
}

// A directory that its owner may not write or search can't be emptied;
// as its owner the updater may change that. Never follows a link.
bool make_directory_accessible(int parent_fd, const char* name)
{
    struct stat info;
    if (::fstatat(parent_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode))
        return false;
    return ::fchmodat(parent_fd, name, (info.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW) == 0;
}

int open_directory_for_removal(int parent_fd, const char* name)
{
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parent_fd, name, flags);
    if (fd < 0 && errno == EACCES && make_directory_accessible(parent_fd, name))
        fd = ::openat(parent_fd, name, flags);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) == 0 && (info.st_mode & S_IRWXU) != S_IRWXU)
        ::fchmod(fd, (info.st_mode & 07777) | S_IRWXU);
    return fd;
}

// Unlinks every entry of the directory that is not a directory and keeps
// the names of the subdirectories for later. unlinkat without AT_REMOVEDIR
// removes a link itself and refuses a directory.
void empty_level(removal_walk& walk, int fd)
{
    removal_level& level = walk.levels.back();
    level.listed = true;
    const int list_fd = ::dup(fd);
    DIR* stream = list_fd < 0 ? nullptr : ::fdopendir(list_fd);
    if (!stream) {
        if (list_fd >= 0)
            ::close(list_fd);
        record_failure(walk, level_path(walk), errno);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(stream))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    ::closedir(stream);
    for (const std::string& name : names) {
        if (::unlinkat(fd, name.c_str(), 0) == 0 || errno == ENOENT)
            continue;
        if (errno == EISDIR || errno == EPERM) {
            struct stat info;
            if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
                level.subdirectories.push_back(name);
                continue;
            }
        }
        record_failure(walk, level_path(walk, name), errno);
    }
}

// Goes into the next subdirectory of the current level; false when there
// is none left. A subdirectory on another file system (a mount) is not
// entered: its contents are not part of the tree.
bool descend(removal_walk& walk, int& fd)
{
    while (!walk.levels.back().subdirectories.empty()) {
        const std::string name = walk.levels.back().subdirectories.back();
        walk.levels.back().subdirectories.pop_back();
        const int child = open_directory_for_removal(fd, name.c_str());
        struct stat info;
        if (child < 0 || ::fstat(child, &info) != 0) {
            record_failure(walk, level_path(walk, name), errno);
            if (child >= 0)
                ::close(child);
            continue;
        }
        if (info.st_dev != walk.levels.front().device) {
            ::close(child);
            record_failure(walk, level_path(walk, name), EXDEV);
            continue;
        }
        ::close(fd);
        fd = child;
        walk.levels.push_back({name, info.st_dev, info.st_ino, false, {}});
        return true;
    }
    return false;
}

// Leaves the current (emptied) level for its parent and removes it there.
// False when the way back up is not the way down, which only a concurrent
// rename can cause; the walk then stops.
bool ascend(removal_walk& walk, int& fd)
{
    const removal_level& parent = walk.levels[walk.levels.size() - 2];
    const int up = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info;
    const bool same = up >= 0 && ::fstat(up, &info) == 0 && info.st_dev == parent.device &&
                      info.st_ino == parent.inode;
    const int error = up < 0 ? errno : ESTALE;
    ::close(fd);
    fd = up;
    if (!same) {
        record_failure(walk, level_path(walk), error);
        return false;
    }
    const std::string name = walk.levels.back().name;
    walk.levels.pop_back();
    if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0)
        record_failure(walk, level_path(walk, name), errno);
    return true;
}

// Removes the directory open as fd (named leaf in parent_fd) and all below.
void remove_directory_tree(removal_walk& walk, int parent_fd, const std::string& leaf, int fd)
{
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        record_failure(walk, walk.target, errno);
        ::close(fd);
        return;
    }
    walk.levels.push_back({leaf, info.st_dev, info.st_ino, false, {}});
    for (;;) {
        if (!walk.levels.back().listed)
            empty_level(walk, fd);
        if (descend(walk, fd))
            continue;
        if (walk.levels.size() == 1)
            break;
        if (!ascend(walk, fd))
            break;
    }
    if (fd >= 0)
        ::close(fd);
    if (walk.levels.size() == 1 && ::unlinkat(parent_fd, leaf.c_str(), AT_REMOVEDIR) != 0)
        record_failure(walk, walk.target, errno);
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

std::string narrow_to_utf8(const std::string& narrow)
{
    return narrow;
}

// A failed rename here is not a passing condition worth waiting out, so it
// is tried once.
void rename_entry(const fs::path& from, const fs::path& to, std::error_code& ec)
{
    fs::rename(from, to, ec);
}

// Nothing here is held the way Windows holds open files, so there is
// nothing to wait for.
bool remove_tree(const fs::path& target, removal_failure& failure, busy_files)
{
    const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string leaf = target.filename().string();
    const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent_fd < 0) {
        failure = {target, errno_code(errno)};
        return errno == ENOENT;
    }
    scope_exit close_parent{[parent_fd] { ::close(parent_fd); }};
    if (::unlinkat(parent_fd, leaf.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    const int unlink_error = errno;
    removal_walk walk{target, {}, failure};
    const int fd = unlink_error == EISDIR || unlink_error == EPERM
                       ? open_directory_for_removal(parent_fd, leaf.c_str())
                       : -1;
    if (fd < 0) {
        // Not a directory after all: the unlink's own reason stands.
        const bool not_directory = errno == ENOTDIR || errno == ELOOP;
        record_failure(walk, target, unlink_error == EISDIR && !not_directory ? errno : unlink_error);
        return false;
    }
    remove_directory_tree(walk, parent_fd, leaf, fd);
    return !walk.failed;
}

bool sync_directory(const fs::path& dir)
{
    return sync_path(dir, O_RDONLY | O_DIRECTORY, false);
}

bool sync_tree(const fs::path& dir)
{
    // One syncfs flushes every file just extracted, far cheaper than an
    // fsync per file for packages of thousands of small files.
    return sync_path(dir, O_RDONLY | O_DIRECTORY, true);
}

lock_outcome try_lock_update_log(const fs::path& log_file, std::string& reason)
{
    // Not through a link, and not blocking on a FIFO: the log must be a
    // regular file of the application root.
    const int fd = ::open(log_file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        reason = "can't open " + log_file.string() + ": " +
                 (error == ELOOP ? "it is a symbolic link" : std::strerror(error));
        return lock_outcome::failed;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        reason = "can't open " + log_file.string() + ": not a regular file";
        return lock_outcome::failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        reason = error == EWOULDBLOCK ? "another updater is running for " + log_file.parent_path().string()
                                      : "can't lock " + log_file.string() + ": " + std::strerror(error);
        return error == EWOULDBLOCK ? lock_outcome::busy : lock_outcome::failed;
    }
    // The descriptor stays open, and so the lock held, until the process ends.
    return lock_outcome::taken;
}

std::int32_t current_process_id()
{
    return static_cast<std::int32_t>(::getpid());
}
