// The process primitives on Windows, with the Win32 process API.
#include "platform_win32.h"

static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA of x64 Windows");

struct opened_process {
    HANDLE handle;
    HANDLE job = nullptr;  // what a watched process starts belongs to it too
};

void opened_process_closer::operator()(opened_process* process) const
{
    ::CloseHandle(process->handle);
    if (process->job)
        ::CloseHandle(process->job);
    delete process;
}

// Opens the process to wait for it and, where this updater may, to
// terminate it. An application running elevated denies an updater that is
// not the right to terminate it, but still lets it wait.
opened_process_ptr open_process(std::int32_t pid, process_access& access)
{
    const DWORD id = static_cast<DWORD>(pid);
    HANDLE handle = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
    access = process_access::wait_and_terminate;
    if (!handle && ::GetLastError() == ERROR_ACCESS_DENIED) {
        handle = ::OpenProcess(SYNCHRONIZE, FALSE, id);
        access = process_access::wait_only;
    }
    if (!handle) {
        access = ::GetLastError() == ERROR_ACCESS_DENIED ? process_access::refused : process_access::not_found;
        return nullptr;
    }
    return opened_process_ptr(new opened_process{handle});
}

bool wait_for_exit(opened_process& process, int timeout_ms)
{
    // Ended, or the wait failed: either way, go on.
    return ::WaitForSingleObject(process.handle, static_cast<DWORD>(timeout_ms)) != WAIT_TIMEOUT;
}

void terminate_process(opened_process& process)
{
    ::TerminateProcess(process.handle, 1);
}

namespace {

// Starts the command line detached from any console, in the executable's
// directory, and where a job is given in that job before it runs, so that
// every process it starts belongs to the job as well; 0 or the system's
// error code. Where the system refuses the job (the updater's own job
// allowing none inside it), the process runs without.
DWORD create_detached_process(const std::filesystem::path& exe_path, const std::string& command_line, HANDLE job,
                              PROCESS_INFORMATION& started)
{
    const std::string work_dir = narrow_from_path(exe_path.parent_path());
    // CreateProcessA may write into the command line, so it gets a copy.
    std::vector<char> writable(command_line.begin(), command_line.end());
    writable.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    const DWORD flags = DETACHED_PROCESS | (job ? CREATE_SUSPENDED : 0);
    if (!::CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, flags, nullptr, work_dir.c_str(),
                          &startup, &started))
        return ::GetLastError();
    if (job) {
        ::AssignProcessToJobObject(job, started.hProcess);
        ::ResumeThread(started.hThread);
    }
    ::CloseHandle(started.hThread);
    return 0;
}

}  // namespace

bool start_detached(const std::filesystem::path& exe_path, const std::string&, const std::string& command_line,
                    std::error_code& ec)
{
    PROCESS_INFORMATION started{};
    const DWORD error = create_detached_process(exe_path, command_line, nullptr, started);
    ec = std::error_code(static_cast<int>(error), std::system_category());
    if (error != 0)
        return false;
    ::CloseHandle(started.hProcess);
    return true;
}

// The handle CreateProcessA returns has every right to the process, and
// names that process (never one that reuses its id) until it is closed.
opened_process_ptr start_watched(const std::filesystem::path& exe_path, const std::string&,
                                 const std::string& command_line, std::error_code& ec)
{
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    PROCESS_INFORMATION started{};
    const DWORD error = create_detached_process(exe_path, command_line, job, started);
    ec = std::error_code(static_cast<int>(error), std::system_category());
    if (error != 0) {
        if (job)
            ::CloseHandle(job);
        return nullptr;
    }
    return opened_process_ptr(new opened_process{started.hProcess, job});
}

unsigned long exit_code_of(opened_process& process)
{
    DWORD code = 0;
    ::GetExitCodeProcess(process.handle, &code);
    return code;
}

namespace {

// True once no process of the job runs, or when the system can't tell.
bool job_is_empty(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    return !::QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &info, sizeof info, nullptr) ||
           info.ActiveProcesses == 0;
}

}  // namespace

void end_descendants(opened_process& process, int timeout_ms)
{
    if (!process.job)
        return;
    ::TerminateJobObject(process.job, 1);
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (!job_is_empty(process.job) && ::GetTickCount64() < deadline)
        ::Sleep(10);
}

// A GUI-subsystem program has standard output only where the program that
// started it handed one over.
void write_to_caller(const std::string& line)
{
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void yield_processors_to_other_threads()
{
    ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_LOWEST);
}
