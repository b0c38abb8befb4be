// Application process control on Windows, with the Win32 process API.
#include "updater.h"

#include <windows.h>

static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA of x64 Windows");

namespace {

// Opens the process to wait for it and, where this updater may, to
// terminate it. An application running elevated denies an updater that is
// not the right to terminate it, but still lets it wait. On failure the
// last error is OpenProcess's.
HANDLE open_process(std::int32_t pid, bool& may_terminate)
{
    const DWORD id = static_cast<DWORD>(pid);
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
    may_terminate = process != nullptr;
    if (process || ::GetLastError() != ERROR_ACCESS_DENIED)
        return process;
    return ::OpenProcess(SYNCHRONIZE, FALSE, id);
}

// Terminates a process that outlived the wait, where this updater may.
void end_overdue_process(HANDLE process, std::int32_t pid, bool may_terminate)
{
    if (!may_terminate) {
        // Whether its files are still in the way, the rename's retries tell.
        spdlog::error("Process {} did not exit in time and could not be terminated: access denied", pid);
        return;
    }
    spdlog::warn("Process {} did not exit in time, terminating", pid);
    ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, termination_grace_ms);
}

}  // namespace

void wait_for_other_process(std::int32_t pid)
{
    bool may_terminate = false;
    HANDLE process = open_process(pid, may_terminate);
    if (!process) {
        if (::GetLastError() == ERROR_ACCESS_DENIED)
            spdlog::warn("Process {} can't be waited for: access denied, proceeding", pid);
        else
            spdlog::info("Process {} not found, proceeding", pid);
        return;
    }
    scope_exit close_process{[process] { ::CloseHandle(process); }};
    spdlog::info("Waiting for process {} to exit (timeout {}ms)", pid, exit_timeout_ms);
    if (::WaitForSingleObject(process, exit_timeout_ms) != WAIT_TIMEOUT)
        return;  // ended, or the wait failed: either way, go on
    end_overdue_process(process, pid, may_terminate);
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
