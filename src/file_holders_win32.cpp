// Which programs hold files open, as the Restart Manager tells it. A rename
// or removal that has to wait names them in its warning, so that whoever
// reads the log knows what to close. Wine's Restart Manager is a stub that
// answers every query with an empty list, so there nobody is ever named.
#include "platform_win32.h"

#include <restartmanager.h>

namespace {

namespace fs = std::filesystem;

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
        // A level that can't be listed names nobody: the others still may.
        if (!find_entries(parent, entries))
            continue;
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



// The process's executable's file name ("app.exe"), or empty when it can't
// be queried or the process id now belongs to a later process.
std::wstring image_name(const RM_UNIQUE_PROCESS& holder)
{
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, holder.dwProcessId);
    if (!process)
        return {};
    scope_exit close_process{[process] { ::CloseHandle(process); }};
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user) ||
        ::CompareFileTime(&created, &holder.ProcessStartTime) != 0)
        return {};
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!::QueryFullProcessImageNameW(process, 0, image.data(), &size))
        return {};
    image.resize(size);
    return std::filesystem::path(image).filename().native();
}

// "app.exe (pid 1234)"; the Restart Manager's own name for the application
// (which may be a title rather than a file name) where the executable is
// unknown, and the process id alone where no name fits the code page.
std::string holder_label(const RM_PROCESS_INFO& holder)
{
    std::wstring name = image_name(holder.Process);
    if (name.empty())
        name = holder.strAppName;
    const std::string pid = "pid " + std::to_string(holder.Process.dwProcessId);
    try {
        return name.empty() ? pid : narrow_for_log(name) + " (" + pid + ")";
    } catch (const std::filesystem::filesystem_error&) {
        return pid;
    }
}

// Fills holders with the processes the session's files are in use by;
// false when the Restart Manager can't tell.
bool list_holders(DWORD session, std::vector<RM_PROCESS_INFO>& holders)
{
    // More processes may open the files between the call that sizes the
    // list and the one that fills it, so a few rounds are allowed.
    for (int round = 0; round < 3; ++round) {
        UINT needed = 0;
        UINT count = static_cast<UINT>(holders.size());
        DWORD reasons = 0;
        const DWORD result = ::RmGetList(session, &needed, &count, holders.data(), &reasons);
        if (result == ERROR_SUCCESS) {
            holders.resize(count);
            return true;
        }
        if (result != ERROR_MORE_DATA)
            return false;
        holders.resize(needed);
    }
    return false;
}

// The processes that hold any of the files (full paths) open, as
// "app.exe (pid 1234), scanner.exe (pid 99)"; empty when none does or the
// Restart Manager can't tell.
std::string describe_file_holders(const std::vector<std::wstring>& files)
{
    if (files.empty())
        return {};
    DWORD session = 0;
    WCHAR session_key[CCH_RM_SESSION_KEY + 1] = {};
    if (::RmStartSession(&session, 0, session_key) != ERROR_SUCCESS)
        return {};
    scope_exit end_session{[session] { ::RmEndSession(session); }};
    std::vector<LPCWSTR> names;
    for (const std::wstring& file : files)
        names.push_back(file.c_str());
    std::vector<RM_PROCESS_INFO> holders(8);
    if (::RmRegisterResources(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr) !=
            ERROR_SUCCESS ||
        !list_holders(session, holders))
        return {};
    std::string text;
    for (const RM_PROCESS_INFO& holder : holders)
        text += (text.empty() ? "" : ", ") + holder_label(holder);
    return text;
}

}  // namespace

std::string held_by(const std::vector<fs::path>& paths)
{
    const std::string holders = describe_file_holders(files_in_the_way(paths));
    return holders.empty() ? std::string() : "; held by " + holders;
}
