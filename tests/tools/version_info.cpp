// Prints the version resource of the program named in the first argument as
// Windows' version functions return it: one line "<name>=<text>" per string
// of its U.S. English, Unicode block. Exit status 3 when it has none.
#include <windows.h>

#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(argv[1], &handle);
    if (size == 0) return 3;
    std::vector<char> info(size);
    if (!GetFileVersionInfoA(argv[1], 0, size, info.data())) return 3;
    for (const char* name : {"CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright",
                             "OriginalFilename", "ProductName", "ProductVersion"}) {
        char path[64];
        std::snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", name);
        void* text = nullptr;
        UINT length = 0;
        if (VerQueryValueA(info.data(), path, &text, &length) && length > 0)
            std::printf("%s=%s\n", name, static_cast<const char*>(text));
    }
    return 0;
}
