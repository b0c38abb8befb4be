// Reading the package at given offsets on Windows: each worker through a
// handle of its own, with the offset given to every read.
#include "platform_win32.h"

#include <algorithm>

struct package_file {
    HANDLE handle;
};

void package_file_closer::operator()(package_file* file) const
{
    if (file->handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(file->handle);
    delete file;
}

package_file_ptr open_package_file(const std::string& narrow_path)
{
    package_file_ptr file(new package_file{INVALID_HANDLE_VALUE});
    // Shared as the zip library shares its own handle on the package.
    file->handle = ::CreateFileW(system_path(path_from_narrow(narrow_path)).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return file->handle == INVALID_HANDLE_VALUE ? nullptr : std::move(file);
}

// Windows sets no per-process limit on handles that an update could meet.
bool handles_to_spare(std::size_t)
{
    return true;
}

bool package_file_size(const package_file& file, std::uint64_t& size)
{
    LARGE_INTEGER bytes;
    if (!::GetFileSizeEx(file.handle, &bytes))
        return false;
    size = static_cast<std::uint64_t>(bytes.QuadPart);
    return true;
}

long long read_package_at(const package_file& file, std::uint64_t offset, void* data, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const std::uint64_t at = offset + done;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
        DWORD got = 0;
        if (!::ReadFile(file.handle, static_cast<char*>(data) + done, wanted, &got, &position))
            return ::GetLastError() == ERROR_HANDLE_EOF ? static_cast<long long>(done) : -1;
        if (got == 0)
            break;
        done += got;
    }
    return static_cast<long long>(done);
}

// The cache manager reads ahead of a handle's sequential reads by itself.
void read_package_ahead(const package_file&, std::uint64_t, std::uint64_t)
{
}

bool identify_file(const std::string& narrow_path, file_identity& identity, std::error_code& ec)
{
    HANDLE handle = ::CreateFileW(system_path(path_from_narrow(narrow_path)).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ec = last_error();
        return false;
    }
    scope_exit close_handle{[handle] { ::CloseHandle(handle); }};
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO times{};
    if (!::GetFileInformationByHandle(handle, &info) ||
        !::GetFileInformationByHandleEx(handle, FileBasicInfo, &times, sizeof times)) {
        ec = last_error();
        return false;
    }
    identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                static_cast<std::uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow,
                times.LastWriteTime.QuadPart, times.ChangeTime.QuadPart};
    return true;
}

struct package_hold {
    HANDLE handle;
};

void package_hold_closer::operator()(package_hold* hold) const
{
    ::CloseHandle(hold->handle);
    delete hold;
}

// Shared for reading only, as the workers and the zip library open it too;
// anyone else's write, rename or delete fails until the hold goes. Another
// program that has it open for writing (a download not yet closed) keeps
// the hold from being taken: that passes, and is waited out for a while.
package_hold_ptr hold_package(const std::string& narrow_path, const std::filesystem::path&, std::string& read_path,
                              std::string& why_copied, std::error_code& ec)
{
    const std::filesystem::path path = path_from_narrow(narrow_path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    retry_while_busy(path, "opening", [&] { return std::vector<std::filesystem::path>{path}; }, [&] {
        handle = ::CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle == INVALID_HANDLE_VALUE ? last_error() : std::error_code();
    }, ec);
    if (ec)
        return nullptr;
    package_hold_ptr hold(new package_hold{handle});
    // Only a file on a disk is held: a pipe could hand over other bytes to
    // each reader.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ec = std::error_code(ERROR_INVALID_FUNCTION, std::system_category());
        return nullptr;
    }
    read_path = narrow_path;
    why_copied.clear();
    return hold;
}
