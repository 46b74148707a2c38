// Captures of media downloads as one client machine sees them, for the stream engine's
// benchmarks: connections opened with their handshake, requests, large answers cut into full
// segments (1448 bytes after a 32-byte TCP header with timestamps), a delayed acknowledgement
// for every second segment, and the connections' frames interleaved.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/FrameBuilder.h"
#include "support/Http2Frames.h"

struct StreamMix {
    // The frames one after the other, as a capture buffer holds them.
    std::vector<std::uint8_t> buffer;
    struct Frame {
        std::size_t offset;
        std::size_t length;
    };
    std::vector<Frame> frames;
    std::uint64_t bytes = 0;      // of all frames
    std::uint64_t bodyBytes = 0;  // of the answers' bodies
    std::size_t exchanges = 0;
};

enum class MixKind { Http1Length, Http1Chunked, Http2 };

namespace streammix {

constexpr std::size_t kSegment = 1448;

// One connection's frames, in the order its two ends sent them.
class Flow {
public:
    Flow(int index, std::mt19937& random) {
        m_out.source = Ipv4Address{192, 168, 10, 20};
        m_out.destination = Ipv4Address{93, 184, static_cast<std::uint8_t>(index / 250),
                                        static_cast<std::uint8_t>(index % 250)};
        m_out.sourcePort = static_cast<std::uint16_t>(30000 + index);
        m_out.destinationPort = 443;
        m_out.tcpByte12 = 0x80;
        m_in = m_out;
        std::swap(m_in.source, m_in.destination);
        std::swap(m_in.sourcePort, m_in.destinationPort);
        m_clientSeq = static_cast<std::uint32_t>(random());
        m_serverSeq = 0xFFFFFFFFu - static_cast<std::uint32_t>(random() % 100000);  // wraps
        Add(m_out, m_clientSeq, 0, kTcpSyn, "");
        Add(m_in, m_serverSeq, m_clientSeq + 1, kTcpSyn | kTcpAck, "");
        ++m_clientSeq;
        ++m_serverSeq;
    }
    void Client(const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size(); at += kSegment) {
            const std::string piece = bytes.substr(at, kSegment);
            Add(m_out, m_clientSeq, m_serverSeq, kTcpAck, piece);
            m_clientSeq += static_cast<std::uint32_t>(piece.size());
        }
    }
    // Every `swapEvery`-th pair of full segments arrives in the wrong order (0: none), as
    // reordering on the way would deliver them; the acknowledgement follows both.
    void Server(const std::string& bytes, int swapEvery = 0) {
        int pair = 0;
        for (std::size_t at = 0; at < bytes.size(); at += kSegment) {
            const std::string piece = bytes.substr(at, kSegment);
            if (swapEvery > 0 && ++pair % swapEvery == 0 && at + 2 * kSegment <= bytes.size()) {
                const std::string next = bytes.substr(at + kSegment, kSegment);
                Add(m_in, m_serverSeq + static_cast<std::uint32_t>(kSegment), m_clientSeq, kTcpAck,
                    next);
                Add(m_in, m_serverSeq, m_clientSeq, kTcpAck, piece);
                m_serverSeq += static_cast<std::uint32_t>(2 * kSegment);
                at += kSegment;
                Add(m_out, m_clientSeq, m_serverSeq, kTcpAck, "");
                m_unacknowledged = 0;
                continue;
            }
            Add(m_in, m_serverSeq, m_clientSeq, kTcpAck, piece);
            m_serverSeq += static_cast<std::uint32_t>(piece.size());
            if (++m_unacknowledged == 2) {
                Add(m_out, m_clientSeq, m_serverSeq, kTcpAck, "");
                m_unacknowledged = 0;
            }
        }
    }
    std::vector<std::vector<std::uint8_t>>& Frames() { return m_frames; }

private:
    void Add(FrameLayout& layout, std::uint32_t sequence, std::uint32_t ack, std::uint8_t flags,
             const std::string& payload) {
        layout.sequence = sequence;
        layout.acknowledgement = ack;
        layout.tcpFlags = flags;
        layout.payload = payload;
        m_frames.push_back(BuildFrame(layout));
    }

    FrameLayout m_out;
    FrameLayout m_in;
    std::uint32_t m_clientSeq = 0;
    std::uint32_t m_serverSeq = 0;
    int m_unacknowledged = 0;
    std::vector<std::vector<std::uint8_t>> m_frames;
};

inline std::string RandomBytes(std::mt19937& random, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        const std::uint32_t word = random();
        std::memcpy(bytes.data() + i, &word, 4);
    }
    return bytes;
}

}  // namespace streammix

// `connections` connections, each fetching `perConnection` media answers of `bodySize` bytes
// (over HTTP/2, all at once on concurrent streams, their DATA frames interleaved). Every
// `swapEvery`-th pair of answer segments arrives swapped (0: none).
inline StreamMix MakeStreamMix(MixKind kind, int connections, int perConnection,
                               std::size_t bodySize, int swapEvery = 0) {
    using namespace streammix;
    std::mt19937 random(11);
    StreamMix mix;
    const std::string body = RandomBytes(random, bodySize);
    std::vector<std::vector<std::vector<std::uint8_t>>> flows;
    for (int c = 0; c < connections; ++c) {
        Flow flow(c, random);
        const std::string host = "media" + std::to_string(c) + ".test";
        if (kind == MixKind::Http2) {
            h2::Encoder client;
            h2::Encoder server;
            std::string opening = std::string(kHttp2Preface) + h2::Settings({{4, 1 << 24}});
            for (int e = 0; e < perConnection; ++e) {
                opening += client.Headers(1 + 2 * e,
                                          {{":method", "GET"},
                                           {":scheme", "https"},
                                           {":authority", host},
                                           {":path", "/v/" + std::to_string(e) + ".mp4"},
                                           {"user-agent", "Mozilla/5.0 (X11; Linux)"},
                                           {"cookie", "session=0123456789"}},
                                          true);
            }
            flow.Client(opening);
            std::string answer = h2::Settings({{5, 16384}});
            for (int e = 0; e < perConnection; ++e) {
                answer += server.Headers(1 + 2 * e,
                                         {{":status", "200"},
                                          {"content-type", "video/mp4"},
                                          {"content-length", std::to_string(bodySize)}},
                                         false);
            }
            // DATA frames of 16 KiB, one stream after the other in turn.
            for (std::size_t at = 0; at < bodySize; at += 16384) {
                const std::size_t size = std::min<std::size_t>(16384, bodySize - at);
                for (int e = 0; e < perConnection; ++e) {
                    answer += h2::Data(1 + 2 * e, std::string_view(body).substr(at, size),
                                       at + size == bodySize);
                }
            }
            flow.Server(answer, swapEvery);
        } else {
            for (int e = 0; e < perConnection; ++e) {
                flow.Client("GET /v/" + std::to_string(e) + ".flv HTTP/1.1\r\nHost: " + host +
                            "\r\nUser-Agent: Mozilla/5.0 (X11; Linux)\r\nAccept: */*\r\n\r\n");
                if (kind == MixKind::Http1Length) {
                    flow.Server("HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: " +
                                    std::to_string(bodySize) + "\r\n\r\n" + body,
                                swapEvery);
                } else {
                    std::string answer =
                        "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nTransfer-Encoding: "
                        "chunked\r\n\r\n";
                    for (std::size_t at = 0; at < bodySize; at += 16000) {
                        const std::size_t size = std::min<std::size_t>(16000, bodySize - at);
                        char line[32];
                        std::snprintf(line, sizeof line, "%zx\r\n", size);
                        answer += line;
                        answer.append(body, at, size);
                        answer += "\r\n";
                    }
                    flow.Server(answer + "0\r\n\r\n", swapEvery);
                }
            }
        }
        mix.exchanges += static_cast<std::size_t>(perConnection);
        mix.bodyBytes += bodySize * static_cast<std::size_t>(perConnection);
        flows.push_back(std::move(flow.Frames()));
    }
    // The connections' frames in turn, one at a time.
    for (std::size_t i = 0;; ++i) {
        bool any = false;
        for (auto& frames : flows) {
            if (i < frames.size()) {
                mix.frames.push_back({mix.buffer.size(), frames[i].size()});
                mix.buffer.insert(mix.buffer.end(), frames[i].begin(), frames[i].end());
                mix.bytes += frames[i].size();
                std::vector<std::uint8_t>().swap(frames[i]);
                any = true;
            }
        }
        if (!any)
            break;
    }
    return mix;
}
