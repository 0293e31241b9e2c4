#include <fcntl.h>
#include <io.h>
#include <stdio.h>

// The run writes its line ends as CR LF itself, the same bytes on every
// platform; text mode would turn them into CR CR LF. Done before main runs.
namespace {
const int gStdoutMode = _setmode(_fileno(stdout), _O_BINARY);
} // namespace
