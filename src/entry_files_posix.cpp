// Writing extracted entries, and new files of the application root, on POSIX
// systems. Every path below the destination root is walked one component at a
// time with O_NOFOLLOW, so a symbolic link, whether in the package or placed
// there by anybody else, is never followed and nothing is written outside it.
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Directories always stay writable and searchable by their owner, or the
// next update could neither fill nor remove them.
constexpr mode_t owner_full_access = S_IRWXU;

// Recorded modes pass through the umask, as with any file this user
// creates, so a package can't make files writable for everybody. It is
// read on first use, which prepare_entry_writers makes before any worker
// starts.
mode_t process_umask()
{
    static const mode_t mask = [] {
        const mode_t current = ::umask(0);
        ::umask(current);
        return current;
    }();
    return mask;
}

mode_t effective_mode(unsigned recorded)
{
    return static_cast<mode_t>(recorded) & 0777 & ~process_umask();
}

fs::path joined(const fs::path& root, const std::vector<std::string>& components, std::size_t count)
{
    fs::path path = root;
    for (std::size_t i = 0; i < count; ++i)
        path /= components[i];
    return path;
}

int open_directory_nofollow(int parent_fd, const char* name)
{
    return ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool fail_at(path_failure& failure, const fs::path& where, int error)
{
    failure = {where, std::error_code(error, std::generic_category())};
    return false;
}

int open_root(const fs::path& root, path_failure& failure)
{
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        // Only the first entry of a package finds the root missing.
        std::error_code ec;
        if (!fs::create_directories(root, ec) && ec) {
            failure = {root, ec};
            return -1;
        }
        fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0)
        fail_at(failure, root, errno);
    return fd;
}

// Opens root/components[0..count), creating the root and missing levels;
// -1, with failure naming the level, when one can't be created or opened
// as a directory without following a link.
int open_directory_chain(const fs::path& root, const std::vector<std::string>& components, std::size_t count,
                         path_failure& failure)
{
    int fd = open_root(root, failure);
    if (fd < 0)
        return -1;
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = components[i].c_str();
        // Most levels exist already: try to open first, create only if missing.
        int next = open_directory_nofollow(fd, name);
        if (next < 0 && errno == ENOENT && (::mkdirat(fd, name, 0777) == 0 || errno == EEXIST))
            next = open_directory_nofollow(fd, name);
        const int error = errno;
        ::close(fd);
        if (next < 0) {
            fail_at(failure, joined(root, components, i + 1), error);
            return -1;
        }
        fd = next;
    }
    return fd;
}

// Removes whatever non-directory entry is in the way, without following it:
// unlinkat without AT_REMOVEDIR refuses directories.
void remove_existing_leaf(int dir_fd, const char* name)
{
    ::unlinkat(dir_fd, name, 0);
}

bool write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool set_mtime(int fd, std::time_t mtime)
{
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    return ::futimens(fd, times) == 0;
}

}  // namespace

bool platform_allows_component(const std::string&)
{
    return true;  // any byte but "/" and NUL is a literal name here
}

// Linux compares names byte for byte, except on file systems or in
// directories that ignore case (FAT, case-folding ext4). Folding ASCII
// letters costs nothing but parallelism where names differ only in case:
// they are then chained like one name and extracted in package order.
std::string name_lookup_key(const std::string& component)
{
    std::string key = component;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return key;
}

void prepare_entry_writers()
{
    process_umask();
}

bool create_entry_directories(const fs::path& root, const std::vector<std::string>& components, unsigned mode,
                              path_failure& failure)
{
    const int fd = open_directory_chain(root, components, components.size(), failure);
    if (fd < 0)
        return false;
    scope_exit close_fd{[fd] { ::close(fd); }};
    if (mode != no_recorded_mode && !components.empty() &&
        ::fchmod(fd, effective_mode(mode) | owner_full_access) != 0)
        return fail_at(failure, joined(root, components, components.size()), errno);
    return true;
}

namespace {

// Opens (creating) the entry's parent directory without following links
// and creates the entry there with create, which fails with errno set.
// Something is rarely at the name already (a duplicate entry); only then is
// it cleared, unless it is a directory, and the creation tried once more.
template <class Create>
bool create_leaf(const fs::path& root, const std::vector<std::string>& components, path_failure& directory_failure,
                 Create create)
{
    const int dir_fd = open_directory_chain(root, components, components.size() - 1, directory_failure);
    if (dir_fd < 0)
        return false;
    scope_exit close_dir{[dir_fd] { ::close(dir_fd); }};
    const char* leaf = components.back().c_str();
    if (create(dir_fd, leaf))
        return true;
    if (errno != EEXIST)
        return false;
    remove_existing_leaf(dir_fd, leaf);
    return create(dir_fd, leaf);
}

}  // namespace

struct entry_file {
    int fd;
};

void entry_file_closer::operator()(entry_file* file) const
{
    if (file->fd >= 0)
        ::close(file->fd);
    delete file;
}

entry_file_ptr create_entry_file(const fs::path& root, const std::vector<std::string>& components, unsigned mode,
                                 path_failure& directory_failure)
{
    // The file is always new (O_EXCL), so it gets the recorded bits at
    // creation, through the umask, and the descriptor is writable even when
    // those bits are not.
    const mode_t create_mode = mode == no_recorded_mode ? 0666 : static_cast<mode_t>(mode & 0777);
    int fd = -1;
    const bool created = create_leaf(root, components, directory_failure, [&](int dir_fd, const char* leaf) {
        fd = ::openat(dir_fd, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, create_mode);
        return fd >= 0;
    });
    return created ? entry_file_ptr(new entry_file{fd}) : nullptr;
}

bool write_entry_data(entry_file& file, const char* data, std::size_t size)
{
    return write_all(file.fd, data, size);
}

bool finish_entry_file(entry_file_ptr file, std::time_t mtime)
{
    const bool timed = set_mtime(file->fd, mtime);
    const int fd = file->fd;
    file->fd = -1;
    return ::close(fd) == 0 && timed;
}

bool write_entry_symlink(const fs::path& root, const std::vector<std::string>& components, const std::string& target,
                         path_failure& directory_failure)
{
    return create_leaf(root, components, directory_failure, [&](int dir_fd, const char* leaf) {
        return ::symlinkat(target.c_str(), dir_fd, leaf) == 0;
    });
}

bool write_new_file(const fs::path& file, const std::string& content, std::error_code& ec)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        ec = std::error_code(errno, std::generic_category());
        return false;
    }
    bool ok = write_all(fd, content.data(), content.size()) && ::fsync(fd) == 0;
    ec = ok ? std::error_code() : std::error_code(errno, std::generic_category());
    if (::close(fd) != 0 && ok) {
        ec = std::error_code(errno, std::generic_category());
        ok = false;
    }
    return ok;
}
