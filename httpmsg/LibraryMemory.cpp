#include "httpmsg/LibraryMemory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Room kept before each block, holding its size.
constexpr std::size_t kBlockHeader = 16;

}  // namespace

void* LibraryMemory::Malloc(std::size_t size, void* self) {
    auto& memory = *static_cast<LibraryMemory*>(self);
    if (size > SIZE_MAX - kBlockHeader)
        return nullptr;
    const std::size_t taken = size + kBlockHeader;
    const bool prepaid = taken <= memory.m_credit;
    if (!prepaid && (taken > memory.m_cap - memory.m_used || !memory.m_budget.TryReserve(taken)))
        return nullptr;
    auto* block = static_cast<std::uint8_t*>(std::malloc(taken));
    if (block == nullptr) {
        if (!prepaid)
            memory.m_budget.Release(taken);
        return nullptr;
    }
    if (prepaid)
        memory.m_credit -= taken;
    else
        memory.m_used += taken;
    std::memcpy(block, &size, sizeof size);
    return block + kBlockHeader;
}

void LibraryMemory::Free(void* pointer, void* self) {
    if (pointer == nullptr)
        return;
    auto& memory = *static_cast<LibraryMemory*>(self);
    auto* block = static_cast<std::uint8_t*>(pointer) - kBlockHeader;
    std::size_t size;
    std::memcpy(&size, block, sizeof size);
    memory.m_used -= size + kBlockHeader;
    memory.m_budget.Release(size + kBlockHeader);
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
    std::size_t old;
    std::memcpy(&old, static_cast<std::uint8_t*>(pointer) - kBlockHeader, sizeof old);
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
