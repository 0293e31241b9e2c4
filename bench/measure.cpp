// Runs a program and prints its wall seconds, CPU seconds, peak resident
// kilobytes and exit status. A small static program, so that the peak that
// the kernel records for the child is not the memory of a larger parent.
// Usage: measure TIMEOUT_SECONDS PROGRAM [ARGUMENTS...] (timeout 0: none)
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) return 125;
    const unsigned timeout = static_cast<unsigned>(std::atoi(argv[1]));
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid == 0) {
        // Output goes nowhere: a wineserver started by the program would
        // otherwise keep the caller's pipe open long after the run.
        setsid();
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) dup2(null, fd);
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    if (timeout) {
        // Without SA_RESTART, so that the alarm ends the wait below.
        struct sigaction onAlarm = {};
        onAlarm.sa_handler = [](int) {};
        sigaction(SIGALRM, &onAlarm, nullptr);
        alarm(timeout);
    }
    int status = 0;
    rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0) {
        kill(-pid, SIGKILL); // the program's whole session
        wait4(pid, &status, 0, &usage);
        std::printf("timeout\n");
        return 124;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double wall = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    const double cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("%.6f %.6f %ld %d\n", wall, cpu, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
