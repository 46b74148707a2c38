// One byte budget for every buffer of the stream engine: out-of-order segments, records waiting
// for their keys, header blocks, collected bodies. A buffer asks before it grows and gives back
// what it frees, so the engine's memory never passes the limit, whatever the traffic.
#pragma once

#include <atomic>
#include <cstddef>

class MemoryBudget {
public:
    static constexpr std::size_t kDefaultLimit = 64u << 20;

    explicit MemoryBudget(std::size_t limitBytes = kDefaultLimit) : m_limit(limitBytes) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Takes `bytes` from the budget; false, taking nothing, when that would pass the limit.
    // Safe from any thread: sessions may share one budget.
    bool TryReserve(std::size_t bytes) {
        std::size_t used = m_used.load(std::memory_order_relaxed);
        do {
            if (bytes > m_limit || used > m_limit - bytes)
                return false;
        } while (!m_used.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        std::size_t peak = m_peak.load(std::memory_order_relaxed);
        while (used + bytes > peak &&
               !m_peak.compare_exchange_weak(peak, used + bytes, std::memory_order_relaxed)) {
        }
        return true;
    }
    // Gives back bytes taken before.
    void Release(std::size_t bytes) { m_used.fetch_sub(bytes, std::memory_order_relaxed); }

    std::size_t Limit() const { return m_limit; }
    std::size_t Used() const { return m_used.load(std::memory_order_relaxed); }
    // The most ever held at once.
    std::size_t Peak() const { return m_peak.load(std::memory_order_relaxed); }

private:
    const std::size_t m_limit;
    std::atomic<std::size_t> m_used{0};
    std::atomic<std::size_t> m_peak{0};
};
