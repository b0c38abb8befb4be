// Names and paths on Windows: narrow strings in the process's code page
// (UTF-8 by the manifest, else the ANSI code page), the extended-length form
// in which long paths reach the system calls, the recognition of links
// that Wine does not show as reparse points, and of the names that Wine
// finds in another case, as Windows does.
#include "platform_win32.h"

#include <algorithm>
#include <vector>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throw_conversion_error(const std::string& what, DWORD error)
{
    throw fs::filesystem_error("can't convert " + what,
                               std::error_code(static_cast<int>(error), std::system_category()));
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


// CreateDirectoryW refuses from MAX_PATH less room for an 8.3 name on; the
// other calls from MAX_PATH on. The lower bound serves both.
constexpr std::size_t classic_path_limit = MAX_PATH - 12;

bool starts_with(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, std::char_traits<wchar_t>::length(prefix), prefix) == 0;
}

std::wstring full_path(const std::wstring& path)
{
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    const DWORD written = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (written == 0 || written >= size)
        return path;
    full.resize(written);
    return full;
}

bool running_under_wine()
{
    static const bool wine = ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

}  // namespace

std::wstring wide_from(const std::string& text, UINT code_page)
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
    return fs::path(wide_from(narrow, narrow_code_page()));
}

std::string narrow_from_path(const fs::path& path)
{
    return from_wide(path.native(), narrow_code_page());
}

std::string narrow_for_log(const fs::path& path)
{
    const std::wstring& wide = path.native();
    if (wide.empty())
        return {};
    // No strict flags: a character the code page lacks becomes "?" (or, in
    // UTF-8, the replacement character) instead of failing.
    const UINT code_page = narrow_code_page();
    const int size = ::WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), size, nullptr,
                          nullptr);
    return narrow;
}

std::string package_path_for_zip(const std::string& narrow)
{
    return from_wide(system_path(path_from_narrow(narrow)), CP_UTF8);
}


std::wstring system_path(const fs::path& path)
{
    const std::wstring& given = path.native();
    if (given.size() < classic_path_limit && path.is_absolute())
        return given;
    if (starts_with(given, L"\\\\?\\") || starts_with(given, L"\\\\.\\"))
        return given;
    // The extended form is taken literally, so it must be complete and
    // normalised first: separators, "." and ".." as the classic form has them.
    const std::wstring full = full_path(given);
    if (full.size() < classic_path_limit)
        return given;
    if (starts_with(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::error_code last_error()
{
    return std::error_code(static_cast<int>(::GetLastError()), std::system_category());
}

std::wstring final_path_for_links(const fs::path& path)
{
    if (!running_under_wine())
        return {};
    // The directory of a bare name is the working directory.
    const fs::path target = path.empty() ? fs::path(L".") : path;
    HANDLE handle = ::CreateFileW(system_path(target).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    scope_exit close_handle{[handle] { ::CloseHandle(handle); }};
    // The name as the file system has it, below the volume: unlike the
    // final path, it is given for long paths too.
    std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    if (!::GetFileInformationByHandleEx(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size())))
        return {};
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

namespace {

// Whether Windows takes two names for one: NTFS compares names regardless of
// case, by their upper-case forms.
bool one_name_to_windows(const std::wstring& a, const std::wstring& b)
{
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

// The entries of path's directory that Windows would take for path's own
// name: the name itself where it is there, and its spellings in other case.
// A Unix directory under Wine may hold several of them.
std::vector<std::wstring> spellings_of(const fs::path& path)
{
    std::vector<found_entry> entries;
    if (!find_entries(path.parent_path(), entries))
        return {};
    const std::wstring name = path.filename().native();
    std::vector<std::wstring> spellings;
    for (const found_entry& entry : entries)
        if (one_name_to_windows(entry.name, name))
            spellings.push_back(entry.name);
    std::sort(spellings.begin(), spellings.end());
    return spellings;
}

}  // namespace

bool is_hidden_link(const std::wstring& dir_final, const fs::path& path)
{
    if (!running_under_wine())
        return false;
    const std::wstring final = final_path_for_links(path);
    if (final.empty())  // nothing there is no link; what can't be looked at is taken for one
        return ::GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    if (dir_final.empty())
        return true;
    // Wine's names are those of a Unix file system: a link may lead to a
    // name that differs only in case, so they are compared exactly.
    const std::wstring dir_prefix = dir_final.back() == L'\\' ? dir_final : dir_final + L"\\";
    const std::wstring name = path.filename().native();
    if (final == dir_prefix + name)
        return false;
    // Where the name is not there exactly, Wine looks it up regardless of
    // case, as Windows does: `current` opens `Current` in the same
    // directory, whose final name is its own. It is that entry, and a link
    // only where that entry is one. Where several spellings could be meant
    // it can't be told which Wine took, and the name is left alone as a
    // link is.
    const bool same_directory = final.compare(0, dir_prefix.size(), dir_prefix) == 0;
    if (!same_directory || !one_name_to_windows(final.substr(dir_prefix.size()), name))
        return true;
    const std::vector<std::wstring> spellings = spellings_of(path);
    if (spellings.size() != 1 || spellings.front() == name)
        return true;
    return is_hidden_link(dir_final, path.parent_path() / spellings.front());
}

std::vector<fs::path> spellings_of_one_name(const fs::path& name)
{
    // On Windows a directory holds one spelling of a name, or (where it is
    // made case-sensitive) looks names up exactly.
    if (!running_under_wine())
        return {};
    const std::vector<std::wstring> spellings = spellings_of(name);
    if (spellings.size() < 2)
        return {};
    return std::vector<fs::path>(spellings.begin(), spellings.end());
}

namespace {

// Wine offers no call that acts on one of its links itself: opened, renamed
// or deleted, the link is followed. The log says so, and what to do.
class wine_link_category : public std::error_category {
public:
    const char* name() const noexcept override { return "wine link"; }
    std::string message(int) const override
    {
        return "a link, which Wine can't rename or remove without acting on what it leads to; "
               "replace it by what it leads to, or remove it";
    }
};

}  // namespace

std::error_code link_left_alone()
{
    static const wine_link_category category;
    return std::error_code(ERROR_NOT_SUPPORTED, category);
}
