// Windows helper process.
//   sleeper PID_FILE [MS]            writes its own process id to PID_FILE, then
//                                    sleeps MS milliseconds (forever without MS)
//   sleeper --watch PID_FILE CODE_FILE
//                                    starts "sleeper PID_FILE" (forever), waits
//                                    for it to end and writes its exit code to
//                                    CODE_FILE, so a test can see how it ended.
//   sleeper --guarded PID_FILE MS    as "sleeper PID_FILE MS", but first lets
//                                    other processes only wait for it, not
//                                    terminate it, as an elevated application
//                                    does to an updater that is not.
#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int watch(const char* pid_file, const char* code_file)
{
    char self[MAX_PATH];
    ::GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = "\"" + std::string(self) + "\" \"" + pid_file + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
        return 4;
    ::CloseHandle(child.hThread);
    ::WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(child.hProcess, &code);
    ::CloseHandle(child.hProcess);
    FILE* out = std::fopen(code_file, "wb");
    if (!out)
        return 3;
    std::fprintf(out, "%lu", static_cast<unsigned long>(code));
    std::fclose(out);
    return 0;
}

// Replaces the process's access list by one that grants everybody (WD)
// only SYNCHRONIZE and PROCESS_QUERY_LIMITED_INFORMATION.
bool deny_termination()
{
    static_assert((SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION) == 0x101000, "the mask in the string below");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;0x101000;;;WD)", SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return false;
    const bool set = ::SetKernelObjectSecurity(::GetCurrentProcess(), DACL_SECURITY_INFORMATION, descriptor);
    ::LocalFree(descriptor);
    return set;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--watch")
        return watch(argv[2], argv[3]);
    if (argc == 4 && std::string(argv[1]) == "--guarded") {
        if (!deny_termination())
            return 5;
        ++argv;
        --argc;
    }
    if (argc < 2)
        return 2;
    FILE* out = std::fopen(argv[1], "wb");
    if (!out)
        return 3;
    std::fprintf(out, "%lu", static_cast<unsigned long>(::GetCurrentProcessId()));
    std::fclose(out);
    ::Sleep(argc > 2 ? static_cast<DWORD>(std::atol(argv[2])) : INFINITE);
    return 0;
}
