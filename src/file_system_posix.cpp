// File-system services on POSIX systems: names as bytes, renames and
// removals, fsync of files and directories, syncfs of a whole tree, and
// flock on the update log.
#include "updater.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

bool sync_path(const std::filesystem::path& path, int flags, bool whole_file_system)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    scope_exit close_fd{[fd] { ::close(fd); }};
    return (whole_file_system ? ::syncfs(fd) : ::fsync(fd)) == 0;
}

}  // namespace

void check_narrow_command_line()
{
    // The arguments are the caller's bytes, unconverted.
}

std::filesystem::path path_from_narrow(const std::string& narrow)
{
    return std::filesystem::path(narrow);
}

std::string narrow_from_path(const std::filesystem::path& path)
{
    return path.string();
}

std::string narrow_to_utf8(const std::string& narrow)
{
    return narrow;
}

// A failed rename or removal here is not a passing condition worth waiting
// out, so each is tried once.
void rename_directory(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& ec)
{
    std::filesystem::rename(from, to, ec);
}

void remove_tree(const std::filesystem::path& dir, std::error_code& ec)
{
    std::filesystem::remove_all(dir, ec);
}

bool sync_directory(const std::filesystem::path& dir)
{
    return sync_path(dir, O_RDONLY | O_DIRECTORY, false);
}

bool sync_file(const std::filesystem::path& file)
{
    return sync_path(file, O_RDONLY, false);
}

bool sync_tree(const std::filesystem::path& dir)
{
    // One syncfs flushes every file just extracted, far cheaper than an
    // fsync per file for packages of thousands of small files.
    return sync_path(dir, O_RDONLY | O_DIRECTORY, true);
}

bool lock_update_log(const std::filesystem::path& log_file, std::string& reason)
{
    const int fd = ::open(log_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        reason = "can't open " + log_file.string() + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        reason = error == EWOULDBLOCK ? "another updater is running for " + log_file.parent_path().string()
                                      : "can't lock " + log_file.string() + ": " + std::strerror(error);
        return false;
    }
    // The descriptor stays open, and so the lock held, until the process ends.
    return true;
}
