// File-system services on Windows: looking at names without following
// links, directory listing and creation, renames retried while other
// programs briefly hold files and written through, new files, and the lock
// on the update log.
#include "platform_win32.h"

#include <fcntl.h>
#include <io.h>


namespace fs = std::filesystem;

const char* const text_line_end = "\r\n";

bool is_absent_error(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME;
}

bool is_passing_error(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// A directory the removal walks into; links and junctions are not.
bool is_plain_directory(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool find_entries(const fs::path& dir, std::vector<found_entry>& entries)
{
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW(system_path(dir / L"*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            entries.push_back({name, found.dwFileAttributes,
                               static_cast<std::uint64_t>(found.nFileSizeHigh) << 32 | found.nFileSizeLow});
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return true;
}


namespace {

// The attributes a directory listing shows for a name whose own attributes
// can't be read: under Wine a Unix pipe or socket, which no call can open,
// rename or remove, but which is there.
DWORD listed_attributes(const fs::path& path)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileExW(system_path(path).c_str(), FindExInfoBasic, &found,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return INVALID_FILE_ATTRIBUTES;
    ::FindClose(search);
    // Anything but what a plain file or directory shows.
    return found.dwFileAttributes | FILE_ATTRIBUTE_DEVICE;
}

}  // namespace

entry_type entry_type_of(const fs::path& path)
{
    DWORD attributes = ::GetFileAttributesW(system_path(path).c_str());
    const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : ERROR_SUCCESS;
    if (attributes == INVALID_FILE_ATTRIBUTES && !is_absent_error(error))
        attributes = listed_attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (is_plain_directory(attributes))
            return entry_type::directory;
        constexpr DWORD not_a_file = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
        const bool file = !(attributes & not_a_file) && !is_hidden_link(final_path_for_links(path.parent_path()), path);
        return file ? entry_type::file : entry_type::other;
    }
    if (is_absent_error(error))
        return entry_type::absent;
    throw fs::filesystem_error("status", path, std::error_code(static_cast<int>(error), std::system_category()));
}

// A listing shows what the name itself is: a link or junction is a reparse
// point, never the directory or file it leads to. (Wine's own links, which
// it hides, show as what they lead to; the calls that act on them catch
// those.)
bool list_directory(const fs::path& dir, std::vector<directory_entry>& entries, std::error_code& ec)
{
    entries.clear();
    std::vector<found_entry> found;
    if (!find_entries(dir, found)) {
        ec = last_error();
        return false;
    }
    constexpr DWORD not_a_file = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    for (const found_entry& entry : found) {
        const entry_type type = is_plain_directory(entry.attributes) ? entry_type::directory
                                : (entry.attributes & not_a_file)    ? entry_type::other
                                                                     : entry_type::file;
        entries.push_back({entry.name, type, type == entry_type::file ? entry.size : 0});
    }
    return true;
}

void create_directory_tree(const fs::path& dir)
{
    std::vector<fs::path> missing;
    for (fs::path level = dir; !level.empty() && entry_type_of(level) == entry_type::absent;
         level = level.parent_path()) {
        missing.push_back(level);
        if (level.parent_path() == level)
            break;
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level)
        if (!::CreateDirectoryW(system_path(*level).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            throw fs::filesystem_error("create_directories", *level, last_error());
    if (entry_type_of(dir) != entry_type::directory)
        throw fs::filesystem_error("create_directories", dir, std::make_error_code(std::errc::not_a_directory));
}

bool rename_entry(const fs::path& from, const fs::path& to, std::error_code& ec)
{
    // A link renamed under Wine would move its target instead.
    if (is_hidden_link(final_path_for_links(from.parent_path()), from)) {
        ec = link_left_alone();
        return false;
    }
    const std::wstring source = system_path(from);
    const std::wstring destination = system_path(to);
    // Nothing is ever renamed over a directory (or a link to one): no wait
    // would make that work.
    const DWORD in_the_way = ::GetFileAttributesW(destination.c_str());
    if (in_the_way != INVALID_FILE_ATTRIBUTES && (in_the_way & FILE_ATTRIBUTE_DIRECTORY)) {
        ec = std::error_code(ERROR_ACCESS_DENIED, std::system_category());
        return false;
    }
    // A file renamed over may be held as well as what is renamed.
    retry_while_busy(from, "rename", [&] { return std::vector<fs::path>{from, to}; }, [&] {
        // Write-through: the rename is on disk when the call returns.
        const DWORD flags = MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING;
        return ::MoveFileExW(source.c_str(), destination.c_str(), flags) ? std::error_code() : last_error();
    }, ec);
    return !ec;
}

bool write_new_file(const fs::path& file, const std::string& content, std::error_code& ec)
{
    // CREATE_NEW fails on any existing name, a link included.
    HANDLE handle = ::CreateFileW(system_path(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ec = last_error();
        return false;
    }
    DWORD written = 0;
    bool ok = ::WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
              written == content.size() && ::FlushFileBuffers(handle);
    ec = ok ? std::error_code() : last_error();
    if (!::CloseHandle(handle) && ok) {
        ec = last_error();
        ok = false;
    }
    return ok;
}

bool sync_directory(const fs::path&)
{
    // Directory entries can't be flushed through a directory handle here;
    // renames are made with MOVEFILE_WRITE_THROUGH instead.
    return true;
}

// sync_tree is in entry_files_win32.cpp, beside the write-out of each file
// that it completes.

namespace {

std::error_code windows_error(DWORD error)
{
    return std::error_code(static_cast<int>(error), std::system_category());
}

// Opens the log itself, never what a link or junction in its place points
// at, and accepts only a regular file of its own on a disk.
HANDLE open_log_file(const fs::path& log_file, std::error_code& error)
{
    if (is_hidden_link(final_path_for_links(log_file.parent_path()), log_file)) {
        error = windows_error(ERROR_CANT_RESOLVE_FILENAME);
        return INVALID_HANDLE_VALUE;
    }
    // Not shared for deletion: nobody may rename or remove the log while an
    // updater holds it, as the lock on it would go with the file, and a
    // second updater would lock a new log at once, beside the first.
    HANDLE handle = ::CreateFileW(system_path(log_file).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = last_error();
        return handle;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info))
        error = windows_error(ERROR_INVALID_FUNCTION);
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        error = windows_error(ERROR_CANT_RESOLVE_FILENAME);
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        error = windows_error(ERROR_DIRECTORY);
    else if (info.nNumberOfLinks != 1)
        error = windows_error(ERROR_TOO_MANY_LINKS);
    if (!error)
        return handle;
    ::CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
}

// Empties the locked log and hands it over as a stream that writes to the
// same handle: the log is never opened again by name.
std::FILE* emptied_log_stream(HANDLE handle)
{
    LARGE_INTEGER start{};
    if (!::SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle))
        return nullptr;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
    return fd < 0 ? nullptr : ::_fdopen(fd, "ab");
}

}  // namespace

lock_outcome lock_update_log(const fs::path& log_file, std::FILE*& stream, std::error_code& error)
{
    HANDLE handle = open_log_file(log_file, error);
    if (handle == INVALID_HANDLE_VALUE)
        return lock_outcome::failed;
    // The locked range lies far beyond any real end of the file, so it
    // excludes other updaters without stopping this one's own log writes.
    OVERLAPPED far_away{};
    far_away.OffsetHigh = 0x7fffffff;
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &far_away)) {
        error = last_error();
        ::CloseHandle(handle);
        return error.value() == ERROR_LOCK_VIOLATION ? lock_outcome::busy : lock_outcome::failed;
    }
    // The handle stays open, and so the lock held, until the process ends.
    stream = emptied_log_stream(handle);
    if (!stream) {
        error = last_error();
        ::CloseHandle(handle);
        return lock_outcome::failed;
    }
    return lock_outcome::taken;
}

// Opens the file itself, never what a link or junction in its place points
// at, and reads it only when it is a regular file on a disk.
bool read_root_file(const fs::path& file, std::size_t max_size, std::string& content, std::error_code& ec)
{
    if (is_hidden_link(final_path_for_links(file.parent_path()), file)) {
        ec = link_left_alone();
        return false;
    }
    HANDLE handle = ::CreateFileW(system_path(file).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ec = last_error();
        return false;
    }
    scope_exit close_handle{[handle] { ::CloseHandle(handle); }};
    BY_HANDLE_FILE_INFORMATION info{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        ec = windows_error(ERROR_INVALID_FUNCTION);
        return false;
    }
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > max_size) {
        ec = windows_error(ERROR_FILE_TOO_LARGE);
        return false;
    }
    content.assign(info.nFileSizeLow, '\0');
    DWORD got = 0;
    if (!::ReadFile(handle, content.data(), info.nFileSizeLow, &got, nullptr)) {
        ec = last_error();
        return false;
    }
    content.resize(got);
    return true;
}

std::int32_t current_process_id()
{
    return static_cast<std::int32_t>(::GetCurrentProcessId());
}
