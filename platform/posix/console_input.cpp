// The key wait on the terminal itself ("/dev/tty", whatever standard input
// is): non-canonical mode without echo while waiting, pending input seen with
// poll and never read, and the terminal's settings restored on every way out.
// Job control takes the terminal from the wait and gives it back: stopped
// (Ctrl+Z, SIGTTIN, SIGTTOU), the process leaves the terminal as it found it,
// so that the shell's keys echo and its lines work; in the foreground again
// it sets the wait's mode anew, since the shell has set its own.
#include "console_input.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>

namespace {

int gTerminal = -1;
bool gOpened = false;
termios gSavedSettings;
termios gWaitSettings;
// The wait wants its mode: from the terminal's opening to its restoring.
volatile sig_atomic_t gWaiting = 0;
// The wait's mode is in force: not while a shell has the terminal.
volatile sig_atomic_t gWaitModeSet = 0;

// Only the foreground process group may set the terminal; the others would
// be stopped for trying, and what is typed is not theirs.
bool InForeground() {
    return ::tcgetpgrp(gTerminal) == ::getpgrp();
}

void SetWaitMode() {
    if (gWaiting && InForeground() && ::tcsetattr(gTerminal, TCSANOW, &gWaitSettings) == 0) gWaitModeSet = 1;
}

void RestoreTerminal() {
    if (gWaitModeSet) ::tcsetattr(gTerminal, TCSANOW, &gSavedSettings);
    gWaitModeSet = 0;
    gWaiting = 0;
}

void RestoreAndDie(int signalNumber) {
    RestoreTerminal();
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

void Handle(int signalNumber, void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signalNumber, &action, nullptr);
}

// Stops the process as the signal's default action does, the terminal as it
// was before the wait; continued, the handler is set again.
void StopWithTerminalRestored(int signalNumber) {
    const int savedErrno = errno;
    if (gWaitModeSet && InForeground()) ::tcsetattr(gTerminal, TCSANOW, &gSavedSettings);
    gWaitModeSet = 0;
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber); // pending: the signal is blocked in its own handler
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, signalNumber);
    ::sigprocmask(SIG_UNBLOCK, &stop, nullptr); // stops here until SIGCONT
    Handle(signalNumber, StopWithTerminalRestored);
    errno = savedErrno;
}

// Continued in the foreground (fg), or after a stop that could not be caught
// (SIGSTOP): the wait's mode again. In the background nothing changes; the
// wait sets its mode when it has the terminal again (KeyPressPending).
void ResumeWait(int) {
    const int savedErrno = errno;
    SetWaitMode();
    errno = savedErrno;
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
    for (int signalNumber : {SIGTSTP, SIGTTIN, SIGTTOU}) Handle(signalNumber, StopWithTerminalRestored);
    Handle(SIGCONT, ResumeWait);
    gWaitSettings = gSavedSettings;
    gWaitSettings.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    gWaitSettings.c_cc[VMIN] = 1;
    gWaitSettings.c_cc[VTIME] = 0;
    gWaiting = 1;
    SetWaitMode();
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
    // A job continued in the background and then brought to the foreground
    // gets no signal: the wait's mode is set here.
    if (!gWaitModeSet) SetWaitMode();
    const int state = PollTerminal(0);
    if (state < 0) {
        RestoreTerminal();
        gTerminal = -1; // hung up: there is no console any more
    }
    return state > 0 && InForeground();
}

void WaitForConsoleInput(unsigned timeoutMs) {
    if (!ConsoleInputAvailable()) return;
    // In the background, input that waits is another job's: only time passes.
    if (InForeground()) PollTerminal(static_cast<int>(timeoutMs));
    else ::poll(nullptr, 0, static_cast<int>(timeoutMs));
}
