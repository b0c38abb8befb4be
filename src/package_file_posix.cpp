// Reading the package at given offsets on POSIX systems: each worker
// through a descriptor of its own, with pread, which moves no shared file
// position.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct package_file {
    int fd;
};

void package_file_closer::operator()(package_file* file) const
{
    if (file->fd >= 0)
        ::close(file->fd);
    delete file;
}

// Tried rather than counted: the limit alone does not tell how many are
// open already.
bool handles_to_spare(std::size_t count)
{
    std::vector<int> held;
    scope_exit close_held{[&held] {
        for (const int fd : held)
            ::close(fd);
    }};
    while (held.size() < count) {
        const int fd = ::open("/", O_PATH | O_CLOEXEC);
        if (fd < 0)
            return false;
        held.push_back(fd);
    }
    return true;
}

package_file_ptr open_package_file(const std::string& narrow_path)
{
    package_file_ptr file(new package_file{-1});
    file->fd = ::open(narrow_path.c_str(), O_RDONLY | O_CLOEXEC);
    return file->fd < 0 ? nullptr : std::move(file);
}

bool package_file_size(const package_file& file, std::uint64_t& size)
{
    struct stat info;
    if (::fstat(file.fd, &info) != 0)
        return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

long long read_package_at(const package_file& file, std::uint64_t offset, void* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(file.fd, static_cast<char*>(data) + done, size - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<long long>(done);
}

// A read that finds a page of the package gone from the cache waits for the
// disk, and there behind the extracted files being written out: tens of
// milliseconds each time, while the worker could have been inflating.
// Pages still cached cost only a look-up.
void read_package_ahead(const package_file& file, std::uint64_t offset, std::uint64_t size)
{
    ::posix_fadvise(file.fd, static_cast<off_t>(offset), static_cast<off_t>(size), POSIX_FADV_WILLNEED);
}

namespace {

std::int64_t nanoseconds(const timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

bool identify_file(const std::string& narrow_path, file_identity& identity, std::error_code& ec)
{
    struct stat info;
    if (::stat(narrow_path.c_str(), &info) != 0) {
        ec = std::error_code(errno, std::generic_category());
        return false;
    }
    identity = {static_cast<std::uint64_t>(info.st_dev), 0, static_cast<std::uint64_t>(info.st_ino),
                static_cast<std::uint64_t>(info.st_size), nanoseconds(info.st_mtim), nanoseconds(info.st_ctim)};
    return true;
}
