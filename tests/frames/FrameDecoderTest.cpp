#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/FrameBuilder.h"
#include "frames/FrameDecoder.h"

namespace {

const LocalAddresses kLocal{Ipv4Address{10, 0, 0, 2}};

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
        FrameLayout layout;
        layout.ipHeaderWords = c.ipWords;
        layout.tcpByte12 = c.tcpByte12;
        layout.payload = std::string(c.payloadSize, 'p');
        layout.padTo = c.padTo;
        const auto frame = BuildFrame(layout);
        const auto view = DecodeFrame(frame.size(), frame.data(), kLocal);
        ASSERT_TRUE(view) << c.name;
        EXPECT_EQ(view->payload - frame.data(), static_cast<std::ptrdiff_t>(c.expectedOffset))
            << c.name;
        EXPECT_EQ(view->rawLength, c.expectedRaw) << c.name;
        EXPECT_EQ(view->scanLength, c.expectedRaw) << c.name;
    }
}

TEST(DecodeFrame, AddressesPortsAndDirection) {
    FrameLayout layout;
    layout.source = Ipv4Address{192, 168, 1, 5};
    layout.destination = Ipv4Address{10, 9, 8, 7};
    layout.sourcePort = 0x1234;
    layout.destinationPort = 0xABCD;
    auto frame = BuildFrame(layout);
    auto view = DecodeFrame(frame.size(), frame.data(), {Ipv4Address{192, 168, 1, 5}});
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
        view = DecodeFrame(frame.size(), frame.data(), {local});
        ASSERT_TRUE(view);
        EXPECT_FALSE(view->outgoing);
    }
}

TEST(DecodeFrame, ScanLengthStopsAt8192) {
    FrameLayout layout;
    layout.payload = std::string(20000, 'b');
    const auto frame = BuildFrame(layout);
    const auto view = DecodeFrame(frame.size(), frame.data(), kLocal);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->rawLength, 20000u);
    EXPECT_EQ(view->scanLength, 8192u);
}

TEST(DecodeFrame, HostileFramesAreDroppedWithoutReadingPastTheCapture) {
    struct Case {
        const char* name;
        FrameLayout layout;
        std::size_t capturedLength;  // 0: the whole frame
    };
    FrameLayout base;
    base.payload = "GET /x HTTP/1.1\r\n\r\n";
    auto with = [&](auto change) {
        FrameLayout s = base;
        change(s);
        return s;
    };
    const Case cases[] = {
        {"IP version 5", with([](FrameLayout& s) { s.ipVersion = 5; }), 0},
        {"IPv4 header length 16", with([](FrameLayout& s) { s.ipHeaderWords = 4; }), 0},
        {"IPv4 header length 0", with([](FrameLayout& s) { s.ipHeaderWords = 0; }), 0},
        {"TCP header length 16", with([](FrameLayout& s) { s.tcpByte12 = 0x40; }), 0},
        {"UDP", with([](FrameLayout& s) { s.protocol = 17; }), 0},
        {"IPv4 later fragment", with([](FrameLayout& s) { s.fragmentOffset = 185; }), 0},
        {"cut inside the Ethernet header", base, 10},
        {"cut inside the IPv4 header", base, 14 + 19},
        {"cut inside the TCP header", base, 14 + 20 + 19},
        // The IPv4 header claims 60 bytes but only 40 were captured after it.
        {"IPv4 options past the capture", with([](FrameLayout& s) { s.ipHeaderWords = 15; }),
         14 + 40},
        {"TCP options past the capture", with([](FrameLayout& s) { s.tcpByte12 = 0xF0; }),
         14 + 20 + 40},
    };
    for (const Case& c : cases) {
        const auto frame = BuildFrame(c.layout);
        const std::size_t length = c.capturedLength == 0 ? frame.size() : c.capturedLength;
        // A copy of exactly the captured bytes, so that ASan sees any read past them.
        const std::vector<std::uint8_t> captured(frame.begin(), frame.begin() + length);
        EXPECT_FALSE(DecodeFrame(captured.size(), captured.data(), kLocal)) << c.name;
    }
    EXPECT_FALSE(DecodeFrame(0, nullptr, kLocal));
}

namespace {

const IpAddress kLocal6 = Ipv6("fd00:1::2");
const IpAddress kRemote6 = Ipv6("fd00:1::7");

FrameLayout Ipv6Request() {
    FrameLayout layout;
    layout.source = kLocal6;
    layout.destination = kRemote6;
    layout.payload = "GET /x HTTP/1.1\r\n\r\n";
    return layout;
}

}  // namespace

TEST(DecodeFrame, SequenceNumbersAndFlagsInHostOrder) {
    struct Case {
        bool ipv6;
        std::uint32_t sequence;
        std::uint32_t acknowledgement;
        std::uint8_t flags;
    };
    const Case cases[] = {
        {false, 0x01020304, 0xA0B0C0D0, kTcpSyn},
        {false, 0xFFFFFFFF, 0, kTcpSyn | kTcpAck},
        {true, 0x80000000, 0x7FFFFFFF, kTcpFin | kTcpAck},
        {true, 1, 2, kTcpRst},
    };
    for (const Case& c : cases) {
        FrameLayout layout = c.ipv6 ? Ipv6Request() : FrameLayout{};
        layout.sequence = c.sequence;
        layout.acknowledgement = c.acknowledgement;
        layout.tcpFlags = c.flags;
        const auto frame = BuildFrame(layout);
        const auto view = DecodeFrame(frame.size(), frame.data(), kLocal);
        ASSERT_TRUE(view);
        EXPECT_EQ(view->sequence, c.sequence);
        EXPECT_EQ(view->acknowledgement, c.acknowledgement);
        EXPECT_EQ(view->tcpFlags, c.flags);
    }
}

TEST(DecodeFrame, VlanTagsAndIpv6ExtensionHeaders) {
    struct Case {
        const char* name;
        bool ipv6;
        std::vector<std::uint16_t> tags;
        std::vector<std::uint8_t> extensions;
        std::size_t expectedOffset;
    };
    const Case cases[] = {
        {"IPv4, 802.1Q", false, {0x8100}, {}, 18 + 20 + 20},
        {"IPv4, QinQ", false, {0x88A8, 0x8100}, {}, 22 + 20 + 20},
        {"IPv4, old QinQ type", false, {0x9100, 0x8100}, {}, 22 + 20 + 20},
        {"IPv6", true, {}, {}, 14 + 40 + 20},
        {"IPv6, 802.1Q", true, {0x8100}, {}, 18 + 40 + 20},
        {"IPv6, hop-by-hop, routing, destination options", true, {}, {0, 43, 60}, 14 + 64 + 20},
        {"IPv6, first fragment", true, {}, {44}, 14 + 48 + 20},
        {"IPv6, authentication header", true, {}, {51}, 14 + 52 + 20},
        {"IPv6, QinQ, eight extension headers",
         true,
         {0x88A8, 0x8100},
         {0, 60, 43, 60, 43, 60, 43, 44},
         22 + 104 + 20},
    };
    for (const Case& c : cases) {
        FrameLayout layout = c.ipv6 ? Ipv6Request() : FrameLayout{};
        layout.payload = "GET /x HTTP/1.1\r\n\r\n";
        layout.sourcePort = 0x1234;
        layout.vlanTags = c.tags;
        layout.extensionHeaders = c.extensions;
        const auto frame = BuildFrame(layout);
        const LocalAddresses local{c.ipv6 ? kLocal6 : IpAddress(Ipv4Address{10, 0, 0, 2})};
        const auto view = DecodeFrame(frame.size(), frame.data(), local);
        ASSERT_TRUE(view) << c.name;
        EXPECT_EQ(view->payload - frame.data(), static_cast<std::ptrdiff_t>(c.expectedOffset))
            << c.name;
        EXPECT_EQ(view->rawLength, layout.payload.size()) << c.name;
        EXPECT_EQ(view->wireLength, layout.payload.size()) << c.name;
        EXPECT_EQ(view->sourceAddress, layout.source) << c.name;
        EXPECT_EQ(view->destinationAddress, layout.destination) << c.name;
        EXPECT_EQ(view->sourcePort, htons(0x1234)) << c.name;
        EXPECT_TRUE(view->outgoing) << c.name;
    }
}

TEST(DecodeFrame, HostileTaggedAndIpv6FramesAreDroppedWithoutReadingPastTheCapture) {
    struct Case {
        const char* name;
        FrameLayout layout;
        std::size_t capturedLength;                                      // 0: the whole frame
        std::function<void(std::vector<std::uint8_t>&)> edit = nullptr;  // of the built frame
    };
    const auto v6 = [](auto change) {
        FrameLayout s = Ipv6Request();
        change(s);
        return s;
    };
    const auto v4 = [](auto change) {
        FrameLayout s;
        s.payload = "GET /x HTTP/1.1\r\n\r\n";
        change(s);
        return s;
    };
    const Case cases[] = {
        {"three VLAN tags", v4([](FrameLayout& s) {
             s.vlanTags = {0x88A8, 0x8100, 0x8100};
         }),
         0},
        {"cut inside a tag", v4([](FrameLayout& s) { s.vlanTags = {0x8100}; }), 14 + 3},
        {"cut after the tags", v4([](FrameLayout& s) {
             s.vlanTags = {0x88A8, 0x8100};
         }),
         22 + 19},
        {"IPv6 cut inside the fixed header", Ipv6Request(), 14 + 39},
        {"IPv6 cut inside the TCP header", Ipv6Request(), 14 + 40 + 19},
        {"IPv6 cut inside an extension header",
         v6([](FrameLayout& s) { s.extensionHeaders = {0}; }), 14 + 40 + 7},
        // A hop-by-hop header that claims 2048 bytes, of which the capture holds 8.
        {"IPv6 extension header longer than the capture",
         v6([](FrameLayout& s) { s.extensionHeaders = {0}; }), 0,
         [](std::vector<std::uint8_t>& f) { f[14 + 40 + 1] = 0xFF; }},
        {"IPv6 nine extension headers",
         v6([](FrameLayout& s) { s.extensionHeaders = {0, 60, 43, 60, 43, 60, 43, 60, 43}; }), 0},
        {"IPv6 later fragment", v6([](FrameLayout& s) {
             s.extensionHeaders = {44};
             s.fragmentOffset = 185;
         }),
         0},
        {"IPv6 encrypted payload", v6([](FrameLayout& s) { s.protocol = 50; }), 0},
        {"IPv6 no next header", v6([](FrameLayout& s) { s.protocol = 59; }), 0},
        {"IPv6 UDP after an extension header", v6([](FrameLayout& s) {
             s.extensionHeaders = {60};
             s.protocol = 17;
         }),
         0},
        {"IPv6 IPv4-mapped source", Ipv6Request(), 0,
         [](std::vector<std::uint8_t>& f) {
             const IpAddress mapped(Ipv4Address{10, 0, 0, 2});
             std::memcpy(f.data() + 14 + 8, mapped.bytes.data(), 16);
         }},
        {"IPv6 TCP header length 16", v6([](FrameLayout& s) { s.tcpByte12 = 0x40; }), 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> frame = BuildFrame(c.layout);
        if (c.edit)
            c.edit(frame);
        const std::size_t length = c.capturedLength == 0 ? frame.size() : c.capturedLength;
        // A copy of exactly the captured bytes, so that ASan sees any read past them.
        const std::vector<std::uint8_t> captured(frame.begin(), frame.begin() + length);
        EXPECT_FALSE(DecodeFrame(captured.size(), captured.data(), {kLocal6})) << c.name;
    }
}

TEST(DecodeFrame, WireLengthComesFromTheIpHeader) {
    struct Case {
        const char* name;
        FrameLayout layout;
        std::size_t captured;     // bytes of the frame captured (0: all)
        std::size_t frameLength;  // the capture's wire length (0: none given)
        std::size_t raw;
        std::size_t wire;
        std::function<void(std::vector<std::uint8_t>&)> edit = nullptr;
    };
    FrameLayout body;
    body.payload = std::string(1000, 'b');
    FrameLayout ack;
    ack.padTo = 60;
    FrameLayout body6 = Ipv6Request();
    body6.payload = std::string(1000, 'b');
    body6.extensionHeaders = {0, 44};
    const Case cases[] = {
        {"whole frame", body, 0, 0, 1000, 1000},
        {"cut by the snapshot", body, 14 + 20 + 20 + 100, 0, 100, 1000},
        {"bare acknowledgement, padded", ack, 0, 0, 6, 0},
        {"IPv6 with extension headers, cut", body6, 14 + 56 + 20 + 10, 0, 10, 1000},
        // A segment the adapter cuts up itself, captured on its way out, has total length 0.
        {"IPv4 length 0: the capture's frame length", body, 14 + 20 + 20 + 10, 4000, 10, 4000 - 54,
         [](std::vector<std::uint8_t>& f) { f[14 + 2] = f[14 + 3] = 0; }},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> frame = BuildFrame(c.layout);
        if (c.edit)
            c.edit(frame);
        const std::size_t length = c.captured == 0 ? frame.size() : c.captured;
        const std::vector<std::uint8_t> captured(frame.begin(), frame.begin() + length);
        const auto view = DecodeFrame(captured.size(), captured.data(), {kLocal6}, c.frameLength);
        ASSERT_TRUE(view) << c.name;
        EXPECT_EQ(view->rawLength, c.raw) << c.name;
        EXPECT_EQ(view->wireLength, c.wire) << c.name;
    }
}

TEST(LocalAddresses, BothFamiliesBoundedWithoutDuplicates) {
    LocalAddresses local{Ipv4Address{10, 0, 0, 2}, kLocal6};
    EXPECT_TRUE(local.Contains(Ipv4Address{10, 0, 0, 2}));
    EXPECT_TRUE(local.Contains(kLocal6));
    EXPECT_FALSE(local.Contains(Ipv4Address{10, 0, 0, 3}));
    EXPECT_FALSE(local.Contains(kRemote6));
    // The IPv4 address written as IPv6 is another address.
    EXPECT_FALSE(local.Contains(Ipv6("::a00:2")));
    EXPECT_FALSE(local.Add(Ipv4Address{10, 0, 0, 2}));
    for (std::uint8_t i = 0; i < 40; ++i) local.Add(Ipv4Address{192, 168, 0, i});
    EXPECT_TRUE(local.Contains(Ipv4Address{192, 168, 0, 30}));   // the 32nd IPv4 address
    EXPECT_FALSE(local.Contains(Ipv4Address{192, 168, 0, 31}));  // past the bound
    EXPECT_TRUE(local.Contains(kLocal6));
    EXPECT_EQ(local.All().size(), LocalAddresses::kMaxPerFamily + 1);
    EXPECT_EQ(local.All().front(), IpAddress(Ipv4Address{10, 0, 0, 2}));
}

TEST(ParseIpAddress, EitherFamilyAndItsText) {
    struct Case {
        const char* text;
        const char* written;  // AddressText of the result; null when the text is refused
    };
    const Case cases[] = {
        {"10.1.2.3", "10.1.2.3"},
        {"fd00:0:0:0:0:0:0:1", "fd00::1"},
        {"FE80::A", "fe80::a"},
        {"::ffff:10.1.2.3", "10.1.2.3"},
        {"2001:db8::1:0:0:1", "2001:db8::1:0:0:1"},
        {"", nullptr},
        {"fd00::1::2", nullptr},
        {"[fd00::1]", nullptr},
        {"fd00::1%eth0", nullptr},
        {"10.1.2", nullptr},
        {"fd00:1:2:3:4:5:6:7:8", nullptr},
    };
    for (const Case& c : cases) {
        const auto address = ParseIpAddress(c.text);
        if (c.written == nullptr) {
            EXPECT_FALSE(address) << c.text;
        } else {
            ASSERT_TRUE(address) << c.text;
            EXPECT_EQ(AddressText(*address), c.written);
        }
    }
    EXPECT_FALSE(ParseIpAddress(std::string(100, '1')));
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
        // The begins-with test is that search over marker-size + 1 bytes.
        ASSERT_EQ(BeginsWith(marker, payload.data(), payload.size(), from),
                  model(marker, payload, from, marker.size() + 1) != kNotFound)
            << "round " << round << " size " << size << " from " << from;
    }
}
