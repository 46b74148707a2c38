// A realistic mix of captured frames as one client machine sees them while media stream in:
// requests, response headers, full-size body segments, acknowledgements and small pages.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/FrameBuilder.h"

struct TrafficMix {
    std::vector<std::vector<std::uint8_t>> frames;
    std::uint64_t bytes = 0;
};

// Appends built frames to a mix and makes the random body bytes between them.
struct MixFrames {
    TrafficMix& mix;
    std::mt19937 random;

    void Add(const FrameLayout& layout) {
        mix.frames.push_back(BuildFrame(layout));
        mix.bytes += mix.frames.back().size();
    }
    std::string RandomBytes(std::size_t size) {
        std::string bytes(size, '\0');
        for (auto& b : bytes) b = static_cast<char>(random());
        return bytes;
    }
};

// `transfers` media transfers of `bodySegments` full segments each, interleaved with page loads.
inline TrafficMix MakeTrafficMix(int transfers, int bodySegments, std::uint32_t seed = 7) {
    const Ipv4Address client{192, 168, 10, 20};
    TrafficMix mix;
    MixFrames frames{mix, std::mt19937(seed)};
    auto add = [&](const FrameLayout& layout) { frames.Add(layout); };
    auto segment = [&](std::size_t size) { return frames.RandomBytes(size); };
    const char* types[] = {"video/x-flv", "video/mp4", "audio/mpeg"};
    for (int t = 0; t < transfers; ++t) {
        const Ipv4Address server{93, 184, static_cast<std::uint8_t>(t % 200), 34};
        const auto port = static_cast<std::uint16_t>(40000 + t);
        FrameLayout out;
        out.source = client;
        out.destination = server;
        out.sourcePort = port;
        out.destinationPort = 80;
        out.tcpByte12 = 0x80;  // 32-byte header: timestamps, as Linux sends
        FrameLayout in = out;
        std::swap(in.source, in.destination);
        std::swap(in.sourcePort, in.destinationPort);

        // A page first: request and a small HTML answer.
        out.payload = GetRequest("/watch/" + std::to_string(t), "www.example.test");
        add(out);
        in.payload = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 900\r\n\r\n" +
                     std::string(800, 'h');
        add(in);

        out.payload = GetRequest("/media/" + std::to_string(t) + ".bin", "cdn.example.test");
        add(out);
        const char* type = types[t % 3];
        std::string head = ResponseHead(type, 1448ull * bodySegments + 100000 + t);
        in.payload = head + (t % 3 == 2 ? "ID3\x03" : "FLV\x01") + segment(1448 - head.size() - 4);
        add(in);
        out.payload.clear();
        out.padTo = 66;
        for (int s = 0; s < bodySegments; ++s) {
            in.payload = segment(1448);
            add(in);
            if (s % 2 == 1)
                add(out);  // delayed acknowledgement of every second segment
        }
        out.padTo = 0;
    }
    return mix;
}

// The traffic of a server that sends files with sendfile, seen by a client fetching them 8 at a
// time: each answer's header block in a packet of its own, the bodies' segments interleaved, so
// every body's first packet must be tied to its own connection's answer. Every second group of
// 8 travels over IPv6 behind a VLAN tag.
inline TrafficMix MakeOverlappingMix(int transfers, int bodySegments, std::uint32_t seed = 7) {
    const IpAddress client4{Ipv4Address{192, 168, 10, 20}};
    const IpAddress client6 = Ipv6("fd00:10::20");
    TrafficMix mix;
    MixFrames frames{mix, std::mt19937(seed)};
    auto add = [&](const FrameLayout& layout) { frames.Add(layout); };
    auto segment = [&](std::size_t size) { return frames.RandomBytes(size); };
    constexpr int kAtATime = 8;
    for (int group = 0; group * kAtATime < transfers; ++group) {
        const bool ipv6 = group % 2 == 1;
        const IpAddress server =
            ipv6 ? Ipv6("fd00:20::" + std::to_string(group + 1))
                 : IpAddress(Ipv4Address{93, 184, static_cast<std::uint8_t>(group % 200), 34});
        std::vector<FrameLayout> out, in;
        for (int t = group * kAtATime; t < transfers && t < (group + 1) * kAtATime; ++t) {
            FrameLayout request = ClientToServer(
                ipv6 ? client6 : client4, server, static_cast<std::uint16_t>(40000 + t),
                GetRequest("/media/" + std::to_string(t) + ".bin", "cdn.example.test"));
            request.tcpByte12 = 0x80;
            if (ipv6)
                request.vlanTags = {0x8100};
            FrameLayout answer = request;
            std::swap(answer.source, answer.destination);
            std::swap(answer.sourcePort, answer.destinationPort);
            add(request);
            out.push_back(request);
            in.push_back(answer);
        }
        const char* types[] = {"video/x-flv", "audio/mpeg"};
        for (std::size_t i = 0; i < in.size(); ++i) {
            in[i].payload =
                ResponseHead(types[i % 2], 1448ull * bodySegments + 100000 + mix.frames.size());
            add(in[i]);
        }
        for (int s = 0; s < bodySegments; ++s) {
            for (std::size_t i = 0; i < in.size(); ++i) {
                in[i].payload = segment(1448);
                if (s == 0)
                    in[i].payload.replace(0, 4, i % 2 == 0 ? "FLV\x01" : "ID3\x03");
                add(in[i]);
                if (s % 2 == 1) {
                    out[i].payload.clear();
                    add(out[i]);  // delayed acknowledgement of every second segment
                }
            }
        }
    }
    return mix;
}
