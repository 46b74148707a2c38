#include "frames/FrameDecoder.h"

#include <arpa/inet.h>

#include <bit>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/Text.h"

namespace {

constexpr std::size_t kMinimumHeaderLength = 20;
constexpr std::size_t kIpv6HeaderLength = 40;
constexpr std::uint8_t kProtocolTcp = 6;
constexpr std::uint8_t kProtocolUdp = 17;
constexpr std::size_t kUdpHeaderLength = 8;
constexpr std::uint8_t kIpv4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

std::uint16_t Load16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::uint32_t Load32(const std::uint8_t* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, 4);
    return ntohl(word);
}

bool IsVlanTag(std::uint16_t type) {
    return type == 0x8100 || type == 0x88A8 || type == 0x9100;
}

// Length of the IPv6 extension header `kind` that starts at `header` (whose first eight bytes
// are captured), or 0 when `kind` is none that a TCP segment (or UDP datagram) may follow.
std::size_t ExtensionHeaderLength(std::uint8_t kind, const std::uint8_t* header) {
    switch (kind) {
        case 0:    // hop-by-hop options
        case 43:   // routing
        case 60:   // destination options
        case 135:  // mobility
        case 139:  // host identity protocol
        case 140:  // shim6
            return (static_cast<std::size_t>(header[1]) + 1) * 8;
        case 44:  // fragment: only the first fragment holds the TCP header
            return (Load16(header + 2) & 0xFFF8) == 0 ? 8 : 0;
        case 51:  // authentication header
            return (static_cast<std::size_t>(header[1]) + 2) * 4;
        default:  // encrypted payload, no next header, another transport
            return 0;
    }
}

}  // namespace

IpAddress IpAddress::FromIpv4Word(std::uint32_t word) {
    IpAddress address;
    if constexpr (std::endian::native == std::endian::little) {
        // Two words, so the compiler writes the address in one store.
        const std::uint64_t high = 0xFFFF0000ull | (static_cast<std::uint64_t>(word) << 32);
        const std::uint64_t low = 0;
        std::memcpy(address.bytes.data(), &low, 8);
        std::memcpy(address.bytes.data() + 8, &high, 8);
    } else {
        std::memcpy(address.bytes.data(), kIpv4MappedPrefix, 12);
        std::memcpy(address.bytes.data() + 12, &word, 4);
    }
    return address;
}

IpAddress IpAddress::FromIpv6(const std::uint8_t* sixteenBytes) {
    IpAddress address;
    std::memcpy(address.bytes.data(), sixteenBytes, 16);
    return address;
}

bool IpAddress::IsIpv4() const {
    return std::memcmp(bytes.data(), kIpv4MappedPrefix, sizeof kIpv4MappedPrefix) == 0;
}

std::string AddressText(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.IsIpv4()) {
        const Ipv4Address a = address.Ipv4();
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    } else {
        inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
    }
    return text;
}

LocalAddresses::LocalAddresses(std::initializer_list<IpAddress> addresses) {
    for (const IpAddress& address : addresses) Add(address);
}

bool LocalAddresses::Add(const IpAddress& address) {
    if (Contains(address))
        return false;
    if (address.IsIpv4()) {
        if (m_ipv4Count == kMaxPerFamily)
            return false;
        std::memcpy(&m_ipv4[m_ipv4Count++], address.bytes.data() + 12, 4);
    } else {
        if (m_ipv6Count == kMaxPerFamily)
            return false;
        m_ipv6[m_ipv6Count++] = address;
    }
    return true;
}

bool LocalAddresses::ContainsIpv4(std::uint32_t word) const {
    for (std::size_t i = 0; i < m_ipv4Count; ++i) {
        if (m_ipv4[i] == word)
            return true;
    }
    return false;
}

bool LocalAddresses::Contains(const IpAddress& address) const {
    if (address.IsIpv4()) {
        std::uint32_t word;
        std::memcpy(&word, address.bytes.data() + 12, 4);
        return ContainsIpv4(word);
    }
    for (std::size_t i = 0; i < m_ipv6Count; ++i) {
        if (m_ipv6[i] == address)
            return true;
    }
    return false;
}

std::vector<IpAddress> LocalAddresses::All() const {
    std::vector<IpAddress> all;
    for (std::size_t i = 0; i < m_ipv4Count; ++i) {
        Ipv4Address v4;
        std::memcpy(v4.data(), &m_ipv4[i], 4);
        all.emplace_back(v4);
    }
    all.insert(all.end(), m_ipv6.begin(), m_ipv6.begin() + m_ipv6Count);
    return all;
}

namespace {

// Where the IP header starts past the Ethernet header and up to kMaxVlanTags VLAN tags; false
// when there are more tags or the frame ends before a minimal IP header.
inline bool SkipVlanTags(std::size_t capturedLength, const std::uint8_t* frame,
                         std::size_t& ipStart) {
    ipStart = kEthernetHeaderLength;
    for (int tags = 0; IsVlanTag(Load16(frame + ipStart - 2)); ++tags) {
        if (tags == kMaxVlanTags)
            return false;
        ipStart += 4;
        if (capturedLength < ipStart + kMinimumHeaderLength)
            return false;
    }
    return true;
}

}  // namespace

bool DecodeFrame(std::size_t capturedLength, const std::uint8_t* frame,
                 const LocalAddresses& localAddresses, std::size_t frameLength, PacketView& view) {
    if (frame == nullptr || capturedLength < kEthernetHeaderLength + kMinimumHeaderLength) {
        return false;
    }
    // The type field is read only for VLAN tags; past them, the IP version decides.
    std::size_t ipStart = 0;
    if (!SkipVlanTags(capturedLength, frame, ipStart))
        return false;
    const std::uint8_t* ip = frame + ipStart;

    const bool ipv6 = (ip[0] >> 4) == 6;
    std::size_t ipHeaderLength = 0;
    // Bytes after the IP header as the IP header counts them; 0 when it does not.
    std::size_t ipPayloadLength = 0;
    if ((ip[0] >> 4) == 4) {
        // The capture filter lets only TCP through, but a capture file may hold anything; a UDP
        // or ICMP datagram read with TCP offsets would only produce nonsense.
        if (ip[9] != kProtocolTcp)
            return false;
        // Only the first fragment holds the TCP header; a later one read as TCP would put
        // body bytes where sequence numbers and ports belong.
        if ((Load16(ip + 6) & 0x1FFF) != 0)
            return false;
        ipHeaderLength = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
        if (ipHeaderLength < kMinimumHeaderLength)
            return false;
        const std::size_t total = Load16(ip + 2);
        if (total >= ipHeaderLength)
            ipPayloadLength = total - ipHeaderLength;
    } else if (ipv6) {
        if (capturedLength < ipStart + kIpv6HeaderLength)
            return false;
        // IPv4-mapped addresses never travel on a wire; they would pose as IPv4 peers.
        if (std::memcmp(ip + 8, kIpv4MappedPrefix, 12) == 0 ||
            std::memcmp(ip + 24, kIpv4MappedPrefix, 12) == 0) {
            return false;
        }
        ipHeaderLength = kIpv6HeaderLength;
        std::uint8_t next = ip[6];
        for (int walked = 0; next != kProtocolTcp; ++walked) {
            // Every extension header is at least eight bytes, and its length is in them.
            if (walked == kMaxExtensionHeaders || capturedLength < ipStart + ipHeaderLength + 8) {
                return false;
            }
            const std::uint8_t* header = ip + ipHeaderLength;
            const std::size_t length = ExtensionHeaderLength(next, header);
            if (length == 0)
                return false;
            next = header[0];
            ipHeaderLength += length;
        }
        // Counts the extension headers too; 0 for a jumbogram.
        const std::size_t payloadLength = Load16(ip + 4);
        if (payloadLength + kIpv6HeaderLength >= ipHeaderLength)
            ipPayloadLength = payloadLength + kIpv6HeaderLength - ipHeaderLength;
    } else {
        return false;
    }
    if (capturedLength < ipStart + ipHeaderLength + kMinimumHeaderLength)
        return false;
    const std::uint8_t* tcp = ip + ipHeaderLength;
    // Only the upper four bits: the reserved bits in the lower half do not count.
    const std::size_t tcpHeaderLength = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (tcpHeaderLength < kMinimumHeaderLength)
        return false;
    const std::size_t headers = ipStart + ipHeaderLength + tcpHeaderLength;
    if (capturedLength < headers)
        return false;

    // The captured length, not the IP length: padding of short frames is payload too.
    const std::size_t rawLength = capturedLength - headers;
    std::size_t wireLength = 0;
    if (ipPayloadLength != 0 && ipPayloadLength >= tcpHeaderLength) {
        wireLength = ipPayloadLength - tcpHeaderLength;
    } else {
        const std::size_t onWire = frameLength > capturedLength ? frameLength : capturedLength;
        wireLength = onWire - headers;
    }
    if (ipv6) {
        view.sourceAddress = IpAddress::FromIpv6(ip + 8);
        view.destinationAddress = IpAddress::FromIpv6(ip + 24);
        view.outgoing = localAddresses.Contains(view.sourceAddress);
    } else {
        std::uint32_t source;
        std::uint32_t destination;
        std::memcpy(&source, ip + 12, 4);
        std::memcpy(&destination, ip + 16, 4);
        view.sourceAddress = IpAddress::FromIpv4Word(source);
        view.destinationAddress = IpAddress::FromIpv4Word(destination);
        view.outgoing = localAddresses.ContainsIpv4(source);
    }
    std::memcpy(&view.sourcePort, tcp, 2);
    std::memcpy(&view.destinationPort, tcp + 2, 2);
    view.sequence = Load32(tcp + 4);
    view.acknowledgement = Load32(tcp + 8);
    view.tcpFlags = tcp[13];
    view.payload = frame + headers;
    view.rawLength = rawLength;
    view.scanLength = rawLength < kScanWindow ? rawLength : kScanWindow;
    view.wireLength = wireLength;
    return true;
}

bool DecodeUdpFrame(std::size_t capturedLength, const std::uint8_t* frame, DatagramView& view) {
    if (frame == nullptr || capturedLength < kEthernetHeaderLength + kMinimumHeaderLength)
        return false;
    std::size_t ipStart = 0;
    if (!SkipVlanTags(capturedLength, frame, ipStart))
        return false;
    const std::uint8_t* ip = frame + ipStart;
    std::size_t ipHeaderLength = 0;
    if ((ip[0] >> 4) == 4) {
        // A later fragment holds no UDP header.
        if (ip[9] != kProtocolUdp || (Load16(ip + 6) & 0x1FFF) != 0)
            return false;
        ipHeaderLength = static_cast<std::size_t>(ip[0] & 0x0F) * 4;
        if (ipHeaderLength < kMinimumHeaderLength)
            return false;
        std::uint32_t source;
        std::uint32_t destination;
        std::memcpy(&source, ip + 12, 4);
        std::memcpy(&destination, ip + 16, 4);
        view.sourceAddress = IpAddress::FromIpv4Word(source);
        view.destinationAddress = IpAddress::FromIpv4Word(destination);
    } else if ((ip[0] >> 4) == 6) {
        if (capturedLength < ipStart + kIpv6HeaderLength ||
            std::memcmp(ip + 8, kIpv4MappedPrefix, 12) == 0 ||
            std::memcmp(ip + 24, kIpv4MappedPrefix, 12) == 0)
            return false;
        ipHeaderLength = kIpv6HeaderLength;
        std::uint8_t next = ip[6];
        for (int walked = 0; next != kProtocolUdp; ++walked) {
            if (walked == kMaxExtensionHeaders || capturedLength < ipStart + ipHeaderLength + 8)
                return false;
            const std::uint8_t* header = ip + ipHeaderLength;
            const std::size_t length = ExtensionHeaderLength(next, header);
            if (length == 0)
                return false;
            next = header[0];
            ipHeaderLength += length;
        }
        view.sourceAddress = IpAddress::FromIpv6(ip + 8);
        view.destinationAddress = IpAddress::FromIpv6(ip + 24);
    } else {
        return false;
    }
    const std::size_t headers = ipStart + ipHeaderLength + kUdpHeaderLength;
    if (capturedLength < headers)
        return false;
    const std::uint8_t* udp = ip + ipHeaderLength;
    // The UDP length counts its header; 0 (a jumbogram) says nothing.
    const std::size_t udpLength = Load16(udp + 4);
    if (udpLength != 0 && udpLength < kUdpHeaderLength)
        return false;
    const std::size_t captured = capturedLength - headers;
    const std::size_t announced = udpLength != 0 ? udpLength - kUdpHeaderLength : captured;
    view.sourcePort = Load16(udp);
    view.destinationPort = Load16(udp + 2);
    view.payload = frame + headers;
    view.length = captured < announced ? captured : announced;
    view.cut = captured < announced;
    return true;
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
#define PELNIX_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Where in the 32 bytes at `at` the marker's first two bytes stand.
PELNIX_AVX2 __m256i PairsAvx2(const std::uint8_t* at, __m256i first, __m256i second) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
    return _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, second));
}

// The first candidate of one 32-byte block whose other bytes match too, or null; `past` is set
// when a candidate lies beyond `lastStart`, which ends the search.
PELNIX_AVX2 const std::uint8_t* CheckAvx2(const std::uint8_t* at, __m256i pairs,
                                          const std::uint8_t* lastStart, const char* marker,
                                          std::size_t n, bool& past, std::uint32_t keep = ~0u) {
    auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(pairs)) & keep;
    while (mask != 0) {
        const std::uint8_t* candidate = at + __builtin_ctz(mask);
        if (candidate > lastStart) {
            past = true;
            return nullptr;
        }
        if (std::memcmp(candidate + 2, marker + 2, n - 2) == 0)
            return candidate;
        mask &= mask - 1;
    }
    return nullptr;
}

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
    const std::uint8_t* const start = cursor;
    bool past = false;
    // Two blocks per step: in media bodies nearly every step finds no candidate at all, and
    // one test for both halves keeps that step short.
    while (end - cursor >= 65) {
        const __m256i low = PairsAvx2(cursor, first, second);
        const __m256i high = PairsAvx2(cursor + 32, first, second);
        const __m256i both = _mm256_or_si256(low, high);
        if (!_mm256_testz_si256(both, both)) {
            if (const std::uint8_t* hit = CheckAvx2(cursor, low, lastStart, marker, n, past))
                return hit;
            if (past)
                return nullptr;
            if (const std::uint8_t* hit = CheckAvx2(cursor + 32, high, lastStart, marker, n, past))
                return hit;
            if (past)
                return nullptr;
        }
        cursor += 64;
    }
    while (end - cursor >= 33) {
        const __m256i pairs = PairsAvx2(cursor, first, second);
        if (const std::uint8_t* hit = CheckAvx2(cursor, pairs, lastStart, marker, n, past))
            return hit;
        if (past)
            return nullptr;
        cursor += 32;
    }
    if (cursor > lastStart)
        return nullptr;
    if (end - start < 33)
        return ScanPlain(cursor, lastStart, marker, n);
    // The rest, fewer than 33 bytes: one more block that ends where the range does, its
    // positions before `cursor` (checked already) left out.
    const std::uint8_t* const tail = end - 33;
    const auto checked = static_cast<unsigned>(cursor - tail);  // 1 to 31
    return CheckAvx2(tail, PairsAvx2(tail, first, second), lastStart, marker, n, past,
                     ~((1u << checked) - 1));
}
#undef PELNIX_AVX2

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
        // At most three digits: a fourth is not part of this number.
        std::size_t digits = 0;
        const std::uint64_t value = LeadingDecimal(text.substr(position, 3), digits);
        position += digits;
        if (digits == 0 || value > 255)
            return std::nullopt;
        address[part] = static_cast<std::uint8_t>(value);
    }
    if (position != text.size())
        return std::nullopt;
    return address;
}

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
    if (const auto v4 = ParseIpv4Address(text))
        return IpAddress(*v4);
    char buffer[INET6_ADDRSTRLEN + 1] = {};
    if (text.empty() || text.size() >= sizeof buffer)
        return std::nullopt;
    text.copy(buffer, text.size());
    std::uint8_t bytes[16];
    if (inet_pton(AF_INET6, buffer, bytes) != 1)
        return std::nullopt;
    return IpAddress::FromIpv6(bytes);
}
