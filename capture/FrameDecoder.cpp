#include "capture/FrameDecoder.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

constexpr std::size_t kMinimumHeaderLength = 20;
constexpr std::uint8_t kProtocolTcp = 6;

}  // namespace

std::optional<PacketView> DecodeFrame(std::size_t capturedLength, const std::uint8_t* frame,
                                      const Ipv4Address& localAddress) {
    if (frame == nullptr || capturedLength < kEthernetHeaderLength + kMinimumHeaderLength) {
        return std::nullopt;
    }
    const std::uint8_t* ip = frame + kEthernetHeaderLength;
    if ((ip[0] >> 4) != 4)
        return std::nullopt;
    // The capture filter lets only TCP through, but a capture file may hold anything; a UDP or
    // ICMP datagram read with TCP offsets would only produce nonsense.
    if (ip[9] != kProtocolTcp)
        return std::nullopt;
    const std::size_t ipHeaderLength = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
    if (ipHeaderLength < kMinimumHeaderLength)
        return std::nullopt;
    if (capturedLength < kEthernetHeaderLength + ipHeaderLength + kMinimumHeaderLength) {
        return std::nullopt;
    }
    const std::uint8_t* tcp = ip + ipHeaderLength;
    // Only the upper four bits: the reserved bits in the lower half do not count.
    const std::size_t tcpHeaderLength = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (tcpHeaderLength < kMinimumHeaderLength)
        return std::nullopt;
    const std::size_t headers = kEthernetHeaderLength + ipHeaderLength + tcpHeaderLength;
    if (capturedLength < headers)
        return std::nullopt;

    PacketView view;
    std::memcpy(view.sourceAddress.data(), ip + 12, 4);
    std::memcpy(view.destinationAddress.data(), ip + 16, 4);
    std::memcpy(&view.sourcePort, tcp, 2);
    std::memcpy(&view.destinationPort, tcp + 2, 2);
    view.payload = frame + headers;
    // The captured length, not the IPv4 total length: padding of short frames is payload too.
    view.rawLength = capturedLength - headers;
    view.scanLength = view.rawLength < kScanWindow ? view.rawLength : kScanWindow;
    view.outgoing = view.sourceAddress == localAddress;
    return view;
}

namespace {

// Finds the first candidate position in [from, lastStart] whose n bytes equal the marker.
// Plain version: memchr for the first byte, then compare the rest.
const std::uint8_t* ScanPlain(const std::uint8_t* cursor, const std::uint8_t* lastStart,
                              const char* marker, std::size_t n) {
    const unsigned char first = static_cast<unsigned char>(marker[0]);
    while (cursor <= lastStart) {
        const void* hit =
            std::memchr(cursor, first, static_cast<std::size_t>(lastStart - cursor) + 1);
        if (hit == nullptr)
            return nullptr;
        const std::uint8_t* candidate = static_cast<const std::uint8_t*>(hit);
        if (std::memcmp(candidate + 1, marker + 1, n - 1) == 0)
            return candidate;
        cursor = candidate + 1;
    }
    return nullptr;
}

#if defined(__x86_64__)
// Media bodies are close to random bytes, in which a marker's first byte turns up every 256
// bytes; filtering on the first two bytes at once makes false candidates rare, so the scan
// runs at vector speed instead of restarting a byte search every few hundred bytes. Every
// load stays inside [cursor, lastStart + n).
__attribute__((target("avx2"))) const std::uint8_t* ScanPairAvx2(const std::uint8_t* cursor,
                                                                 const std::uint8_t* lastStart,
                                                                 const char* marker,
                                                                 std::size_t n) {
    const __m256i first = _mm256_set1_epi8(marker[0]);
    const __m256i second = _mm256_set1_epi8(marker[1]);
    const std::uint8_t* const end = lastStart + n;  // one past the last byte we may read
    while (end - cursor >= 33) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cursor));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cursor + 1));
        auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, second))));
        while (mask != 0) {
            const std::uint8_t* candidate = cursor + __builtin_ctz(mask);
            if (candidate > lastStart)
                return nullptr;
            if (std::memcmp(candidate + 2, marker + 2, n - 2) == 0)
                return candidate;
            mask &= mask - 1;
        }
        cursor += 32;
    }
    return cursor <= lastStart ? ScanPlain(cursor, lastStart, marker, n) : nullptr;
}

const std::uint8_t* ScanPairSse2(const std::uint8_t* cursor, const std::uint8_t* lastStart,
                                 const char* marker, std::size_t n) {
    const __m128i first = _mm_set1_epi8(marker[0]);
    const __m128i second = _mm_set1_epi8(marker[1]);
    const std::uint8_t* const end = lastStart + n;
    while (end - cursor >= 17) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cursor));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cursor + 1));
        auto mask = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, second))));
        while (mask != 0) {
            const std::uint8_t* candidate = cursor + __builtin_ctz(mask);
            if (candidate > lastStart)
                return nullptr;
            if (std::memcmp(candidate + 2, marker + 2, n - 2) == 0)
                return candidate;
            mask &= mask - 1;
        }
        cursor += 16;
    }
    return cursor <= lastStart ? ScanPlain(cursor, lastStart, marker, n) : nullptr;
}

using PairScanner = const std::uint8_t* (*)(const std::uint8_t*, const std::uint8_t*, const char*,
                                            std::size_t);
const PairScanner s_scanPair = __builtin_cpu_supports("avx2") ? ScanPairAvx2 : ScanPairSse2;
#endif

}  // namespace

std::size_t FindMarker(std::string_view marker, const std::uint8_t* payload,
                       std::size_t payloadLength, std::size_t from, std::size_t length) {
    const std::size_t n = marker.size();
    if (n == 0 || length == 0 || payload == nullptr || from >= payloadLength)
        return kNotFound;
    // Occurrences must end at or before `lastEnd`: one byte before the range end (the strict
    // rule), or the payload end when the range reaches past it.
    const std::size_t rangeEnd = length > payloadLength - from ? payloadLength + 1 : from + length;
    const std::size_t lastEnd = rangeEnd <= payloadLength ? rangeEnd - 1 : payloadLength;
    if (lastEnd < from || lastEnd - from < n)
        return kNotFound;

    const std::uint8_t* const cursor = payload + from;
    const std::uint8_t* const lastStart = payload + (lastEnd - n);
    const std::uint8_t* hit = nullptr;
#if defined(__x86_64__)
    if (n >= 2) {
        hit = s_scanPair(cursor, lastStart, marker.data(), n);
    } else {
        hit = ScanPlain(cursor, lastStart, marker.data(), n);
    }
#else
    hit = ScanPlain(cursor, lastStart, marker.data(), n);
#endif
    return hit == nullptr ? kNotFound : static_cast<std::size_t>(hit - payload) + n;
}

std::optional<Ipv4Address> ParseIpv4Address(std::string_view text) {
    Ipv4Address address{};
    std::size_t position = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (position >= text.size() || text[position] != '.')
                return std::nullopt;
            ++position;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9' &&
               digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[position] - '0');
            ++position;
            ++digits;
        }
        if (digits == 0 || value > 255)
            return std::nullopt;
        address[part] = static_cast<std::uint8_t>(value);
    }
    if (position != text.size())
        return std::nullopt;
    return address;
}
