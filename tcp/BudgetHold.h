// What one buffer of the stream engine holds of the memory budget. The owner resizes the hold
// before its buffer grows (and gives up when the budget refuses) and after it shrinks; the
// hold gives back everything when it goes.
#pragma once

#include <cstddef>
#include <utility>

#include "tcp/MemoryBudget.h"

class BudgetHold {
public:
    BudgetHold() = default;
    explicit BudgetHold(MemoryBudget& budget) : m_budget(&budget) {}
    BudgetHold(BudgetHold&& other) noexcept
        : m_budget(other.m_budget), m_held(std::exchange(other.m_held, 0)) {}
    BudgetHold& operator=(BudgetHold&& other) noexcept {
        if (this != &other) {
            Resize(0);
            m_budget = other.m_budget;
            m_held = std::exchange(other.m_held, 0);
        }
        return *this;
    }
    ~BudgetHold() { Resize(0); }

    // Holds exactly `bytes`: false, holding what it held before, when the budget refuses more.
    bool Resize(std::size_t bytes) {
        if (bytes > m_held) {
            if (m_budget == nullptr || !m_budget->TryReserve(bytes - m_held))
                return false;
        } else if (bytes < m_held) {
            m_budget->Release(m_held - bytes);
        }
        m_held = bytes;
        return true;
    }
    bool Grow(std::size_t bytes) {
        return bytes <= static_cast<std::size_t>(-1) - m_held && Resize(m_held + bytes);
    }
    void Shrink(std::size_t bytes) { Resize(bytes < m_held ? m_held - bytes : 0); }

    std::size_t Held() const { return m_held; }

private:
    MemoryBudget* m_budget = nullptr;
    std::size_t m_held = 0;
};
