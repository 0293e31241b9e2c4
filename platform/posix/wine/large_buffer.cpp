#include "large_buffer.h"

#include <sys/mman.h>

#include <cstdint>

void AdviseHugePages(void* start, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + kHugePageSize - 1) & ~(kHugePageSize - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(kHugePageSize - 1);
    // A refusal only leaves the pages small.
    if (first < end) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}
