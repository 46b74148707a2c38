// HTTP/1.1 and HTTP/2 conversations for the in-process TLS peers (support/TlsTraffic.h), and
// their wire bytes as the frames of a capture (support/TcpConversation.h): what a browser
// fetching media over HTTPS puts on the wire, for the stream engine's tests, benchmarks and
// fuzz seeds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/Http2Frames.h"
#include "support/TcpConversation.h"
#include "support/TlsTraffic.h"

namespace https {

struct Answer {
    std::string path;         // "/v/clip.mp4"
    std::string contentType;  // "video/mp4"; empty for none
    std::string body;
    int status = 200;
    // The length the head announces; 0: the body's own (a larger one: an answer cut short).
    std::uint64_t announced = 0;
    // More header fields of the answer (Content-Range, ETag, ...), names in lower case.
    std::vector<std::pair<std::string, std::string>> headers = {};
};

inline std::uint64_t AnnouncedLength(const Answer& answer) {
    return answer.announced != 0 ? answer.announced : answer.body.size();
}

// `size` bytes that begin with `signature`, the rest from a small generator seeded by `seed`
// (never text, never a container's signature again).
inline std::string Body(const std::string& signature, std::size_t size, std::uint32_t seed) {
    std::string body = signature.substr(0, size);
    body.reserve(size);
    std::uint32_t x = seed * 2654435761u + 1;
    while (body.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        body.push_back(static_cast<char>(x | 0x80));  // high bit set: no ASCII marker
    }
    return body;
}

inline const std::string kFlv("FLV\x01\x05\0\0\0\x09", 9);
inline const std::string kMp4(
    "\0\0\0\x18"
    "ftypisom\0\0\0\0isommp41",
    24);
inline const std::string kMp3("ID3\x03\0\0\0\0\0\0", 10);
inline const std::string kPng("\x89PNG\r\n\x1a\n", 8);

inline std::string RequestHead(const std::string& host, const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host +
           "\r\nUser-Agent: pelnix-test\r\nAccept: */*\r\nCookie: session=42\r\n\r\n";
}

inline std::string ResponseHead(const Answer& answer) {
    std::string head = "HTTP/1.1 " + std::to_string(answer.status) + " OK\r\nServer: t\r\n";
    if (!answer.contentType.empty())
        head += "Content-Type: " + answer.contentType + "\r\n";
    for (const auto& [name, value] : answer.headers) head += name + ": " + value + "\r\n";
    return head + "Content-Length: " + std::to_string(AnnouncedLength(answer)) + "\r\n\r\n";
}

// HTTP/1.1 with keep-alive: one request and its answer per round.
inline std::vector<TlsExchangeStep> Http1Script(const std::string& host,
                                                const std::vector<Answer>& answers) {
    std::vector<TlsExchangeStep> script;
    for (const Answer& answer : answers) {
        TlsExchangeStep step;
        step.clientSends = RequestHead(host, answer.path);
        step.serverAnswers = ResponseHead(answer) + answer.body;
        script.push_back(std::move(step));
    }
    return script;
}

// HTTP/2 with every request sent at once (streams 1, 3, 5, ...), the first header block cut
// into CONTINUATION frames of `fragment` bytes, and the answers' DATA frames of `dataFrame`
// bytes interleaved stream by stream.
inline std::vector<TlsExchangeStep> Http2Script(const std::string& host,
                                                const std::vector<Answer>& answers,
                                                std::size_t fragment = 24,
                                                std::size_t dataFrame = 16384) {
    h2::Encoder client;
    h2::Encoder server;
    TlsExchangeStep step;
    step.clientSends = std::string(kHttp2Preface) + h2::Settings({{2, 0}});
    step.serverAnswers = h2::Settings({{3, 100}}) + h2::Frame(h2::kSettings, h2::kAck, 0, "");
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const HeaderFields request = {
            {":method", "GET"},         {":scheme", "https"},          {":authority", host},
            {":path", answers[i].path}, {"user-agent", "pelnix-test"}, {"cookie", "session=42"}};
        step.clientSends += client.Headers(static_cast<std::uint32_t>(2 * i + 1), request, true,
                                           i == 0 ? fragment : 0);
    }
    for (std::size_t i = 0; i < answers.size(); ++i) {
        HeaderFields response = {{":status", std::to_string(answers[i].status)}};
        if (!answers[i].contentType.empty())
            response.push_back({"content-type", answers[i].contentType});
        for (const auto& [name, value] : answers[i].headers) response.push_back({name, value});
        response.push_back({"content-length", std::to_string(AnnouncedLength(answers[i]))});
        step.serverAnswers += server.Headers(static_cast<std::uint32_t>(2 * i + 1), response,
                                             answers[i].body.empty());
    }
    std::vector<std::size_t> sent(answers.size(), 0);
    for (bool more = true; more;) {
        more = false;
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const std::string& body = answers[i].body;
            if (sent[i] >= body.size())
                continue;
            const std::size_t piece = std::min(dataFrame, body.size() - sent[i]);
            step.serverAnswers += h2::Data(static_cast<std::uint32_t>(2 * i + 1),
                                           std::string_view(body).substr(sent[i], piece),
                                           sent[i] + piece == body.size());
            sent[i] += piece;
            more = more || sent[i] < body.size();
        }
    }
    return {step};
}

// The frames of one whole TLS connection: the opening, every piece as the peers passed it
// (cut into segments of at most `segmentSize` bytes), and the close.
template <typename Emit>
void EmitConnection(TcpConversation& tcp, const TlsTrafficResult& traffic, std::size_t segmentSize,
                    Emit&& emit) {
    tcp.Open(emit);
    for (const TlsWireChunk& chunk : traffic.chunks) {
        const auto& wire = traffic.wire[static_cast<int>(chunk.direction)];
        tcp.Send(chunk.direction, wire.data() + chunk.offset, chunk.size, segmentSize, emit);
    }
    tcp.Close(emit);
}

}  // namespace https
