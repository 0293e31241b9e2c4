#include "run.h"

// The command line and the environment are accepted and ignored.
int main(int, char**) {
    return RunMigration();
}
