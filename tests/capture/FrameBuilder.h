// Builds Ethernet II / IPv4 / TCP frames and capture files for the capture tests.
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

#include "capture/FrameDecoder.h"

struct FrameSpec {
    Ipv4Address source{10, 0, 0, 2};
    Ipv4Address destination{10, 0, 0, 7};
    std::uint16_t sourcePort = 40000;  // host order; written in network order
    std::uint16_t destinationPort = 80;
    std::string payload;
    int ipHeaderWords = 5;          // IPv4 header length in 32-bit words
    std::uint8_t tcpByte12 = 0x50;  // data offset in the upper four bits
    std::size_t padTo = 0;          // link-layer padding up to this frame length
    std::uint8_t ipVersion = 4;
    std::uint8_t protocol = 6;
};

inline std::vector<std::uint8_t> BuildFrame(const FrameSpec& spec) {
    const std::size_t ipLength = static_cast<std::size_t>(spec.ipHeaderWords) * 4;
    const std::size_t tcpLength = static_cast<std::size_t>(spec.tcpByte12 >> 4) * 4;
    std::vector<std::uint8_t> frame(14 + ipLength + tcpLength, 0);
    frame[12] = 0x08;  // IPv4 ethertype
    std::uint8_t* ip = frame.data() + 14;
    ip[0] = static_cast<std::uint8_t>((spec.ipVersion << 4) | (spec.ipHeaderWords & 0x0F));
    const std::uint16_t total =
        htons(static_cast<std::uint16_t>(ipLength + tcpLength + spec.payload.size()));
    std::memcpy(ip + 2, &total, 2);
    ip[8] = 64;
    ip[9] = spec.protocol;
    std::memcpy(ip + 12, spec.source.data(), 4);
    std::memcpy(ip + 16, spec.destination.data(), 4);
    std::uint8_t* tcp = ip + ipLength;
    const std::uint16_t sp = htons(spec.sourcePort);
    const std::uint16_t dp = htons(spec.destinationPort);
    std::memcpy(tcp, &sp, 2);
    std::memcpy(tcp + 2, &dp, 2);
    tcp[12] = spec.tcpByte12;
    tcp[13] = 0x18;
    frame.insert(frame.end(), spec.payload.begin(), spec.payload.end());
    if (frame.size() < spec.padTo)
        frame.resize(spec.padTo, 0);
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
inline FrameSpec ClientToServer(Ipv4Address client, Ipv4Address server, std::uint16_t clientPort,
                                std::string payload) {
    FrameSpec spec;
    spec.source = client;
    spec.destination = server;
    spec.sourcePort = clientPort;
    spec.destinationPort = 80;
    spec.payload = std::move(payload);
    return spec;
}

inline FrameSpec ServerToClient(Ipv4Address server, Ipv4Address client, std::uint16_t clientPort,
                                std::string payload) {
    FrameSpec spec = ClientToServer(server, client, 80, std::move(payload));
    spec.destinationPort = clientPort;
    return spec;
}
