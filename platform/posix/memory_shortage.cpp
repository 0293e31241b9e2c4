#include "memory_shortage.h"

namespace {
bool gMemoryRanShort = false;
} // namespace

void NoteMemoryShortage() {
    gMemoryRanShort = true;
}

bool MemoryRanShort() {
    return gMemoryRanShort;
}
