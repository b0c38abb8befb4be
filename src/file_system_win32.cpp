// File-system services on Windows: names in the process's code page (UTF-8
// by the manifest, else the ANSI code page), renames and removals retried
// while other programs briefly hold files, write-through renames, and a lock
// on the update log.
#include "updater.h"

#include <windows.h>

#include <chrono>
#include <thread>

namespace fs = std::filesystem;

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

// Runs attempt until it succeeds, fails for good, or about 10 s have gone.
// Scanners and explorers hold files for moments; the wait doubles from
// 50 ms. One warning tells that a retry was needed.
template <class Attempt>
void retry_while_busy(const fs::path& subject, const char* action, Attempt attempt, std::error_code& ec)
{
    auto delay = std::chrono::milliseconds(50);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool warned = false;
    for (;;) {
        ec = attempt();
        if (!ec || !is_passing_error(static_cast<DWORD>(ec.value())) || std::chrono::steady_clock::now() >= deadline)
            return;
        if (!warned) {
            spdlog::warn("Retrying {} of {}: {}", action, narrow_from_path(subject), ec.message());
            warned = true;
        }
        std::this_thread::sleep_for(delay);
        delay = std::min(delay * 2, std::chrono::milliseconds(1000));
    }
}

std::error_code last_error()
{
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

// Clears read-only attributes below dir, which would stop its removal.
void make_removable(const fs::path& dir)
{
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) {
        const DWORD attributes = ::GetFileAttributesW(it->path().c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            ::SetFileAttributesW(it->path().c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
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

std::string narrow_to_utf8(const std::string& narrow)
{
    return from_wide(to_wide(narrow, narrow_code_page()), CP_UTF8);
}

void rename_directory(const fs::path& from, const fs::path& to, std::error_code& ec)
{
    retry_while_busy(from, "rename", [&] {
        // Write-through: the rename is on disk when the call returns.
        return ::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) ? std::error_code() : last_error();
    }, ec);
}

void remove_tree(const fs::path& dir, std::error_code& ec)
{
    make_removable(dir);
    retry_while_busy(dir, "removal", [&] {
        std::error_code attempt;
        fs::remove_all(dir, attempt);
        return attempt;
    }, ec);
}

bool sync_directory(const fs::path&)
{
    // Directory entries can't be flushed through a directory handle here;
    // renames are made with MOVEFILE_WRITE_THROUGH instead.
    return true;
}

bool sync_file(const fs::path& file)
{
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    scope_exit close_handle{[handle] { ::CloseHandle(handle); }};
    return ::FlushFileBuffers(handle) != 0;
}

bool sync_tree(const fs::path&)
{
    // Every extracted file was flushed with FlushFileBuffers before it was
    // closed; flushing a whole volume would need administrator rights.
    return true;
}

bool lock_update_log(const fs::path& log_file, std::string& reason)
{
    HANDLE handle = ::CreateFileW(log_file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = "can't open " + narrow_from_path(log_file) + ": " + last_error().message();
        return false;
    }
    // The locked range lies far beyond any real end of the file, so it
    // excludes other updaters without stopping this one's own log writes.
    OVERLAPPED far_away{};
    far_away.OffsetHigh = 0x7fffffff;
    if (!::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &far_away)) {
        const DWORD error = ::GetLastError();
        ::CloseHandle(handle);
        reason = error == ERROR_LOCK_VIOLATION
                     ? "another updater is running for " + narrow_from_path(log_file.parent_path())
                     : "can't lock " + narrow_from_path(log_file) + ": " + std::system_category().message(static_cast<int>(error));
        return false;
    }
    // The handle stays open, and so the lock held, until the process ends.
    return true;
}
