#pragma once

#include <new>
#include <stdexcept>

// The stand-in's Win32 functions never throw: where memory runs out they fail
// as Win32 functions fail. A profile read that runs out of memory can only
// fall back to its default, which would copy a wrong value; so a shortage is
// noted here, and from then on profile reads give up at once, the registry
// functions fail with ERROR_NOT_ENOUGH_MEMORY and nothing is saved: the run
// changes nothing and says why.

// What memory was wanted for: each asks for its own remedy in the message.
enum class MemoryUse { Other, ReadingUserReg, ReadingProfile, Writing };

// Notes that memory ran out during `use`; lasts for the rest of the process,
// and the first use noted is the one kept.
void NoteMemoryShortage(MemoryUse use);

// True once memory has run out.
bool MemoryRanShort();

// What memory ran out during first; Other before it has run out.
MemoryUse MemoryShortageDuring();

// What each Win32 function of the stand-in wraps its work in: returns what
// `work` returns; when memory runs out in it, notes the shortage during `use`
// and returns what `onShortage` returns instead. Running out is
// std::bad_alloc, or std::length_error where a size taken from a file is
// beyond what a container can hold.
template <class Work, class OnShortage>
auto UnlessMemoryRunsShort(Work&& work, OnShortage&& onShortage, MemoryUse use = MemoryUse::Other)
    -> decltype(work()) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    NoteMemoryShortage(use);
    return onShortage();
}
