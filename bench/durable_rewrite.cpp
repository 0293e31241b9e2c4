// The least work that any durable, atomic commit of a prefix's user.reg must
// do: read $WINEPREFIX/user.reg whole, write the same bytes to a new file
// beside it, flush that file, rename it over user.reg and flush the
// directory. The benchmark's floor for a migration. Exit status 0 on success.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

static int fail(const char* what) {
    std::perror(what);
    return 1;
}

int main() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (!prefix) return fail("WINEPREFIX");
    const std::string dir = prefix, path = dir + "/user.reg", temp = path + ".new";

    const int in = open(path.c_str(), O_RDONLY);
    struct stat info;
    if (in < 0 || fstat(in, &info) != 0) return fail(path.c_str());
    std::string bytes(static_cast<size_t>(info.st_size), '\0');
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t got = read(in, &bytes[done], bytes.size() - done);
        if (got <= 0) return fail("read");
        done += static_cast<size_t>(got);
    }
    close(in);

    const int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return fail(temp.c_str());
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t put = write(out, bytes.data() + done, bytes.size() - done);
        if (put <= 0) return fail("write");
        done += static_cast<size_t>(put);
    }
    if (fsync(out) != 0 || close(out) != 0) return fail("fsync");
    if (rename(temp.c_str(), path.c_str()) != 0) return fail("rename");

    const int directory = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (directory < 0 || fsync(directory) != 0) return fail("directory fsync");
    close(directory);
    return 0;
}
