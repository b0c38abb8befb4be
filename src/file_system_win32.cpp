// File-system services on Windows: names in the process's code page (UTF-8
// by the manifest, else the ANSI code page), renames and removals retried
// while other programs briefly hold files, write-through renames, tree
// removal that never enters a link or junction, and a lock on the update log.
#include "platform_win32.h"

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <thread>

namespace fs = std::filesystem;

const char* const text_line_end = "\r\n";

namespace {

[[noreturn]] void throw_conversion_error(const std::string& what, DWORD error)
{
    throw fs::filesystem_error("can't convert " + what + " in the narrow file-system encoding",
                               std::error_code(static_cast<int>(error), std::system_category()));
}

std::wstring to_wide(const std::string& text, UINT code_page)
{
    if (text.empty())
        return {};
    const int size = ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        throw_conversion_error("\"" + text + "\"", ::GetLastError());
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                          wide.data(), size);
    return wide;
}

// The code page of narrow strings. CP_ACP would name it too, but from_wide
// must know whether that is UTF-8: the flags it passes for the other code
// pages make a conversion to UTF-8 fail.
UINT narrow_code_page()
{
    return ::GetACP();
}

std::string from_wide(const std::wstring& wide, UINT code_page, const std::string& what = "a path")
{
    if (wide.empty())
        return {};
    // A character the code page lacks must fail, not turn into "?" or a
    // look-alike. UTF-8 lacks only unpaired surrogates, and refuses the
    // best-fit flag and the default-character report (ERROR_INVALID_FLAGS,
    // ERROR_INVALID_PARAMETER).
    BOOL lossy = FALSE;
    const bool utf8 = code_page == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    const int size = ::WideCharToMultiByte(code_page, flags, wide.data(), static_cast<int>(wide.size()), nullptr,
                                           0, nullptr, utf8 ? nullptr : &lossy);
    if (size <= 0 || lossy)
        throw_conversion_error(what, size <= 0 ? ::GetLastError() : ERROR_NO_UNICODE_TRANSLATION);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(code_page, flags, wide.data(), static_cast<int>(wide.size()), narrow.data(), size,
                          nullptr, nullptr);
    return narrow;
}

bool is_passing_error(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// Below, beside the directory listing that finds the files.
std::string held_by(const std::vector<std::wstring>& files);

// Runs attempt until it succeeds, fails for good, or about 10 s have gone.
// Scanners and explorers hold files for moments; the wait doubles from
// 50 ms. One warning tells that a retry was needed, and names the programs
// that hold the files in_the_way() lists after the failed attempt.
template <class InTheWay, class Attempt>
void retry_while_busy(const fs::path& subject, const char* action, InTheWay in_the_way, Attempt attempt,
                      std::error_code& ec)
{
    auto delay = std::chrono::milliseconds(50);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool warned = false;
    for (;;) {
        ec = attempt();
        if (!ec || !is_passing_error(static_cast<DWORD>(ec.value())) || std::chrono::steady_clock::now() >= deadline)
            return;
        if (!warned) {
            spdlog::warn("Retrying {} of {}: {}{}", action, narrow_from_path(subject), ec.message(),
                         held_by(in_the_way()));
            warned = true;
        }
        std::this_thread::sleep_for(delay);
        delay = std::min(delay * 2, std::chrono::milliseconds(1000));
    }
}

// Clears the read-only attribute of the entry itself, which would stop its
// removal. The handle is opened on the entry, never on what a link or
// junction points at.
void clear_read_only(const fs::path& path, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_READONLY))
        return;
    HANDLE handle = ::CreateFileW(system_path(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    scope_exit close_handle{[handle] { ::CloseHandle(handle); }};
    constexpr DWORD settable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                               FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;
    FILE_BASIC_INFO info{};
    info.FileAttributes = (attributes & settable) ? (attributes & settable) : FILE_ATTRIBUTE_NORMAL;
    ::SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info);
}

// A directory the removal walks into; links and junctions are not.
bool is_plain_directory(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool is_absent_error(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_INVALID_DRIVE || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME;
}

std::error_code link_left_alone()
{
    return std::make_error_code(std::errc::operation_not_supported);
}

// Removes one entry that is not walked into, or an emptied directory.
// RemoveDirectoryW on a directory link or junction removes the link and
// leaves its target alone. A link that only its final path gives away acts
// on its target whatever is asked, so it is left where it is.
std::error_code remove_entry(const std::wstring& dir_final, const fs::path& path, DWORD attributes)
{
    if (!is_plain_directory(attributes) && is_hidden_link(dir_final, path))
        return link_left_alone();
    clear_read_only(path, attributes);
    const std::wstring name = system_path(path);
    const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ::RemoveDirectoryW(name.c_str())
                                                                 : ::DeleteFileW(name.c_str());
    return removed ? std::error_code() : last_error();
}

struct pending_directory {
    fs::path path;
    DWORD attributes;
    bool emptied;
};

struct found_entry {
    std::wstring name;
    DWORD attributes;
};

bool list_directory(const fs::path& dir, std::vector<found_entry>& entries)
{
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW(system_path(dir / L"*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            entries.push_back({name, found.dwFileAttributes});
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return true;
}

// At most this many entries below a directory are looked at for files that
// other programs hold: enough for the executables and libraries of an
// application, which lie near the top, and few enough that neither the walk
// nor the Restart Manager's query takes long out of the wait.
constexpr std::size_t max_entries_examined = 1000;

// The files below dir, level by level, never entering a link or junction.
std::vector<std::wstring> files_below(const fs::path& dir)
{
    std::vector<std::wstring> files;
    std::vector<fs::path> directories{dir};
    std::size_t examined = 0;
    for (std::size_t next = 0; next < directories.size(); ++next) {
        const fs::path parent = directories[next];
        std::vector<found_entry> entries;
        list_directory(parent, entries);
        for (const found_entry& entry : entries) {
            if (++examined > max_entries_examined)
                return files;
            if (is_plain_directory(entry.attributes))
                directories.push_back(parent / entry.name);
            else if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY))
                files.push_back((parent / entry.name).native());
        }
    }
    return files;
}

// The file at path, or the files below the directory at path.
std::vector<std::wstring> files_at(const fs::path& path)
{
    std::error_code ec;
    const fs::path full = fs::absolute(path, ec);  // the Restart Manager wants full paths
    const DWORD attributes = ec ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(system_path(full).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return {};
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {full.native()};
    return is_plain_directory(attributes) ? files_below(full) : std::vector<std::wstring>();
}

// The files at each path that exists: those another program may hold.
std::vector<std::wstring> files_in_the_way(const std::vector<fs::path>& paths)
{
    std::vector<std::wstring> files;
    for (const fs::path& path : paths) {
        const std::vector<std::wstring> found = files_at(path);
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

// "; held by app.exe (pid 1234), ..." for the warning of a retry, or nothing
// when no program is known to hold any of the files.
std::string held_by(const std::vector<std::wstring>& files)
{
    const std::string holders = describe_file_holders(files);
    return holders.empty() ? std::string() : "; held by " + holders;
}

// Keeps the first failure: the directories above it fail because of it.
void note_failure(removal_failure& failure, const fs::path& where, std::error_code error)
{
    if (error && !failure.error)
        failure = {where, error};
}

// Removes what dir holds except its plain subdirectories, which go onto the
// stack to be emptied in turn. Only names are kept, never handles, so the
// depth of the tree costs memory, not handles.
void empty_directory(const fs::path& dir, std::vector<pending_directory>& stack, removal_failure& failure)
{
    std::vector<found_entry> entries;
    if (!list_directory(dir, entries)) {
        note_failure(failure, dir, last_error());
        return;
    }
    const std::wstring dir_final = final_path_for_links(dir);
    for (const found_entry& entry : entries) {
        const fs::path path = dir / entry.name;
        if (is_plain_directory(entry.attributes))
            stack.push_back({path, entry.attributes, false});
        else
            note_failure(failure, path, remove_entry(dir_final, path, entry.attributes));
    }
}

std::error_code remove_tree_once(const fs::path& target, removal_failure& failure)
{
    failure = {};
    const DWORD attributes = ::GetFileAttributesW(system_path(target).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (is_absent_error(::GetLastError()))
            return {};
        note_failure(failure, target, last_error());
        return failure.error;
    }
    if (!is_plain_directory(attributes)) {
        note_failure(failure, target, remove_entry(final_path_for_links(target.parent_path()), target, attributes));
        return failure.error;
    }
    std::vector<pending_directory> stack{{target, attributes, false}};
    while (!stack.empty()) {
        if (!stack.back().emptied) {
            stack.back().emptied = true;
            const fs::path dir = stack.back().path;
            empty_directory(dir, stack, failure);
            continue;
        }
        note_failure(failure, stack.back().path, remove_entry({}, stack.back().path, stack.back().attributes));
        stack.pop_back();
    }
    return failure.error;
}

}  // namespace

void check_narrow_command_line()
{
    // The C runtime made argv from the wide command line with best-fit
    // mapping: a character the code page lacks became "?" or a look-alike
    // (U+0141, L with stroke, a plain "L"), which could name another
    // directory than the caller's. Such a command line is refused whole,
    // relaunch arguments included, which would reach the application
    // altered as well. Under UTF-8 nothing is lost this way.
    from_wide(::GetCommandLineW(), narrow_code_page(), "the command line");
}

fs::path path_from_narrow(const std::string& narrow)
{
    return fs::path(to_wide(narrow, narrow_code_page()));
}

std::string narrow_from_path(const fs::path& path)
{
    return from_wide(path.native(), narrow_code_page());
}

std::string package_path_for_zip(const std::string& narrow)
{
    return from_wide(system_path(path_from_narrow(narrow)), CP_UTF8);
}

entry_type entry_type_of(const fs::path& path)
{
    const DWORD attributes = ::GetFileAttributesW(system_path(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return is_plain_directory(attributes) ? entry_type::directory : entry_type::other;
    if (is_absent_error(::GetLastError()))
        return entry_type::absent;
    throw fs::filesystem_error("status", path, last_error());
}

std::vector<fs::path> directory_names(const fs::path& dir, std::error_code& ec)
{
    std::vector<found_entry> entries;
    std::vector<fs::path> names;
    if (!list_directory(dir, entries))
        ec = last_error();
    for (const found_entry& entry : entries)
        names.emplace_back(entry.name);
    return names;
}

bool directory_is_empty(const fs::path& dir, std::error_code& ec)
{
    return directory_names(dir, ec).empty();
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

void rename_entry(const fs::path& from, const fs::path& to, std::error_code& ec)
{
    // A link renamed under Wine would move its target instead.
    if (is_hidden_link(final_path_for_links(from.parent_path()), from)) {
        ec = link_left_alone();
        return;
    }
    const std::wstring source = system_path(from);
    const std::wstring destination = system_path(to);
    // A file renamed over may be held as well as what is renamed.
    retry_while_busy(from, "rename", [&] { return files_in_the_way({from, to}); }, [&] {
        // Write-through: the rename is on disk when the call returns.
        const DWORD flags = MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING;
        return ::MoveFileExW(source.c_str(), destination.c_str(), flags) ? std::error_code() : last_error();
    }, ec);
}

bool remove_tree(const fs::path& target, removal_failure& failure, busy_files busy)
{
    if (busy == busy_files::give_up)
        return !remove_tree_once(target, failure);
    std::error_code ec;
    const auto in_the_way = [&] { return files_in_the_way({failure.where}); };  // where the last attempt stopped
    retry_while_busy(target, "removal", in_the_way, [&] { return remove_tree_once(target, failure); }, ec);
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

// Opens the log itself, never what a link or junction in its place points
// at, and accepts only a regular file of its own on a disk.
HANDLE open_log_file(const fs::path& log_file, std::string& reason)
{
    if (is_hidden_link(final_path_for_links(log_file.parent_path()), log_file)) {
        reason = "can't open " + narrow_from_path(log_file) + ": it is a link";
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = ::CreateFileW(system_path(log_file).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = "can't open " + narrow_from_path(log_file) + ": " + last_error().message();
        return handle;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    constexpr DWORD not_regular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & not_regular) || info.nNumberOfLinks != 1) {
        ::CloseHandle(handle);
        reason = "can't open " + narrow_from_path(log_file) + ": not a regular file of its own";
        return INVALID_HANDLE_VALUE;
    }
    return handle;
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

lock_outcome try_lock_update_log(const fs::path& log_file, std::FILE*& stream, std::string& reason)
{
    HANDLE handle = open_log_file(log_file, reason);
    if (handle == INVALID_HANDLE_VALUE)
        return lock_outcome::failed;
    // The locked range lies far beyond any real end of the file, so it
    // excludes other updaters without stopping this one's own log writes.
    OVERLAPPED far_away{};
    far_away.OffsetHigh = 0x7fffffff;
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &far_away)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        const bool busy = error == ERROR_LOCK_VIOLATION;
        reason = busy ? "another updater is running for " + narrow_from_path(log_file.parent_path())
                      : "can't lock " + narrow_from_path(log_file) + ": " +
                            std::system_category().message(static_cast<int>(error));
        return busy ? lock_outcome::busy : lock_outcome::failed;
    }
    // The handle stays open, and so the lock held, until the process ends.
    stream = emptied_log_stream(handle);
    if (!stream) {
        reason = "can't empty " + narrow_from_path(log_file) + ": " + last_error().message();
        ::CloseHandle(handle);
        return lock_outcome::failed;
    }
    return lock_outcome::taken;
}

std::int32_t current_process_id()
{
    return static_cast<std::int32_t>(::GetCurrentProcessId());
}
