// The Windows program runs the migration whatever its command line holds:
// callers may pass arguments, and always could.
#include "program_hooks.h"

bool AnswerCommandLine(int, char**, int*) {
    return false;
}

// The not-found message names the path; Windows has nothing to add.
void ExplainMissingProfile() {}
