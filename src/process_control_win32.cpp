// Application process control on Windows, with the Win32 process API.
#include "updater.h"

#include <windows.h>

static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA of x64 Windows");

void wait_for_other_process(std::int32_t pid)
{
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        spdlog::info("Process {} not found, proceeding", pid);
        return;
    }
    scope_exit close_process{[process] { ::CloseHandle(process); }};
    spdlog::info("Waiting for process {} to exit (timeout {}ms)", pid, exit_timeout_ms);
    if (::WaitForSingleObject(process, exit_timeout_ms) != WAIT_TIMEOUT)
        return;  // ended, or the wait failed: either way, go on
    spdlog::warn("Process {} did not exit in time, terminating", pid);
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, termination_grace_ms);
}

void launch_process(const std::filesystem::path& exe_path, const std::string& argument_string)
{
    const std::string command_line = build_command_line(exe_path, argument_string);
    const std::string work_dir = narrow_from_path(exe_path.parent_path());
    // CreateProcessA may write into the command line, so it gets a copy.
    std::vector<char> writable(command_line.begin(), command_line.end());
    writable.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                          work_dir.c_str(), &startup, &started)) {
        spdlog::error("Failed to launch process, error code: {}", static_cast<unsigned long>(::GetLastError()));
        return;
    }
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
    spdlog::info("Launched: {}", command_line);
}
