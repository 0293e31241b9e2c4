// Writes a profile that holds COUNT recent files and nothing else, each line
// ending in CR LF: "[MRU]", "FileCount=COUNT", then
// "File<n>=C:\Tavik\Saves\document <n>.sav" for n from 1 to COUNT.
// Usage: recent_files COUNT PATH
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const unsigned long count = std::strtoul(argv[1], nullptr, 10);
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
    std::fprintf(out, "[MRU]\r\nFileCount=%lu\r\n", count);
    for (unsigned long n = 1; n <= count; ++n)
        std::fprintf(out, "File%lu=C:\\Tavik\\Saves\\document %lu.sav\r\n", n, n);
    if (std::fclose(out) != 0) {
        std::perror(argv[2]);
        return 1;
    }
    return 0;
}
