// Removing a directory tree on POSIX systems without ever leaving it: links
// are unlinked, never followed; other mounts (even of the same file system)
// are never entered; and the walk holds a fixed number of descriptors
// whatever the depth.
//
// It holds one descriptor for the directory it is in and one for the
// target's parent: it goes down by opening a child and closing the parent,
// and back up through "..", checked against the identity recorded on the way
// down. What is left to do at each level is kept as names, in memory.
#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct directory_identity {
    dev_t device;
    ino_t inode;
    int mount_id;  // -1 where the system can't tell
};

// The mount id as the kernel lists it for an open descriptor; -1 when it
// can't be read (no /proc).
int mount_id_from_fdinfo(int fd)
{
    const std::string name = "/proc/self/fdinfo/" + std::to_string(fd);
    const int info = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (info < 0)
        return -1;
    char text[512];
    const ssize_t got = ::read(info, text, sizeof text - 1);
    ::close(info);
    if (got <= 0)
        return -1;
    text[got] = '\0';
    const char* field = std::strstr(text, "mnt_id:");
    return field ? std::atoi(field + 7) : -1;
}

// The mount a directory belongs to. Two bind mounts of one file system share
// the device number, so only the mount id tells them apart. File handles give
// it cheaply where the file system has them; where it has none (overlay and
// memory file systems), the descriptor's listing in /proc does.
int mount_id_of(int fd)
{
    alignas(file_handle) unsigned char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
    auto* handle = reinterpret_cast<file_handle*>(storage);
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mount_id = -1;
    if (::name_to_handle_at(fd, "", handle, &mount_id, AT_EMPTY_PATH) == 0)
        return mount_id;
    return mount_id_from_fdinfo(fd);
}

bool identify(int fd, directory_identity& identity)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return false;
    identity = {info.st_dev, info.st_ino, mount_id_of(fd)};
    return true;
}

bool same_mount(const directory_identity& a, const directory_identity& b)
{
    return a.device == b.device && (a.mount_id < 0 || b.mount_id < 0 || a.mount_id == b.mount_id);
}

bool same_directory(const directory_identity& a, const directory_identity& b)
{
    return a.device == b.device && a.inode == b.inode;
}

struct removal_level {
    std::string name;  // the name in the level above
    directory_identity identity;
    bool listed;
    std::vector<std::string> subdirectories;  // still to remove
};

struct removal_walk {
    fs::path target;
    directory_identity mount;  // the tree's own mount, the one of its parent
    std::vector<removal_level> levels;
    path_failure& failure;
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
    walk.failure = {where, std::error_code(error, std::generic_category())};
}

// A directory that its owner may not read, write or search can't be
// emptied; as its owner the updater may change that. Never follows a link.
void make_accessible(int parent_fd, const char* name, const struct stat& info)
{
    ::fchmodat(parent_fd, name, (info.st_mode & 07777) | S_IRWXU, AT_SYMLINK_NOFOLLOW);
}

// Opens a directory of the tree for emptying, or returns -1 with errno set.
// It is looked at (O_PATH needs no permission) before anything is changed:
// a link or the root of another mount is refused untouched.
int open_for_removal(const removal_walk& walk, int parent_fd, const char* name, directory_identity& identity)
{
    const int probe = ::openat(parent_fd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (probe < 0)
        return -1;
    struct stat info;
    const bool known = identify(probe, identity) && ::fstat(probe, &info) == 0;
    ::close(probe);
    if (!known)
        return -1;
    if (!same_mount(identity, walk.mount)) {
        errno = EBUSY;  // a mount point, whatever it holds
        return -1;
    }
    // Another user's directory stays as it is; what it holds may still go.
    if ((info.st_mode & S_IRWXU) != S_IRWXU)
        make_accessible(parent_fd, name, info);
    const int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    directory_identity opened;
    if (fd >= 0 && (!identify(fd, opened) || !same_directory(opened, identity))) {
        ::close(fd);
        errno = ESTALE;  // replaced between the look and the open
        return -1;
    }
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
// is none left.
bool descend(removal_walk& walk, int& fd)
{
    while (!walk.levels.back().subdirectories.empty()) {
        const std::string name = walk.levels.back().subdirectories.back();
        walk.levels.back().subdirectories.pop_back();
        directory_identity identity;
        const int child = open_for_removal(walk, fd, name.c_str(), identity);
        if (child < 0) {
            record_failure(walk, level_path(walk, name), errno);
            continue;
        }
        ::close(fd);
        fd = child;
        walk.levels.push_back({name, identity, false, {}});
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
    directory_identity identity;
    const bool same = up >= 0 && identify(up, identity) && same_directory(identity, parent.identity);
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
void remove_directory_tree(removal_walk& walk, int parent_fd, const std::string& leaf, int fd,
                           const directory_identity& identity)
{
    walk.levels.push_back({leaf, identity, false, {}});
    for (;;) {
        if (!walk.levels.back().listed)
            empty_level(walk, fd);
        if (descend(walk, fd))
            continue;
        if (walk.levels.size() == 1 || !ascend(walk, fd))
            break;
    }
    if (fd >= 0)
        ::close(fd);
    if (walk.levels.size() == 1 && ::unlinkat(parent_fd, leaf.c_str(), AT_REMOVEDIR) != 0)
        record_failure(walk, walk.target, errno);
}

}  // namespace

// Nothing here is held the way Windows holds open files, so there is
// nothing to wait for.
bool remove_tree(const fs::path& target, path_failure& failure, busy_files)
{
    const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const std::string leaf = target.filename().string();
    removal_walk walk{target, {}, {}, failure};
    const int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent_fd < 0) {
        const int error = errno;
        record_failure(walk, target, error);
        return error == ENOENT;
    }
    scope_exit close_parent{[parent_fd] { ::close(parent_fd); }};
    if (::unlinkat(parent_fd, leaf.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    const int unlink_error = errno;
    directory_identity identity;
    int fd = -1;
    if ((unlink_error == EISDIR || unlink_error == EPERM) && identify(parent_fd, walk.mount))
        fd = open_for_removal(walk, parent_fd, leaf.c_str(), identity);
    if (fd < 0) {
        // Not a directory after all: the unlink's own reason stands.
        const bool directory = (unlink_error == EISDIR || unlink_error == EPERM) && errno != ENOTDIR && errno != ELOOP;
        record_failure(walk, target, directory ? errno : unlink_error);
        return false;
    }
    remove_directory_tree(walk, parent_fd, leaf, fd, identity);
    return !walk.failed;
}
