#pragma once

// What each platform says for itself around the migration run, beside the
// Win32 functions: the native program answers its command line and explains
// a missing prefix as a small POSIX tool would; the Windows program does
// neither, as it never has. Each platform implements these in its own
// directory.

// Answers the command line before the run. False when the migration is to
// run; true when the command line was answered instead (help, version, a
// usage error), with the exit status in *exitStatus. Touches nothing in the
// Wine prefix. The Windows program accepts every command line.
bool AnswerCommandLine(int argc, char** argv, int* exitStatus);

// Called when the profile is missing, before the not-found message: says on
// standard error what the platform knows of why, or nothing.
void ExplainMissingProfile();
