// Windows stand-in application: records its command line exactly as the
// system passed it (GetCommandLineA) and its working directory into the file
// named by RECORD_FILE, written under a temporary name and then renamed.
#include <windows.h>

#include <cstdio>
#include <string>

int main()
{
    char record[MAX_PATH];
    if (!::GetEnvironmentVariableA("RECORD_FILE", record, MAX_PATH))
        return 2;
    const std::string temporary = std::string(record) + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (!out)
        return 3;
    char cwd[MAX_PATH] = "";
    ::GetCurrentDirectoryA(MAX_PATH, cwd);
    std::fprintf(out, "cmdline=%s\ncwd=%s\n", ::GetCommandLineA(), cwd);
    std::fclose(out);
    return ::MoveFileExA(temporary.c_str(), record, MOVEFILE_REPLACE_EXISTING) ? 0 : 4;
}
