// Windows stand-in application: records its command line exactly as the
// system passed it (GetCommandLineW) and its working directory, both in
// UTF-8, into the file named by RECORD_FILE, written under a temporary name
// and then renamed. The wide forms show what the starting program handed
// over, whatever this program's own code page could represent.
//
// Started with --after-update while START_CHECK is set, it records into
// RECORD_FILE.new instead (so that the old application, started again by a
// rollback, does not write over that), with its process id, and then, by
// START_CHECK:
//   confirm  creates .update-confirmed in the application root, waits for
//            the updater to remove it again, and only then records and
//            exits (so a test that sees the record knows it is done);
//   exit     exits with code 5;
//   hang     does not exit by itself for a minute, and starts a copy of
//            itself (its id recorded as child) that does the same.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string utf8_from_wide(const wchar_t* wide)
{
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();  // the terminator the conversion included
    return utf8;
}

// The application's side of the start check: the root is the parent of
// the `current` that holds this executable.
bool confirm_and_wait_for_removal()
{
    wchar_t exe[MAX_PATH];
    const std::wstring path(exe, ::GetModuleFileNameW(nullptr, exe, MAX_PATH));
    const std::wstring current = path.substr(0, path.rfind(L'\\'));
    const std::wstring confirmation = current.substr(0, current.rfind(L'\\')) + L"\\.update-confirmed";
    HANDLE file = ::CreateFileW(confirmation.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(file);
    for (int i = 0; i < 400 && ::GetFileAttributesW(confirmation.c_str()) != INVALID_FILE_ATTRIBUTES; ++i)
        ::Sleep(50);
    return true;
}

// Starts this program again with --linger, which only waits a minute; its
// process id, or 0 when it could not be started.
unsigned long start_lingering_copy()
{
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command_line = L"record_app.exe --linger";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(exe, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return 0;
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    return started.dwProcessId;
}

int act_on_start_check(const std::string& mode)
{
    if (mode == "confirm")
        return 0;
    if (mode == "hang")
        ::Sleep(60000);
    return 5;
}

}  // namespace

int main()
{
    const std::wstring command_line = ::GetCommandLineW();
    if (command_line.find(L" --linger") != std::wstring::npos) {
        ::Sleep(60000);
        return 0;
    }
    char record_file[MAX_PATH];
    if (!::GetEnvironmentVariableA("RECORD_FILE", record_file, MAX_PATH))
        return 2;
    char start_check[16] = "";
    const bool checked = ::GetEnvironmentVariableA("START_CHECK", start_check, sizeof start_check) &&
                         command_line.find(L" --after-update") != std::wstring::npos;
    const std::string record = std::string(record_file) + (checked ? ".new" : "");
    if (checked && std::string(start_check) == "confirm" && !confirm_and_wait_for_removal())
        return 6;
    const std::string temporary = record + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (!out)
        return 3;
    wchar_t cwd[MAX_PATH] = L"";
    ::GetCurrentDirectoryW(MAX_PATH, cwd);
    const unsigned long child = checked && std::string(start_check) == "hang" ? start_lingering_copy() : 0;
    std::fprintf(out, "cmdline=%s\ncwd=%s\npid=%lu\nchild=%lu\n", utf8_from_wide(command_line.c_str()).c_str(),
                 utf8_from_wide(cwd).c_str(), static_cast<unsigned long>(::GetCurrentProcessId()), child);
    std::fclose(out);
    if (!::MoveFileExA(temporary.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 4;
    return checked ? act_on_start_check(start_check) : 0;
}
