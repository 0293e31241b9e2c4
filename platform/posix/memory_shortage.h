#pragma once

#include <new>
#include <stdexcept>

// The stand-in's Win32 functions never throw: where memory runs out they fail
// as Win32 functions fail. A profile read that runs out of memory can only
// fall back to its default, which would copy a wrong value; so a shortage is
// noted here, and from then on profile reads give up at once, the registry
// functions fail with ERROR_NOT_ENOUGH_MEMORY and nothing is saved: the run
// changes nothing and says why.

// Notes that memory ran out; lasts for the rest of the process.
void NoteMemoryShortage();

// True once memory has run out.
bool MemoryRanShort();

// What each Win32 function of the stand-in wraps its work in: returns what
// `work` returns; when memory runs out in it, notes the shortage and returns
// what `onShortage` returns instead. Running out is std::bad_alloc, or
// std::length_error where a size taken from a file is beyond what a
// container can hold.
template <class Work, class OnShortage>
auto UnlessMemoryRunsShort(Work&& work, OnShortage&& onShortage) -> decltype(work()) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    NoteMemoryShortage();
    return onShortage();
}
