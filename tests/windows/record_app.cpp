// Windows stand-in application: records its command line exactly as the
// system passed it (GetCommandLineW) and its working directory, both in
// UTF-8, into the file named by RECORD_FILE, written under a temporary name
// and then renamed. The wide forms show what the starting program handed
// over, whatever this program's own code page could represent.
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

}  // namespace

int main()
{
    char record[MAX_PATH];
    if (!::GetEnvironmentVariableA("RECORD_FILE", record, MAX_PATH))
        return 2;
    const std::string temporary = std::string(record) + ".tmp";
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (!out)
        return 3;
    wchar_t cwd[MAX_PATH] = L"";
    ::GetCurrentDirectoryW(MAX_PATH, cwd);
    std::fprintf(out, "cmdline=%s\ncwd=%s\n", utf8_from_wide(::GetCommandLineW()).c_str(),
                 utf8_from_wide(cwd).c_str());
    std::fclose(out);
    return ::MoveFileExA(temporary.c_str(), record, MOVEFILE_REPLACE_EXISTING) ? 0 : 4;
}
