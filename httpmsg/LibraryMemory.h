// The allocator handed to the header decoders of libnghttp2 (HPACK) and libnghttp3 (QPACK):
// every block they allocate is taken from the memory budget, and one user's blocks together
// may be capped below it. A refused allocation is the libraries' "out of memory", which the
// parsers treat as giving the connection up. It knows every block it handed out, so that what
// a library left in disorder after a failure can be taken back whole (ReleaseAll) instead of
// through the library.
//
// Both libraries' allocator structures hold the same four functions with the same signatures,
// after the user data:
//   nghttp2_mem memory = {&libraryMemory, LibraryMemory::Malloc, LibraryMemory::Free,
//                         LibraryMemory::Calloc, LibraryMemory::Realloc};
#pragma once

#include <cstddef>
#include <cstdint>

#include "tcp/MemoryBudget.h"

class LibraryMemory {
public:
    explicit LibraryMemory(MemoryBudget& budget, std::size_t cap = SIZE_MAX)
        : m_budget(budget), m_cap(cap) {}
    LibraryMemory(const LibraryMemory&) = delete;
    LibraryMemory& operator=(const LibraryMemory&) = delete;
    ~LibraryMemory() { ReleaseAll(); }

    static void* Malloc(std::size_t size, void* self);
    static void Free(void* pointer, void* self);
    static void* Calloc(std::size_t count, std::size_t size, void* self);
    static void* Realloc(void* pointer, std::size_t size, void* self);

    // What its blocks hold now, their bookkeeping included.
    std::size_t Used() const { return m_used; }

    // Takes `bytes` from the budget (and the cap) at once, for the allocations of one call that
    // must not fail halfway: libnghttp3 0.8 loses a decoder's first block when its second
    // allocation fails. The allocations draw on it first; Refund() gives back what they left.
    bool Prepay(std::size_t bytes);
    void Refund();

    // Frees every block still out. Whatever the library held is gone: its objects must never
    // be used, nor freed, again.
    void ReleaseAll();

private:
    struct Block;

    MemoryBudget& m_budget;
    const std::size_t m_cap;
    std::size_t m_used = 0;
    std::size_t m_credit = 0;   // prepaid, counted in m_used already
    Block* m_blocks = nullptr;  // every block out, newest first
};
