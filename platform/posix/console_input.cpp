// The key wait on the terminal itself ("/dev/tty", whatever standard input
// is): non-canonical mode without echo while waiting, pending input seen with
// poll and never read, and the terminal's settings restored on every way out.
#include "console_input.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <initializer_list>

namespace {

int gTerminal = -1;
bool gOpened = false;
termios gSavedSettings;
volatile sig_atomic_t gSettingsChanged = 0;

void RestoreTerminal() {
    if (gSettingsChanged) {
        ::tcsetattr(gTerminal, TCSANOW, &gSavedSettings);
        gSettingsChanged = 0;
    }
}

void RestoreAndDie(int signalNumber) {
    RestoreTerminal();
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

void OpenTerminal() {
    gOpened = true;
    gTerminal = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (gTerminal < 0) return;
    if (::tcgetattr(gTerminal, &gSavedSettings) != 0) {
        ::close(gTerminal);
        gTerminal = -1;
        return;
    }
    std::atexit(RestoreTerminal);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(signalNumber, RestoreAndDie);
    termios waiting = gSavedSettings;
    waiting.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    waiting.c_cc[VMIN] = 1;
    waiting.c_cc[VTIME] = 0;
    gSettingsChanged = 1;
    ::tcsetattr(gTerminal, TCSANOW, &waiting);
}

// 1: input waits, 0: none, -1: the terminal is gone.
int PollTerminal(int timeoutMs) {
    pollfd request = {gTerminal, POLLIN, 0};
    const int ready = ::poll(&request, 1, timeoutMs);
    if (ready <= 0) return 0;
    if (request.revents & POLLIN) return 1;
    return (request.revents & (POLLHUP | POLLERR | POLLNVAL)) ? -1 : 0;
}

} // namespace

bool ConsoleInputAvailable() {
    if (!gOpened) OpenTerminal();
    return gTerminal >= 0;
}

bool KeyPressPending() {
    if (!ConsoleInputAvailable()) return false;
    const int state = PollTerminal(0);
    if (state < 0) {
        RestoreTerminal();
        gTerminal = -1; // hung up: there is no console any more
    }
    return state > 0;
}

void WaitForConsoleInput(unsigned timeoutMs) {
    if (ConsoleInputAvailable()) PollTerminal(static_cast<int>(timeoutMs));
}
