// Holds a file open as a program that shares it with no one: opens the file
// named by its first argument for reading, with no sharing, then creates the
// file named by its second argument to say so, and keeps the first open for
// five minutes or until it is ended. Exit status 1 when the file cannot be
// opened.
#include <windows.h>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const HANDLE held = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    const HANDLE said = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (said != INVALID_HANDLE_VALUE) CloseHandle(said);
    Sleep(300000);
    CloseHandle(held);
    return 0;
}
