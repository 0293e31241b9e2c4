// Prints what GetCurrentDirectoryA gives into a 260-byte buffer: the result,
// then the bytes in hex when they fit. With an argument it only waits five
// minutes, which keeps Wine's own processes running between test runs.
#include <windows.h>

#include <cstdio>

int main(int argc, char**) {
    if (argc > 1) {
        Sleep(300000);
        return 0;
    }
    char directory[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    std::printf("%lu ", static_cast<unsigned long>(length));
    for (DWORD i = 0; i < length && length < sizeof directory; ++i)
        std::printf("%02X", static_cast<unsigned char>(directory[i]));
    std::printf("\n");
    return 0;
}
