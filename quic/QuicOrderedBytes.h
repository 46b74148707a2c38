// The bytes of one direction of a QUIC stream (a STREAM or a CRYPTO stream) put in order. The
// frames that carry them may come in any order, more than once and overlapping (a lost packet's
// data is sent again, cut anew): bytes are handed on once each, in order, without a copy when
// they come in order; a piece ahead of a hole is copied and held, within the memory budget and
// a bound, until the hole fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "tcp/BudgetHold.h"

class QuicOrderedBytes {
public:
    // What a held piece costs besides its bytes (the map's node, the allocation).
    static constexpr std::size_t kPieceCost = 96;

    explicit QuicOrderedBytes(MemoryBudget& budget) : m_hold(budget) {}
    QuicOrderedBytes(const QuicOrderedBytes&) = delete;
    QuicOrderedBytes& operator=(const QuicOrderedBytes&) = delete;

    enum class Result : std::uint8_t {
        Taken,      // handed on or held (or nothing new in it)
        Refused,    // holding it would pass `maxHeld` or the budget: a hole that cannot be waited for
        Declined,   // the receiver gave up
    };

    // Takes the bytes at `offset`; calls `deliver(data, size, end)` for each run of bytes that
    // is next in order (`end`: the offset just after the run), in order. `deliver` returns
    // false to give up. Bytes past 2^62 are refused.
    template <typename Deliver>
    Result Take(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
                std::size_t maxHeld, Deliver&& deliver);

    // The offset of the next byte to hand on.
    std::uint64_t Next() const { return m_next; }
    std::size_t Held() const { return m_hold.Held(); }
    void Clear() {
        m_pieces.clear();
        m_hold.Resize(0);
    }

private:
    struct Piece {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0;
    };

    std::map<std::uint64_t, Piece> m_pieces;  // by offset; they may overlap
    BudgetHold m_hold;
    std::uint64_t m_next = 0;
};

template <typename Deliver>
QuicOrderedBytes::Result QuicOrderedBytes::Take(std::uint64_t offset, const std::uint8_t* data,
                                                std::size_t size, std::size_t maxHeld,
                                                Deliver&& deliver) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
    if (offset >= kLimit || size > kLimit - offset)
        return Result::Refused;
    std::uint64_t end = offset + size;
    if (end <= m_next)
        return Result::Taken;  // every byte of it went on before
    if (offset > m_next) {
        // Ahead of a hole: kept, unless a piece held at the same offset covers it already.
        const auto found = m_pieces.find(offset);
        if (found != m_pieces.end() && found->second.size >= size)
            return Result::Taken;
        const std::size_t cost = size + (found == m_pieces.end() ? kPieceCost : 0) -
                                 (found == m_pieces.end() ? 0 : found->second.size);
        if (m_hold.Held() + cost > maxHeld || !m_hold.Grow(cost))
            return Result::Refused;
        Piece piece;
        piece.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(size);
        std::memcpy(piece.bytes.get(), data, size);
        piece.size = size;
        m_pieces[offset] = std::move(piece);
        return Result::Taken;
    }
    // In order (its start may have gone on before).
    const std::size_t skip = static_cast<std::size_t>(m_next - offset);
    m_next = end;
    if (!deliver(data + skip, size - skip, end))
        return Result::Declined;
    // Held pieces that now follow on.
    while (!m_pieces.empty() && m_pieces.begin()->first <= m_next) {
        auto first = m_pieces.begin();
        const std::uint64_t pieceEnd = first->first + first->second.size;
        Piece piece = std::move(first->second);
        m_pieces.erase(first);
        m_hold.Shrink(piece.size + kPieceCost);
        if (pieceEnd <= m_next)
            continue;
        const std::size_t pieceSkip = static_cast<std::size_t>(m_next - (pieceEnd - piece.size));
        m_next = pieceEnd;
        if (!deliver(piece.bytes.get() + pieceSkip, piece.size - pieceSkip, pieceEnd))
            return Result::Declined;
    }
    return Result::Taken;
}
