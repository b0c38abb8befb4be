// A stand-in for ntdll's NtFlushBuffersFileEx, which Wine 8's ntdll lacks,
// exported by the test build win_updater_flush_stand_in.exe, whose updater
// looks the call up in its own executable. It announces every call with
// OutputDebugStringA, which Wine's relay trace shows with its text, so that
// the tests can count what the updater asks for where the call exists.
//
// With FLUSH_STAND_IN_REFUSES_FULL set, it refuses flushes without flags,
// as a file system that can't flush a directory would.
#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>

extern "C" __declspec(dllexport) NTSTATUS NTAPI NtFlushBuffersFileEx(HANDLE file, ULONG flags, PVOID, ULONG,
                                                                     PIO_STATUS_BLOCK io)
{
    char text[64];
    std::snprintf(text, sizeof text, "NtFlushBuffersFileEx flags=%lu", flags);
    ::OutputDebugStringA(text);
    io->Information = 0;
    // Wine can't write a file out without flushing it completely; leaving
    // the data in the system's cache is all a count needs.
    if (flags != 0)
        return io->Status = 0;
    if (std::getenv("FLUSH_STAND_IN_REFUSES_FULL"))
        return io->Status = static_cast<NTSTATUS>(0xC0000010L);  // STATUS_INVALID_DEVICE_REQUEST
    return io->Status = ::FlushFileBuffers(file) ? 0 : static_cast<NTSTATUS>(0xC0000001L);  // STATUS_UNSUCCESSFUL
}
