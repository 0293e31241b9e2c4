#include "memory_shortage.h"

namespace {
bool gMemoryRanShort = false;
MemoryUse gShortageDuring = MemoryUse::Other;
} // namespace

void NoteMemoryShortage(MemoryUse use) {
    if (!gMemoryRanShort) gShortageDuring = use;
    gMemoryRanShort = true;
}

bool MemoryRanShort() {
    return gMemoryRanShort;
}

MemoryUse MemoryShortageDuring() {
    return gShortageDuring;
}
