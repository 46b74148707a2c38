// Builds Ethernet II frames (VLAN tags, IPv4 or IPv6 with extension headers, TCP) and capture
// files for the capture tests.
#pragma once

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frames/FrameDecoder.h"

struct FrameLayout {
    // IPv4 addresses give an IPv4 frame, IPv6 addresses an IPv6 frame.
    IpAddress source{Ipv4Address{10, 0, 0, 2}};
    IpAddress destination{Ipv4Address{10, 0, 0, 7}};
    std::uint16_t sourcePort = 40000;  // host order; written in network order
    std::uint16_t destinationPort = 80;
    std::string payload;
    int ipHeaderWords = 5;          // IPv4 header length in 32-bit words
    std::uint8_t tcpByte12 = 0x50;  // data offset in the upper four bits
    std::size_t padTo = 0;          // link-layer padding up to this frame length
    std::uint8_t ipVersion = 0;     // 0: as the addresses say; otherwise written as given
    std::uint8_t protocol = 6;
    // VLAN tag types in front of the IP header, outermost first (0x8100, 0x88A8).
    std::vector<std::uint16_t> vlanTags;
    // IPv6 extension headers in front of the TCP header, as their protocol numbers: 0, 43, 60
    // give 8-byte headers, 44 a fragment header of `fragmentOffset`, 51 a 12-byte header.
    std::vector<std::uint8_t> extensionHeaders;
    std::uint16_t fragmentOffset = 0;  // in 8-byte units (IPv6 fragment header, or IPv4)
    std::uint32_t sequence = 0;        // TCP sequence and acknowledgement numbers, host order
    std::uint32_t acknowledgement = 0;
    std::uint8_t tcpFlags = 0x18;  // PSH, ACK
};

inline IpAddress Ipv6(std::string_view text) {
    std::uint8_t bytes[16] = {};
    inet_pton(AF_INET6, std::string(text).c_str(), bytes);
    return IpAddress::FromIpv6(bytes);
}

inline void Store16(std::uint8_t* at, std::size_t value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

inline void Store32(std::uint8_t* at, std::uint32_t value) {
    Store16(at, value >> 16);
    Store16(at + 2, value & 0xFFFF);
}

inline std::vector<std::uint8_t> BuildFrame(const FrameLayout& layout) {
    const bool ipv6 = !layout.source.IsIpv4();
    std::vector<std::uint8_t> extensions;
    std::uint8_t firstNext = layout.protocol;
    for (std::size_t i = 0; i < layout.extensionHeaders.size(); ++i) {
        const std::uint8_t kind = layout.extensionHeaders[i];
        const std::uint8_t next = i + 1 < layout.extensionHeaders.size()
                                      ? layout.extensionHeaders[i + 1]
                                      : layout.protocol;
        std::vector<std::uint8_t> header(kind == 51 ? 12 : 8, 0);
        header[0] = next;
        if (kind == 51)
            header[1] = 1;  // (1 + 2) * 4 bytes
        if (kind == 44)
            Store16(header.data() + 2, static_cast<std::size_t>(layout.fragmentOffset) << 3);
        extensions.insert(extensions.end(), header.begin(), header.end());
        if (i == 0)
            firstNext = kind;
    }
    const std::size_t ipLength =
        ipv6 ? 40 + extensions.size() : static_cast<std::size_t>(layout.ipHeaderWords) * 4;
    const std::size_t tcpLength = static_cast<std::size_t>(layout.tcpByte12 >> 4) * 4;
    const std::size_t link = 14 + 4 * layout.vlanTags.size();
    std::vector<std::uint8_t> frame(link + ipLength + tcpLength, 0);
    std::size_t typeAt = 12;
    for (const std::uint16_t tag : layout.vlanTags) {
        Store16(frame.data() + typeAt, tag);
        Store16(frame.data() + typeAt + 2, 10);  // VLAN id 10
        typeAt += 4;
    }
    Store16(frame.data() + typeAt, ipv6 ? 0x86DD : 0x0800);
    std::uint8_t* ip = frame.data() + link;
    const std::uint8_t version = layout.ipVersion != 0 ? layout.ipVersion : (ipv6 ? 6 : 4);
    if (ipv6) {
        ip[0] = static_cast<std::uint8_t>(version << 4);
        Store16(ip + 4, extensions.size() + tcpLength + layout.payload.size());
        ip[6] = firstNext;
        ip[7] = 64;
        std::memcpy(ip + 8, layout.source.bytes.data(), 16);
        std::memcpy(ip + 24, layout.destination.bytes.data(), 16);
        std::copy(extensions.begin(), extensions.end(), ip + 40);
    } else {
        ip[0] = static_cast<std::uint8_t>((version << 4) | (layout.ipHeaderWords & 0x0F));
        Store16(ip + 2, ipLength + tcpLength + layout.payload.size());
        Store16(ip + 6, layout.fragmentOffset);
        ip[8] = 64;
        ip[9] = layout.protocol;
        std::memcpy(ip + 12, layout.source.bytes.data() + 12, 4);
        std::memcpy(ip + 16, layout.destination.bytes.data() + 12, 4);
    }
    std::uint8_t* tcp = ip + ipLength;
    Store16(tcp, layout.sourcePort);
    Store16(tcp + 2, layout.destinationPort);
    Store32(tcp + 4, layout.sequence);
    Store32(tcp + 8, layout.acknowledgement);
    tcp[12] = layout.tcpByte12;
    tcp[13] = layout.tcpFlags;
    frame.insert(frame.end(), layout.payload.begin(), layout.payload.end());
    if (frame.size() < layout.padTo)
        frame.resize(layout.padTo, 0);
    return frame;
}

// An Ethernet II frame carrying a UDP datagram over IPv4 or IPv6 (by the addresses), with up
// to two VLAN tags and an IPv4 fragment offset (in 8-byte units).
inline std::vector<std::uint8_t> BuildUdpFrame(
    const IpAddress& source, const IpAddress& destination, std::uint16_t sourcePort,
    std::uint16_t destinationPort, std::string_view payload,
    const std::vector<std::uint16_t>& vlanTags = {}, std::uint16_t fragmentOffset = 0) {
    const bool ipv6 = !source.IsIpv4();
    const std::size_t udpLength = 8 + payload.size();
    const std::size_t link = 14 + 4 * vlanTags.size();
    const std::size_t ipLength = ipv6 ? 40 : 20;
    std::vector<std::uint8_t> frame(link + ipLength + 8, 0);
    std::size_t typeAt = 12;
    for (const std::uint16_t tag : vlanTags) {
        Store16(frame.data() + typeAt, tag);
        Store16(frame.data() + typeAt + 2, 10);
        typeAt += 4;
    }
    Store16(frame.data() + typeAt, ipv6 ? 0x86DD : 0x0800);
    std::uint8_t* ip = frame.data() + link;
    if (ipv6) {
        ip[0] = 0x60;
        Store16(ip + 4, udpLength);
        ip[6] = 17;
        ip[7] = 64;
        std::memcpy(ip + 8, source.bytes.data(), 16);
        std::memcpy(ip + 24, destination.bytes.data(), 16);
    } else {
        ip[0] = 0x45;
        Store16(ip + 2, 20 + udpLength);
        Store16(ip + 6, fragmentOffset);
        ip[8] = 64;
        ip[9] = 17;
        std::memcpy(ip + 12, source.bytes.data() + 12, 4);
        std::memcpy(ip + 16, destination.bytes.data() + 12, 4);
    }
    std::uint8_t* udp = ip + ipLength;
    Store16(udp, sourcePort);
    Store16(udp + 2, destinationPort);
    Store16(udp + 4, udpLength);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

// Writes frames into a pcap file (Ethernet link type) with the given capture times.
class CaptureFileWriter {
public:
    explicit CaptureFileWriter(const std::string& path) {
        m_dead = pcap_open_dead(DLT_EN10MB, 65535);
        m_dumper = pcap_dump_open(m_dead, path.c_str());
    }
    ~CaptureFileWriter() { Close(); }
    bool Ok() const { return m_dumper != nullptr; }
    void Write(const std::vector<std::uint8_t>& frame, std::time_t seconds,
               std::size_t capturedLength = static_cast<std::size_t>(-1)) {
        pcap_pkthdr header{};
        header.ts.tv_sec = seconds;
        header.caplen = static_cast<bpf_u_int32>(std::min(capturedLength, frame.size()));
        header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(m_dumper), &header, frame.data());
    }
    void Close() {
        if (m_dumper != nullptr)
            pcap_dump_close(m_dumper);
        if (m_dead != nullptr)
            pcap_close(m_dead);
        m_dumper = nullptr;
        m_dead = nullptr;
    }

private:
    pcap_t* m_dead = nullptr;
    pcap_dumper_t* m_dumper = nullptr;
};

// A response header block for a media transfer.
inline std::string ResponseHead(std::string_view contentType, std::uint64_t length) {
    std::string head = "HTTP/1.1 200 OK\r\nServer: t\r\n";
    if (!contentType.empty())
        head += "Content-Type: " + std::string(contentType) + "\r\n";
    head += "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    return head;
}

inline std::string GetRequest(std::string_view target, std::string_view host) {
    std::string request = "GET " + std::string(target) + " HTTP/1.1\r\n";
    if (!host.empty())
        request += "Host: " + std::string(host) + "\r\n";
    request += "Accept: */*\r\n\r\n";
    return request;
}

// A frame from the client to port 80 of the server, and one back.
inline FrameLayout ClientToServer(IpAddress client, IpAddress server, std::uint16_t clientPort,
                                  std::string payload) {
    FrameLayout layout;
    layout.source = client;
    layout.destination = server;
    layout.sourcePort = clientPort;
    layout.destinationPort = 80;
    layout.payload = std::move(payload);
    return layout;
}

inline FrameLayout ServerToClient(IpAddress server, IpAddress client, std::uint16_t clientPort,
                                  std::string payload) {
    FrameLayout layout = ClientToServer(server, client, 80, std::move(payload));
    layout.destinationPort = clientPort;
    return layout;
}
