// How paths reach the Windows system calls: the extended-length form for
// long paths, and the recognition of links that Wine does not show as
// reparse points.
#include "platform_win32.h"

#include <vector>

namespace fs = std::filesystem;

namespace {

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
    HANDLE handle = ::CreateFileW(system_path(path).c_str(), FILE_READ_ATTRIBUTES,
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

bool is_hidden_link(const std::wstring& dir_final, const fs::path& path)
{
    if (!running_under_wine())
        return false;
    const std::wstring final = final_path_for_links(path);
    if (final.empty())  // nothing there is no link; what can't be looked at is taken for one
        return ::GetFileAttributesW(system_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    const std::wstring expected = dir_final + L"\\" + path.filename().native();
    return dir_final.empty() || ::CompareStringOrdinal(final.c_str(), static_cast<int>(final.size()), expected.c_str(),
                                                       static_cast<int>(expected.size()), TRUE) != CSTR_EQUAL;
}
