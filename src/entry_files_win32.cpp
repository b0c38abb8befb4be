// Writing extracted entries on Windows. Entry names arrive as UTF-8 and
// are created with their wide-character names, whatever the ANSI code page.
// A reparse point (a link or junction) in any component stops the entry, so
// nothing is written outside the root. Each file is written out to the
// device when it is complete, and sync_tree makes them all durable at once.
#include "platform_win32.h"

#include <winternl.h>

#include <algorithm>
#include <cctype>

namespace fs = std::filesystem;

namespace {

bool is_plain_directory(const fs::path& path)
{
    const DWORD attributes = ::GetFileAttributesW(system_path(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool fail_at(path_failure& failure, const fs::path& where, std::error_code error)
{
    failure = {where, error};
    return false;
}

// Creates root/components[0..count) level by level and sets path to it;
// false, with failure naming the level, when a level can't be created or
// is not a plain directory.
bool create_directory_chain(const fs::path& root, const std::vector<std::string>& components, std::size_t count,
                            fs::path& path, path_failure& failure)
{
    try {
        create_directory_tree(root);
    } catch (const fs::filesystem_error& error) {
        return fail_at(failure, error.path1(), error.code());
    }
    path = root;
    for (std::size_t i = 0; i < count; ++i) {
        path /= wide_from(components[i], CP_UTF8);
        if (!::CreateDirectoryW(system_path(path).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return fail_at(failure, path, last_error());
        if (!is_plain_directory(path))
            return fail_at(failure, path, std::make_error_code(std::errc::not_a_directory));
    }
    return true;
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

// ---- Durability of the extracted files ----------------------------------
//
// A complete flush of every file (FlushFileBuffers) ends each one with a
// cache-flush command to the storage device, and waits for it: thousands
// per update. Instead each file is only written out as it is closed:
// NtFlushBuffersFileEx with FLUSH_FLAGS_NO_SYNC (ntdll, Windows 8 and
// later) writes the file's data and metadata to the device and waits for
// those writes, but does not ask the device to make its write cache
// durable. sync_tree then asks for that once, for the whole tree, before
// the marker that commits the new `current` goes.
//
// That one request must reach the device of the volume holding the files.
// Documented: without flags the call (the request FlushFileBuffers makes)
// writes out what is left of the object its handle names and then has the
// device flush its write cache; through a handle to the volume itself it
// flushes every file of the volume, but opening that needs administrator
// rights. Relied on beyond that: the device's cache flush is not limited
// to the object named, it makes durable every write the device has
// completed, which includes all that the NO_SYNC flushes wrote. So any
// handle on the volume will do. The one used is the tree's own top
// directory: it always exists (a package need not hold a file), it is on
// the volume, and the user who just created it may open it for writing.
//
// Where the ntdll call is missing (Windows 7) or refused for a file, that
// file is flushed completely as it is closed; where the request for the
// whole tree is refused (a file system that does not flush directories),
// every file of the tree is flushed completely instead.

// FLUSH_FLAGS_NO_SYNC of the driver kit's headers.
constexpr ULONG flush_flags_no_sync = 0x2;

// Declared here: the MinGW headers lack it, and it is looked up at run time
// since Windows 7 lacks it too.
using nt_flush_buffers_file_ex_fn = NTSTATUS(NTAPI*)(HANDLE file, ULONG flags, PVOID parameters,
                                                    ULONG parameters_size, PIO_STATUS_BLOCK io);

// The module that exports the call. The Wine tests build an updater that
// exports a stand-in itself and names its own module (nullptr) here, since
// Wine 8's ntdll lacks the call.
#ifndef UPDATER_FLUSH_EX_MODULE
#define UPDATER_FLUSH_EX_MODULE L"ntdll.dll"
#endif

nt_flush_buffers_file_ex_fn nt_flush_buffers_file_ex()
{
    static const nt_flush_buffers_file_ex_fn function = [] {
        const HMODULE module = ::GetModuleHandleW(UPDATER_FLUSH_EX_MODULE);
        const FARPROC address = module ? ::GetProcAddress(module, "NtFlushBuffersFileEx") : nullptr;
        // Through the generic function pointer type, which the compiler
        // accepts as a cast to any other without a warning.
        return reinterpret_cast<nt_flush_buffers_file_ex_fn>(reinterpret_cast<void (*)()>(address));
    }();
    return function;
}

// False when the call is missing or the system refuses the flush.
bool flush_with_flags(HANDLE handle, ULONG flags)
{
    const nt_flush_buffers_file_ex_fn flush = nt_flush_buffers_file_ex();
    IO_STATUS_BLOCK io{};
    return flush && flush(handle, flags, nullptr, 0, &io) >= 0;  // NT_SUCCESS
}

// Writes a finished file out to the device; sync_tree makes it durable.
bool write_out_file(HANDLE file)
{
    return flush_with_flags(file, flush_flags_no_sync) || ::FlushFileBuffers(file);
}

// Makes everything written out below dir durable with one flush of the
// device's cache, sent through a handle to dir itself.
bool flush_through_directory(const fs::path& dir)
{
    HANDLE handle = ::CreateFileW(system_path(dir).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    scope_exit close_handle{[handle] { ::CloseHandle(handle); }};
    return flush_with_flags(handle, 0);
}

bool flush_file_completely(const fs::path& path)
{
    HANDLE file = ::CreateFileW(system_path(path).c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    scope_exit close_file{[file] { ::CloseHandle(file); }};
    return ::FlushFileBuffers(file);
}

// Flushes the files directly in dir completely and adds its subdirectories
// to pending. Links and junctions are neither entered nor flushed (the
// extraction makes none).
bool flush_files_in(const fs::path& dir, std::vector<fs::path>& pending)
{
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW(system_path(dir / L"*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    scope_exit close_search{[search] { ::FindClose(search); }};
    do {
        const std::wstring name = found.cFileName;
        const DWORD attributes = found.dwFileAttributes;
        if (name == L"." || name == L".." || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            pending.push_back(dir / name);
        else if (!flush_file_completely(dir / name))
            return false;
    } while (::FindNextFileW(search, &found));
    return ::GetLastError() == ERROR_NO_MORE_FILES;
}

// The fallback of sync_tree: a complete flush of every file below dir.
bool flush_each_file(const fs::path& dir)
{
    std::vector<fs::path> pending{dir};
    while (!pending.empty()) {
        const fs::path next = std::move(pending.back());
        pending.pop_back();
        if (!flush_files_in(next, pending))
            return false;
    }
    return true;
}

}  // namespace

bool platform_allows_component(const std::string& component)
{
    return component.find(':') == std::string::npos && !is_reserved_device_name(component) &&
           component.back() != '.' && component.back() != ' ';
}

std::string name_lookup_key(const std::string& component)
{
    // "LONGNA~1.TXT" may be the short name of another entry's long one.
    if (component.find('~') != std::string::npos)
        return {};
    std::wstring wide;
    try {
        wide = wide_from(component, CP_UTF8);
    } catch (const fs::filesystem_error&) {
        return {};  // extracting the entry meets the error, in order
    }
    // The file system compares names by their upper-case forms, one UTF-16
    // unit at a time.
    const int size = static_cast<int>(wide.size());
    std::wstring upper(wide.size(), L'\0');
    if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.data(), size, upper.data(), size, nullptr,
                        nullptr, 0) != size)
        return {};
    const int narrow_size = ::WideCharToMultiByte(CP_UTF8, 0, upper.data(), size, nullptr, 0, nullptr, nullptr);
    std::string key(static_cast<std::size_t>(std::max(narrow_size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, upper.data(), size, key.data(), narrow_size, nullptr, nullptr);
    return key;
}

void prepare_entry_writers()
{
    // Nothing: the one lookup the writers share (the flush call) is made
    // safely by whichever thread comes first.
}

bool create_entry_directories(const fs::path& root, const std::vector<std::string>& components, unsigned,
                              path_failure& failure)
{
    fs::path path;
    return create_directory_chain(root, components, components.size(), path, failure);
}

struct entry_file {
    HANDLE handle;
};

void entry_file_closer::operator()(entry_file* file) const
{
    if (file->handle != INVALID_HANDLE_VALUE)
        ::CloseHandle(file->handle);
    delete file;
}

entry_file_ptr create_entry_file(const fs::path& root, const std::vector<std::string>& components, unsigned,
                                 path_failure& directory_failure)
{
    fs::path parent;
    if (!create_directory_chain(root, components, components.size() - 1, parent, directory_failure))
        return nullptr;
    const fs::path path = parent / wide_from(components.back(), CP_UTF8);
    remove_existing_file(path);
    HANDLE handle = ::CreateFileW(system_path(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : entry_file_ptr(new entry_file{handle});
}

bool write_entry_data(entry_file& file, const char* data, std::size_t size)
{
    DWORD written = 0;
    return ::WriteFile(file.handle, data, static_cast<DWORD>(size), &written, nullptr) &&
           written == static_cast<DWORD>(size);
}

bool finish_entry_file(entry_file_ptr file, std::time_t mtime)
{
    const bool ok = set_mtime(file->handle, mtime) && write_out_file(file->handle);
    HANDLE handle = file->handle;
    file->handle = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle) && ok;
}

bool write_entry_symlink(const fs::path&, const std::vector<std::string>&, const std::string&, path_failure&)
{
    // Creating links needs privileges that an updater must not count on;
    // a package with links is refused rather than extracted differently.
    return false;
}

// Windows reports a failed flush to the call that asks for it, so holding
// the tree is remembering where it is.
struct tree_hold {
    fs::path dir;
};

void tree_hold_closer::operator()(tree_hold* hold) const
{
    delete hold;
}

tree_hold_ptr hold_tree(const fs::path& dir)
{
    return tree_hold_ptr(new tree_hold{dir});
}

bool sync_tree(tree_hold& tree)
{
    // Without the ntdll call every file was flushed completely already.
    if (!nt_flush_buffers_file_ex())
        return true;
    return flush_through_directory(tree.dir) || flush_each_file(tree.dir);
}

void flush_written_so_far(tree_hold& tree)
{
    // Not the fallback: flushing each file would meet the files being written.
    if (nt_flush_buffers_file_ex())
        flush_through_directory(tree.dir);
}
