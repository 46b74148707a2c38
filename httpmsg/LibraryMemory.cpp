#include "httpmsg/LibraryMemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Room kept before each block; a multiple of 16, so that the block keeps malloc's alignment.
constexpr std::size_t kBlockHeader = 32;

}  // namespace

// Kept before each block: its size and its place in the list of blocks out.
struct LibraryMemory::Block {
    std::size_t size;
    Block* previous;
    Block* next;
    std::size_t unused;
};

void* LibraryMemory::Malloc(std::size_t size, void* self) {
    static_assert(sizeof(Block) == kBlockHeader);
    auto& memory = *static_cast<LibraryMemory*>(self);
    if (size > SIZE_MAX - kBlockHeader)
        return nullptr;
    const std::size_t taken = size + kBlockHeader;
    const bool prepaid = taken <= memory.m_credit;
    if (!prepaid && (taken > memory.m_cap - memory.m_used || !memory.m_budget.TryReserve(taken)))
        return nullptr;
    auto* block = static_cast<Block*>(std::malloc(taken));
    if (block == nullptr) {
        if (!prepaid)
            memory.m_budget.Release(taken);
        return nullptr;
    }
    if (prepaid)
        memory.m_credit -= taken;
    else
        memory.m_used += taken;
    block->size = size;
    block->previous = nullptr;
    block->next = memory.m_blocks;
    if (memory.m_blocks != nullptr)
        memory.m_blocks->previous = block;
    memory.m_blocks = block;
    return reinterpret_cast<std::uint8_t*>(block) + kBlockHeader;
}

void LibraryMemory::Free(void* pointer, void* self) {
    if (pointer == nullptr)
        return;
    auto& memory = *static_cast<LibraryMemory*>(self);
    auto* block = reinterpret_cast<Block*>(static_cast<std::uint8_t*>(pointer) - kBlockHeader);
    if (block->previous != nullptr)
        block->previous->next = block->next;
    else
        memory.m_blocks = block->next;
    if (block->next != nullptr)
        block->next->previous = block->previous;
    memory.m_used -= block->size + kBlockHeader;
    memory.m_budget.Release(block->size + kBlockHeader);
    std::free(block);
}

void* LibraryMemory::Calloc(std::size_t count, std::size_t size, void* self) {
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    void* pointer = Malloc(count * size, self);
    if (pointer != nullptr)
        std::memset(pointer, 0, count * size);
    return pointer;
}

void* LibraryMemory::Realloc(void* pointer, std::size_t size, void* self) {
    if (pointer == nullptr)
        return Malloc(size, self);
    const auto* block =
        reinterpret_cast<const Block*>(static_cast<std::uint8_t*>(pointer) - kBlockHeader);
    const std::size_t old = block->size;
    void* fresh = Malloc(size, self);
    if (fresh == nullptr)
        return nullptr;
    std::memcpy(fresh, pointer, std::min(old, size));
    Free(pointer, self);
    return fresh;
}

bool LibraryMemory::Prepay(std::size_t bytes) {
    if (bytes > m_cap - m_used || !m_budget.TryReserve(bytes))
        return false;
    m_used += bytes;
    m_credit += bytes;
    return true;
}

void LibraryMemory::Refund() {
    m_used -= m_credit;
    m_budget.Release(m_credit);
    m_credit = 0;
}

void LibraryMemory::ReleaseAll() {
    Refund();
    while (m_blocks != nullptr)
        Free(reinterpret_cast<std::uint8_t*>(m_blocks) + kBlockHeader, this);
}
