// Windows helper process: opens the file or directory given as the first argument
// without letting anybody delete or rename it, as a scanner or explorer
// briefly does, writes the file given as the second argument once it holds
// it, keeps it for the milliseconds given as the third, then exits.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    HANDLE held = ::CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 3;
    FILE* out = std::fopen(argv[2], "wb");
    if (out)
        std::fclose(out);
    ::Sleep(static_cast<DWORD>(std::atol(argv[3])));
    ::CloseHandle(held);
    return 0;
}
