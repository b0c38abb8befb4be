// Reading the package at given offsets on POSIX systems: each worker
// through a descriptor of its own, with pread, which moves no shared file
// position.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
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

struct package_hold {
    std::string copy;  // the private copy to remove, or empty
};

void package_hold_closer::operator()(package_hold* hold) const
{
    if (!hold->copy.empty())
        ::unlink(hold->copy.c_str());
    delete hold;
}

namespace {

bool trusted_owner(const struct stat& info)
{
    return info.st_uid == ::geteuid() || info.st_uid == 0;
}

// Whether another user could change the file at the resolved path, or
// rename it through one of the directories above it, and why. A directory
// others may write to is safe only where it is sticky: then they can't
// rename or remove what they don't own in it.
bool others_can_change(const std::string& resolved, std::string& why)
{
    struct stat info;
    if (::stat(resolved.c_str(), &info) != 0 || !trusted_owner(info) || (info.st_mode & (S_IWGRP | S_IWOTH))) {
        why = resolved + " can be written by another user";
        return true;
    }
    for (std::string dir = resolved; dir != "/";) {
        const std::size_t slash = dir.rfind('/');
        dir = slash == 0 ? "/" : dir.substr(0, slash);
        if (::stat(dir.c_str(), &info) != 0 || !trusted_owner(info) ||
            ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX))) {
            why = dir + " can be changed by another user";
            return true;
        }
    }
    return false;
}

// Only a regular file is copied: a pipe would be read for ever.
bool copy_privately(const std::string& from, const std::string& to, std::error_code& ec)
{
    const int in = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        ec = std::error_code(errno, std::generic_category());
        return false;
    }
    scope_exit close_in{[in] { ::close(in); }};
    struct stat info;
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        ec = std::make_error_code(std::errc::invalid_argument);
        return false;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        ec = std::error_code(errno, std::generic_category());
        return false;
    }
    scope_exit close_out{[out] { ::close(out); }};
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ec = got < 0 ? std::error_code(errno, std::generic_category()) : std::error_code();
            return got == 0;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t wrote = ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote < 0) {
                ec = std::error_code(errno, std::generic_category());
                return false;
            }
            done += wrote;
        }
    }
}

}  // namespace

// The package is read by its resolved path, through directories checked
// once, so that no link on the way can be pointed elsewhere meanwhile.
package_hold_ptr hold_package(const std::string& narrow_path, const std::filesystem::path& private_copy,
                              std::string& read_path, std::string& why_copied, std::error_code& ec)
{
    char resolved[PATH_MAX];
    if (!::realpath(narrow_path.c_str(), resolved)) {
        ec = std::error_code(errno, std::generic_category());
        return nullptr;
    }
    struct stat info;
    if (::stat(resolved, &info) != 0 || !S_ISREG(info.st_mode)) {
        ec = std::make_error_code(std::errc::invalid_argument);
        return nullptr;
    }
    why_copied.clear();
    if (!others_can_change(resolved, why_copied)) {
        read_path = resolved;
        return package_hold_ptr(new package_hold{});
    }
    package_hold_ptr hold(new package_hold{private_copy.string()});
    if (!copy_privately(resolved, hold->copy, ec)) {
        if (ec.value() == EEXIST)  // not ours to remove
            hold->copy.clear();
        return nullptr;
    }
    read_path = hold->copy;
    return hold;
}
