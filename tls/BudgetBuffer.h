// A byte buffer whose memory is taken from the engine's MemoryBudget: it asks before it grows
// and gives everything back when freed or destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tcp/MemoryBudget.h"

class BudgetBuffer {
public:
    explicit BudgetBuffer(MemoryBudget& budget) : m_budget(&budget) {}
    ~BudgetBuffer() { Free(); }
    BudgetBuffer(const BudgetBuffer&) = delete;
    BudgetBuffer& operator=(const BudgetBuffer&) = delete;

    const std::uint8_t* Data() const { return m_data.get() + m_begin; }
    std::uint8_t* Data() { return m_data.get() + m_begin; }
    std::size_t Size() const { return m_end - m_begin; }
    bool Empty() const { return m_end == m_begin; }
    std::size_t Capacity() const { return m_capacity; }

    // Makes room for `size` bytes in all, never more than `bound`; false (nothing changed)
    // when that passes the bound or the budget.
    bool Reserve(std::size_t size, std::size_t bound) {
        if (size > bound)
            return false;
        if (m_begin > 0 && m_capacity - m_begin < size) {
            std::memmove(m_data.get(), m_data.get() + m_begin, Size());
            m_end -= m_begin;
            m_begin = 0;
        }
        if (size <= m_capacity - m_begin)
            return true;
        std::size_t capacity = m_capacity * 2 > size ? m_capacity * 2 : size;
        if (capacity > bound)
            capacity = bound;
        if (!m_budget->TryReserve(capacity - m_capacity)) {
            capacity = size;  // the budget may still hold the bare need
            if (!m_budget->TryReserve(capacity - m_capacity))
                return false;
        }
        std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[capacity]);
        if (!Empty())
            std::memcpy(grown.get(), Data(), Size());
        m_end -= m_begin;
        m_begin = 0;
        m_data = std::move(grown);
        m_capacity = capacity;
        return true;
    }

    // Appends, growing within `bound`; false (nothing appended) past the bound or the budget.
    bool Append(const std::uint8_t* data, std::size_t size, std::size_t bound) {
        if (size == 0)
            return true;
        if (!Reserve(Size() + size, bound))
            return false;
        std::memcpy(m_data.get() + m_end, data, size);
        m_end += size;
        return true;
    }

    // Drops `size` bytes from the front.
    void Discard(std::size_t size) {
        m_begin += size < Size() ? size : Size();
        if (m_begin == m_end)
            m_begin = m_end = 0;
    }
    void Clear() { m_begin = m_end = 0; }

    // Empties the buffer and gives its memory back.
    void Free() {
        m_data.reset();
        m_budget->Release(m_capacity);
        m_capacity = m_begin = m_end = 0;
    }

private:
    MemoryBudget* m_budget;
    std::unique_ptr<std::uint8_t[]> m_data;
    std::size_t m_capacity = 0;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};
