#pragma once

// The console's own input (not standard input), as the key wait of the run
// needs it. Each platform implements these in its own directory.

// Opens the console input on first use. False when the process has no
// console whose input can be tested.
bool ConsoleInputAvailable();

// True when a key press waits in the console input. Looks only: nothing is
// taken from the input, so the key is still there when the process ends.
bool KeyPressPending();

// Sleeps until the console input may have changed, or until timeoutMs passed.
void WaitForConsoleInput(unsigned timeoutMs);
