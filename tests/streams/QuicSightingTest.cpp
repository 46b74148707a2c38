// QUIC long-header packets to port 443 are known by the capture filter of the stream engine and
// by their first bytes; nothing else is, and the filter still takes every TCP frame it took.
// HTTPS that carries media without a key log is known by its records and its size.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/PacketSniffer.h"
#include "streams/QuicSighting.h"
#include "streams/TlsSighting.h"
#include "support/FrameBuilder.h"

namespace {

struct Datagram {
    bool ipv6 = false;
    std::uint16_t port = 443;
    std::string payload;
    std::vector<std::uint16_t> vlanTags;
    std::uint16_t fragmentOffset = 0;
};

std::vector<std::uint8_t> UdpFrame(const Datagram& d) {
    const IpAddress client = d.ipv6 ? Ipv6("fd00::2") : IpAddress(Ipv4Address{10, 0, 0, 2});
    const IpAddress server = d.ipv6 ? Ipv6("fd00::1") : IpAddress(Ipv4Address{10, 0, 0, 1});
    return BuildUdpFrame(client, server, 49153, d.port, d.payload, d.vlanTags, d.fragmentOffset);
}

// A client's Initial: long header, fixed bit, version, connection ids, padding to 1200 bytes.
std::string Initial(std::uint8_t flags = 0xC3, std::string version = std::string("\0\0\0\1", 4),
                    std::uint8_t idLength = 8) {
    std::string packet(1, static_cast<char>(flags));
    packet += version;
    packet += static_cast<char>(idLength);
    packet += std::string(idLength, 'd');
    packet += '\0';
    packet.resize(1200, '\x11');
    return packet;
}

bool FilterTakes(const std::vector<std::uint8_t>& frame) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, kWholeFrameSnapshotLength);
    bpf_program program;
    const std::string filter = StreamCaptureFilter();
    EXPECT_EQ(pcap_compile(dead, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN), 0)
        << pcap_geterr(dead);
    pcap_pkthdr header{};
    header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
    const bool taken = pcap_offline_filter(&program, &header, frame.data()) != 0;
    pcap_freecode(&program);
    pcap_close(dead);
    return taken;
}

}  // namespace

TEST(QuicSighting, LongHeadersToPort443AreKnownAndNothingElse) {
    struct Case {
        const char* what;
        Datagram datagram;
        bool filtered;
        bool quic;
    };
    const Case cases[] = {
        {"an Initial over IPv4", {false, 443, Initial(), {}, 0}, true, true},
        {"an Initial over IPv6", {true, 443, Initial(), {}, 0}, true, true},
        {"QUIC version 2", {false, 443, Initial(0xD1, "\x6b\x33\x43\xcf"), {}, 0}, true, true},
        {"a short-header packet", {false, 443, Initial(0x43), {}, 0}, false, false},
        {"a version negotiation",
         {false, 443, Initial(0xC0, std::string(4, '\0')), {}, 0},
         true,
         false},
        {"no fixed bit", {false, 443, Initial(0x83), {}, 0}, true, false},
        {"a connection id of 21 bytes",
         {false, 443, Initial(0xC3, "\0\0\0\1", 21), {}, 0},
         true,
         false},
        {"another port", {false, 4433, Initial(), {}, 0}, false, false},
        {"cut after the version", {false, 443, Initial().substr(0, 5), {}, 0}, true, false},
        {"a later IPv4 fragment", {false, 443, Initial(), {}, 100}, false, false},
        {"an Initial behind a VLAN tag", {false, 443, Initial(), {0x8100}, 0}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto frame = UdpFrame(c.datagram);
        EXPECT_EQ(IsQuicLongHeader(frame.data(), frame.size()), c.quic);
        EXPECT_EQ(FilterTakes(frame), c.filtered);
        // Cut anywhere before the source connection id's length: not known.
        const std::size_t headerEnd = frame.size() - c.datagram.payload.size() + 15;
        for (std::size_t cut = 0; cut < headerEnd && c.quic; ++cut)
            EXPECT_FALSE(IsQuicLongHeader(frame.data(), cut)) << cut;
    }
    // The filter still takes TCP, over IPv6, and behind one and two VLAN tags.
    FrameLayout tcp = ClientToServer(Ipv4Address{10, 0, 0, 2}, Ipv4Address{10, 0, 0, 7}, 40000,
                                     "GET / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(FilterTakes(BuildFrame(tcp)));
    EXPECT_FALSE(IsQuicLongHeader(BuildFrame(tcp).data(), BuildFrame(tcp).size()));
    tcp.vlanTags = {0x8100};
    EXPECT_TRUE(FilterTakes(BuildFrame(tcp)));
    tcp.vlanTags = {0x88A8, 0x8100};
    EXPECT_TRUE(FilterTakes(BuildFrame(tcp)));
    tcp.vlanTags = {};
    tcp.source = Ipv6("fd00::2");
    tcp.destination = Ipv6("fd00::7");
    EXPECT_TRUE(FilterTakes(BuildFrame(tcp)));
}

// Without a key log: an HTTPS connection whose server sends more than a megabyte after its
// first application data record is told once; a small one, plain HTTP or a connection first
// seen in the middle of a record is not, and the table of connections stays bounded.
TEST(TlsSighting, MediaSizedHttpsIsToldOnceAndNothingElse) {
    const IpAddress server(Ipv4Address{10, 0, 0, 1});
    const IpAddress client(Ipv4Address{10, 0, 0, 2});
    const auto port = [](std::uint16_t host) {
        const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(host >> 8),
                                       static_cast<std::uint8_t>(host)};
        std::uint16_t captured;
        std::memcpy(&captured, bytes, 2);
        return captured;
    };
    // A full-size segment as a cut capture holds it: its first bytes, its length on the wire.
    const std::string record("\x17\x03\x03\x40\x11", 5);
    const std::string middle(5, '\x5a');
    const auto segment = [&](const std::string& head, std::uint16_t from, std::uint16_t to) {
        PacketView packet;
        packet.sourceAddress = server;
        packet.destinationAddress = client;
        packet.sourcePort = port(from);
        packet.destinationPort = port(to);
        packet.payload = reinterpret_cast<const std::uint8_t*>(head.data());
        packet.rawLength = packet.scanLength = head.size();
        packet.wireLength = 1448;
        return packet;
    };
    const std::size_t overAMegabyte = TlsSighting::kMediaSizedBytes / 1448 + 1;
    struct Case {
        const char* what;
        std::uint16_t serverPort;
        const std::string* first;
        std::size_t segments;
        bool told;
    };
    const Case cases[] = {
        {"a media-sized answer", 443, &record, overAMegabyte, true},
        {"a small answer", 443, &record, overAMegabyte - 1, false},
        {"plain HTTP", 80, &record, overAMegabyte, false},
        {"no record seen starting", 443, &middle, overAMegabyte, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TlsSighting sighting;
        int told = 0;
        told += sighting.Handle(segment(*c.first, c.serverPort, 50000));
        for (std::size_t i = 1; i < c.segments; ++i)
            told += sighting.Handle(segment(middle, c.serverPort, 50000));
        EXPECT_EQ(told, c.told ? 1 : 0);
        EXPECT_EQ(sighting.Seen(), c.told);
        told += sighting.Handle(segment(record, 443, 50001));
        EXPECT_EQ(told, c.told ? 1 : 0);
    }
    // Many small connections in between: the busy one keeps its place and its count.
    TlsSighting sighting;
    int told = 0;
    for (std::size_t i = 0; i < overAMegabyte; ++i) {
        told += sighting.Handle(segment(i == 0 ? record : middle, 443, 50000));
        told += sighting.Handle(segment(record, 443, static_cast<std::uint16_t>(51000 + i % 100)));
    }
    EXPECT_EQ(told, 1);
}
