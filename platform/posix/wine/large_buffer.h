#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <vector>

// Memory for the few buffers that grow to tens of megabytes with a large
// profile: its text and key table, the hive's values, their text and index.
// A buffer of 2 MB or more is placed on a 2 MB boundary and, where the system
// gives transparent huge pages on request (Linux), asks for them: filling it
// then takes one page fault per 2 MB instead of one per 4 KB, and lookups
// all over it miss the address cache far less. Smaller ones are plain.

inline constexpr std::size_t kHugePageSize = std::size_t{1} << 21;

// Asks for huge pages for the whole 2 MB pages within [start, start + bytes).
// Does nothing where the system has no such request; the memory's content
// is kept either way.
void AdviseHugePages(void* start, std::size_t bytes);

template <class T>
struct LargeBufferAllocator {
    using value_type = T;

    LargeBufferAllocator() = default;
    template <class U>
    LargeBufferAllocator(const LargeBufferAllocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePageSize) return static_cast<T*>(::operator new(bytes));
        void* memory = ::operator new(bytes, std::align_val_t{kHugePageSize});
        AdviseHugePages(memory, bytes);
        return static_cast<T*>(memory);
    }

    void deallocate(T* memory, std::size_t n) {
        if (n * sizeof(T) < kHugePageSize) ::operator delete(memory);
        else ::operator delete(memory, std::align_val_t{kHugePageSize});
    }

    template <class U>
    bool operator==(const LargeBufferAllocator<U>&) const { return true; }
    template <class U>
    bool operator!=(const LargeBufferAllocator<U>&) const { return false; }
};

template <class T>
using LargeVector = std::vector<T, LargeBufferAllocator<T>>;
using LargeText = std::basic_string<char, std::char_traits<char>, LargeBufferAllocator<char>>;
