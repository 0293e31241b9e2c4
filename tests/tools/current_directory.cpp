// Prints what GetCurrentDirectoryA gives into a 260-byte buffer: the result,
// then the bytes in hex when they fit. Built for Windows, and natively on
// the stand-in, so that both can be run alike. With an argument the Windows
// build only waits five minutes, which keeps Wine's own processes running
// between test runs.
#ifdef _WIN32
#include <windows.h>
#else
#include "winapi.h"
#endif

#include <cstdio>

int main([[maybe_unused]] int argc, char**) {
#ifdef _WIN32
    if (argc > 1) {
        Sleep(300000);
        return 0;
    }
#endif
    char directory[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    std::printf("%lu ", static_cast<unsigned long>(length));
    for (DWORD i = 0; i < length && length < sizeof directory; ++i)
        std::printf("%02X", static_cast<unsigned char>(directory[i]));
    std::printf("\n");
    return 0;
}
