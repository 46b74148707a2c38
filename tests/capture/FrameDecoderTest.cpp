#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FrameBuilder.h"
#include "capture/FrameDecoder.h"

namespace {

const Ipv4Address kLocal{10, 0, 0, 2};

}  // namespace

TEST(DecodeFrame, PayloadOffsetsFollowTheAnnouncedHeaderLengths) {
    struct Case {
        const char* name;
        int ipWords;
        std::uint8_t tcpByte12;
        std::size_t payloadSize;
        std::size_t padTo;
        std::size_t expectedOffset;
        std::size_t expectedRaw;
    };
    const Case cases[] = {
        {"plain headers", 5, 0x50, 10, 0, 54, 10},
        {"IPv4 options", 6, 0x50, 10, 0, 58, 10},
        {"reserved bits set, 32-byte TCP header", 5, 0x8C, 10, 0, 14 + 20 + 32, 10},
        {"largest headers", 15, 0xF0, 3, 0, 14 + 60 + 60, 3},
        // A bare acknowledgement in a 60-byte frame: the link padding counts as payload.
        {"padding of a short frame", 5, 0x50, 0, 60, 54, 6},
    };
    for (const Case& c : cases) {
        FrameSpec spec;
        spec.ipHeaderWords = c.ipWords;
        spec.tcpByte12 = c.tcpByte12;
        spec.payload = std::string(c.payloadSize, 'p');
        spec.padTo = c.padTo;
        const auto frame = BuildFrame(spec);
        const auto view = DecodeFrame(frame.size(), frame.data(), kLocal);
        ASSERT_TRUE(view) << c.name;
        EXPECT_EQ(view->payload - frame.data(), static_cast<std::ptrdiff_t>(c.expectedOffset))
            << c.name;
        EXPECT_EQ(view->rawLength, c.expectedRaw) << c.name;
        EXPECT_EQ(view->scanLength, c.expectedRaw) << c.name;
    }
}

TEST(DecodeFrame, AddressesPortsAndDirection) {
    FrameSpec spec;
    spec.source = {192, 168, 1, 5};
    spec.destination = {10, 9, 8, 7};
    spec.sourcePort = 0x1234;
    spec.destinationPort = 0xABCD;
    auto frame = BuildFrame(spec);
    auto view = DecodeFrame(frame.size(), frame.data(), Ipv4Address{192, 168, 1, 5});
    ASSERT_TRUE(view);
    EXPECT_EQ(view->sourceAddress, (Ipv4Address{192, 168, 1, 5}));
    EXPECT_EQ(view->destinationAddress, (Ipv4Address{10, 9, 8, 7}));
    // Ports stay as captured, in network order.
    EXPECT_EQ(view->sourcePort, htons(0x1234));
    EXPECT_EQ(view->destinationPort, htons(0xABCD));
    EXPECT_TRUE(view->outgoing);

    // All four bytes must match; traffic between two other hosts counts as incoming.
    for (const Ipv4Address local :
         {Ipv4Address{192, 168, 1, 6}, Ipv4Address{193, 168, 1, 5}, Ipv4Address{10, 9, 8, 7}}) {
        view = DecodeFrame(frame.size(), frame.data(), local);
        ASSERT_TRUE(view);
        EXPECT_FALSE(view->outgoing);
    }
}

TEST(DecodeFrame, ScanLengthStopsAt8192) {
    FrameSpec spec;
    spec.payload = std::string(20000, 'b');
    const auto frame = BuildFrame(spec);
    const auto view = DecodeFrame(frame.size(), frame.data(), kLocal);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->rawLength, 20000u);
    EXPECT_EQ(view->scanLength, 8192u);
}

TEST(DecodeFrame, HostileFramesAreDroppedWithoutReadingPastTheCapture) {
    struct Case {
        const char* name;
        FrameSpec spec;
        std::size_t capturedLength;  // 0: the whole frame
    };
    FrameSpec base;
    base.payload = "GET /x HTTP/1.1\r\n\r\n";
    auto with = [&](auto change) {
        FrameSpec s = base;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"IPv6 version nibble", with([](FrameSpec& s) { s.ipVersion = 6; }), 0},
        {"IPv4 header length 16", with([](FrameSpec& s) { s.ipHeaderWords = 4; }), 0},
        {"IPv4 header length 0", with([](FrameSpec& s) { s.ipHeaderWords = 0; }), 0},
        {"TCP header length 16", with([](FrameSpec& s) { s.tcpByte12 = 0x40; }), 0},
        {"UDP", with([](FrameSpec& s) { s.protocol = 17; }), 0},
        {"cut inside the Ethernet header", base, 10},
        {"cut inside the IPv4 header", base, 14 + 19},
        {"cut inside the TCP header", base, 14 + 20 + 19},
        // The IPv4 header claims 60 bytes but only 40 were captured after it.
        {"IPv4 options past the capture", with([](FrameSpec& s) { s.ipHeaderWords = 15; }),
         14 + 40},
        {"TCP options past the capture", with([](FrameSpec& s) { s.tcpByte12 = 0xF0; }),
         14 + 20 + 40},
    };
    for (const Case& c : cases) {
        const auto frame = BuildFrame(c.spec);
        const std::size_t length = c.capturedLength == 0 ? frame.size() : c.capturedLength;
        // A copy of exactly the captured bytes, so that ASan sees any read past them.
        const std::vector<std::uint8_t> captured(frame.begin(), frame.begin() + length);
        EXPECT_FALSE(DecodeFrame(captured.size(), captured.data(), kLocal)) << c.name;
    }
    EXPECT_FALSE(DecodeFrame(0, nullptr, kLocal));
}

TEST(FindMarker, RangeAndPayloadEndRules) {
    const std::string payload = "xxGET yyGET";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    struct Case {
        const char* name;
        std::string_view text;  // the payload
        std::string_view marker;
        std::size_t from;
        std::size_t length;
        std::size_t expected;
    };
    const Case cases[] = {
        {"range of exactly the marker finds nothing", "GET ", "GET ", 0, 4, kNotFound},
        {"range of marker + 1 tests offset 0", "GET x", "GET ", 0, 5, 4},
        {"range of marker + 1 does not test offset 1", "xGET ", "GET ", 0, 5, kNotFound},
        {"occurrence ending at the range end is not found", "xxGET yy", "GET ", 0, 6, kNotFound},
        {"one byte after the occurrence is enough", "xxGET yy", "GET ", 0, 7, 6},
        {"range past the payload: occurrence ending at payload end found", "xxGET ", "GET ", 0, 100,
         6},
        {"range ending exactly at the payload end stays strict", "xxGET ", "GET ", 0, 6, kNotFound},
        {"search starts at from", "GET GET x", "GET ", 1, 8, 8},
        {"first occurrence wins", "a\r\nb\r\nc", "\r\n", 0, 7, 3},
        {"case-sensitive", "get x", "GET ", 0, 5, kNotFound},
        {"partial first-byte matches", "GGGGET x", "GET ", 0, 8, 7},
        {"from at the payload end", "GET ", "GET ", 4, 10, kNotFound},
        {"from past the payload end", "GET ", "GET ", 9, 10, kNotFound},
        {"zero length", "GET x", "GET ", 0, 0, kNotFound},
        {"marker longer than the payload", "GE", "GET ", 0, 100, kNotFound},
        {"begins-with at the last three bytes", "xxFLV", "FLV", 2, 4, 5},
        {"begins-with with two bytes left", "xxxFL", "FLV", 3, 4, kNotFound},
    };
    for (const Case& c : cases) {
        // Copy into a buffer of exactly the payload's size so that ASan catches an overread.
        std::vector<std::uint8_t> buffer(c.text.begin(), c.text.end());
        EXPECT_EQ(FindMarker(c.marker, buffer.data(), buffer.size(), c.from, c.length), c.expected)
            << c.name;
    }
    // Huge lengths (twice the scan window and more) must not overflow the range end.
    EXPECT_EQ(FindMarker("GET", bytes, payload.size(), 3, static_cast<std::size_t>(-1)), 11u);
}

TEST(FindMarker, FirstSearchesSeeOnlyTheScanWindow) {
    std::string payload(20000, 'b');
    payload.replace(9000, 4, "HTTP");
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    EXPECT_EQ(FindMarker("HTTP", bytes, payload.size(), 0, kScanWindow), kNotFound);
    EXPECT_EQ(FindMarker("HTTP", bytes, payload.size(), 0, payload.size()), 9004u);
    payload.replace(8187, 4, "HTTP");  // ends at 8191: one byte of the window follows
    EXPECT_EQ(FindMarker("HTTP", bytes, payload.size(), 0, kScanWindow), 8191u);
}

TEST(ParseIpv4Address, AcceptsOnlyDottedQuads) {
    EXPECT_EQ(ParseIpv4Address("10.1.2.3"), (Ipv4Address{10, 1, 2, 3}));
    EXPECT_EQ(ParseIpv4Address("255.255.255.0"), (Ipv4Address{255, 255, 255, 0}));
    for (const char* bad :
         {"", "10.1.2", "10.1.2.3.4", "256.1.1.1", "1.2.3.4 ", "a.b.c.d", "1..2.3", "1.2.3.0004"}) {
        EXPECT_FALSE(ParseIpv4Address(bad)) << bad;
    }
}

// The vector scan must agree with the plain definition everywhere: near its block edges, at
// the range end and at the payload end. Checked against a byte-by-byte model on payloads made
// of the marker's own letters, so that partial and overlapping matches are frequent.
TEST(FindMarker, AgreesWithAPlainModel) {
    const auto model = [](std::string_view marker, const std::vector<std::uint8_t>& payload,
                          std::size_t from, std::size_t length) -> std::size_t {
        const std::size_t n = marker.size();
        for (std::size_t p = from; p < payload.size(); ++p) {
            const bool inRange = length > payload.size() - from
                                     ? p + n <= payload.size()
                                     : p + n < from + length;  // strict at the range end
            if (!inRange)
                break;
            if (std::memcmp(payload.data() + p, marker.data(), n) == 0)
                return p + n;
        }
        return kNotFound;
    };
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const std::string_view markers[] = {"HTTP", "GET ", "\r\n\r\n", "\r\n", "FLV", " "};
    for (int round = 0; round < 40000; ++round) {
        const std::string_view marker = markers[next() % 6];
        const std::string alphabet = std::string(marker) + "x";
        const std::size_t size = next() % 200;
        // Each payload in its own allocation of exactly its size, so that ASan sees overreads.
        std::vector<std::uint8_t> payload(size);
        for (auto& byte : payload) {
            byte = static_cast<std::uint8_t>(alphabet[next() % alphabet.size()]);
        }
        const std::size_t from = size == 0 ? 0 : next() % (size + 1);
        const std::size_t length = next() % 3 == 0 ? 2 * size + 1 : next() % (size + 2);
        ASSERT_EQ(FindMarker(marker, payload.data(), payload.size(), from, length),
                  model(marker, payload, from, length))
            << "round " << round << " size " << size << " from " << from << " length " << length
            << " marker '" << marker << "'";
    }
}
