// Writing extracted entries on Windows. Entry names arrive as UTF-8 and
// are created with their wide-character names, whatever the ANSI code page.
// A reparse point (a link or junction) in any component stops the entry, so
// nothing is written outside the root.
#include "platform_win32.h"

#include <algorithm>
#include <cctype>

namespace fs = std::filesystem;

namespace {

std::wstring wide_from_utf8(const std::string& utf8, const fs::path& where)
{
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                           static_cast<int>(utf8.size()), nullptr, 0);
    if (size <= 0)
        throw fs::filesystem_error("can't convert an entry name", where,
                                   std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                          size);
    return wide;
}

bool is_plain_directory(const fs::path& path)
{
    const DWORD attributes = ::GetFileAttributesW(system_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

[[noreturn]] void throw_directory_error(const fs::path& path, std::error_code error)
{
    throw fs::filesystem_error("create_directories", path, error);
}

// Creates root/components[0..count) level by level and returns its path;
// raises filesystem_error("create_directories", ...) when a level can't be
// created or is not a plain directory.
fs::path create_directory_chain(const fs::path& root, const std::vector<std::string>& components,
                                std::size_t count)
{
    create_directory_tree(root);
    fs::path path = root;
    for (std::size_t i = 0; i < count; ++i) {
        path /= wide_from_utf8(components[i], path);
        if (!::CreateDirectoryW(system_path(path).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            throw_directory_error(path, std::error_code(static_cast<int>(::GetLastError()), std::system_category()));
        if (!is_plain_directory(path))
            throw_directory_error(path, std::make_error_code(std::errc::not_a_directory));
    }
    return path;
}

std::uint64_t filetime_ticks(std::time_t time)
{
    // FILETIME counts 100 ns from 1601; time_t counts seconds from 1970.
    return (static_cast<std::uint64_t>(time) + 11644473600ULL) * 10000000ULL;
}

bool set_mtime(HANDLE file, std::time_t mtime)
{
    const std::uint64_t ticks = filetime_ticks(mtime);
    FILETIME when{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    return ::SetFileTime(file, nullptr, &when, &when) != 0;
}

bool copy_entry_data(HANDLE file, const read_chunk_fn& read_chunk)
{
    return for_each_chunk(read_chunk, [file](const char* chunk, std::size_t size) {
        DWORD written = 0;
        return ::WriteFile(file, chunk, static_cast<DWORD>(size), &written, nullptr) &&
               written == static_cast<DWORD>(size);
    });
}

// Removes a file that is in the way of the new one; never a directory.
void remove_existing_file(const fs::path& path)
{
    const DWORD attributes = ::GetFileAttributesW(system_path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        ::SetFileAttributesW(system_path(path).c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    ::DeleteFileW(system_path(path).c_str());
}

bool is_reserved_device_name(std::string base)
{
    base = base.substr(0, base.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    std::transform(base.begin(), base.end(), base.begin(), [](unsigned char c) { return std::toupper(c); });
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : fixed)
        if (base == name)
            return true;
    if (base.compare(0, 3, "COM") != 0 && base.compare(0, 3, "LPT") != 0)
        return false;
    // Any decimal digit, and the superscript digits one to three (UTF-8).
    const std::string number = base.substr(3);
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xc2\xb9" ||
           number == "\xc2\xb2" || number == "\xc2\xb3";
}

}  // namespace

bool platform_allows_component(const std::string& component)
{
    return component.find(':') == std::string::npos && !is_reserved_device_name(component) &&
           component.back() != '.' && component.back() != ' ';
}

void create_entry_directories(const fs::path& root, const std::vector<std::string>& components, unsigned)
{
    create_directory_chain(root, components, components.size());
}

bool write_entry_file(const fs::path& root, const std::vector<std::string>& components, unsigned,
                      std::time_t mtime, const read_chunk_fn& read_chunk)
{
    const fs::path parent = create_directory_chain(root, components, components.size() - 1);
    const fs::path path = parent / wide_from_utf8(components.back(), parent);
    remove_existing_file(path);
    HANDLE file = ::CreateFileW(system_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // Each file reaches stable storage before it is closed: there is no
    // cheaper way to flush a whole tree without administrator rights.
    bool ok = copy_entry_data(file, read_chunk) && set_mtime(file, mtime) && ::FlushFileBuffers(file);
    if (!::CloseHandle(file))
        ok = false;
    return ok;
}

bool write_entry_symlink(const fs::path&, const std::vector<std::string>&, const std::string&)
{
    // Creating links needs privileges that an updater must not count on;
    // a package with links is refused rather than extracted differently.
    return false;
}
