// The byte ranges a copy holds: sorted, merged, bounded in count.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "spool/CopyStatus.h"

class IntervalSet {
public:
    // Adds [first, end); gives how many of its bytes were not held before. False (nothing
    // added) when it would make more than `maxIntervals` separate ranges.
    bool Add(std::uint64_t first, std::uint64_t end, std::size_t maxIntervals,
             std::uint64_t& added) {
        added = 0;
        if (end <= first)
            return true;
        // The ranges it touches or adjoins: [lo, hi).
        auto lo = std::lower_bound(m_ranges.begin(), m_ranges.end(), first,
                                   [](const CopyInterval& r, std::uint64_t v) { return r.end < v; });
        auto hi = lo;
        std::uint64_t newFirst = first;
        std::uint64_t newEnd = end;
        while (hi != m_ranges.end() && hi->first <= end) {
            newFirst = std::min(newFirst, hi->first);
            newEnd = std::max(newEnd, hi->end);
            ++hi;
        }
        if (lo == hi && m_ranges.size() >= maxIntervals)
            return false;
        std::uint64_t covered = 0;
        for (auto it = lo; it != hi; ++it) {
            const std::uint64_t a = std::max(it->first, first);
            const std::uint64_t b = std::min(it->end, end);
            if (b > a)
                covered += b - a;
        }
        added = (end - first) - covered;
        const auto at = m_ranges.erase(lo, hi);
        m_ranges.insert(at, CopyInterval{newFirst, newEnd});
        return true;
    }

    // Whether every byte of [0, total) is held.
    bool Covers(std::uint64_t total) const {
        return total == 0 ||
               (m_ranges.size() == 1 && m_ranges[0].first == 0 && m_ranges[0].end >= total);
    }
    // The byte ranges of [0, total) that are missing.
    std::vector<CopyInterval> Missing(std::uint64_t total) const {
        std::vector<CopyInterval> holes;
        std::uint64_t at = 0;
        for (const CopyInterval& r : m_ranges) {
            if (r.first >= total)
                break;
            if (r.first > at)
                holes.push_back({at, r.first});
            at = std::max(at, r.end);
        }
        if (at < total)
            holes.push_back({at, total});
        return holes;
    }
    // Bytes held.
    std::uint64_t Bytes() const {
        std::uint64_t sum = 0;
        for (const CopyInterval& r : m_ranges) sum += r.end - r.first;
        return sum;
    }
    const std::vector<CopyInterval>& Ranges() const { return m_ranges; }

private:
    std::vector<CopyInterval> m_ranges;
};
