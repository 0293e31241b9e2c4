#include "platform.h"
#include "run.h"

int main(int argc, char** argv) {
    int exitStatus = 0;
    if (AnswerCommandLine(argc, argv, &exitStatus)) return exitStatus;
    return RunMigration();
}
