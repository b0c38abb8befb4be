// Windows helper process: once the file given as the fifth argument exists,
// for the milliseconds given as the fourth, keeps trying to put the file
// given as the second argument in place of the first: by renaming a copy of
// it over the first, and by writing it into the first in place. Then writes
// to the file given as the third argument how many of those attempts
// succeeded and how many failed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 6)
        return 2;
    for (int waited = 0; ::GetFileAttributesA(argv[5]) == INVALID_FILE_ATTRIBUTES; ++waited) {
        if (waited > 60000)
            return 3;
        ::Sleep(1);
    }
    const std::string target = argv[1], replacement = argv[2], copy = target + ".next";
    std::vector<char> content;
    if (FILE* in = std::fopen(replacement.c_str(), "rb")) {
        char buffer[65536];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
            content.insert(content.end(), buffer, buffer + got);
        std::fclose(in);
    }
    unsigned succeeded = 0, failed = 0;
    const DWORD end = ::GetTickCount() + static_cast<DWORD>(std::atol(argv[4]));
    while (static_cast<LONG>(end - ::GetTickCount()) > 0) {
        const bool renamed = ::CopyFileA(replacement.c_str(), copy.c_str(), FALSE) &&
                             ::MoveFileExA(copy.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
        renamed ? ++succeeded : ++failed;
        HANDLE file = ::CreateFileA(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        DWORD written = 0;
        const bool rewritten = file != INVALID_HANDLE_VALUE &&
                               ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        rewritten ? ++succeeded : ++failed;
        if (file != INVALID_HANDLE_VALUE)
            ::CloseHandle(file);
        ::Sleep(2);
    }
    if (FILE* out = std::fopen(argv[3], "wb")) {
        std::fprintf(out, "%u %u\n", succeeded, failed);
        std::fclose(out);
    }
    return 0;
}
