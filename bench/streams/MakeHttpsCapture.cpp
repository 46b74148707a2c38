// Writes a pcap file of at least the given size of HTTPS as a browser's machine captures it,
// and the key log of its connections: real TLS of OpenSSL peers in process (TLS 1.2 and 1.3,
// AES-128-GCM, AES-256-GCM and ChaCha20-Poly1305 in turn), each connection carrying HTTP/1.1
// with keep-alive or HTTP/2 with its streams interleaved, media answers (Flash video, MP4,
// MP3 of 100 KB to 2.1 MB, every size its own) and other answers (pictures, pages, scripts, and
// a video too short to be listed), cut into 1448-byte segments with the TCP opening and close.
// Prints the number of media answers it wrote. With MANIFEST, the large medium of one
// connection in three comes by three byte ranges out of order (206, Content-Range, an ETag),
// and each medium's URL, size, SHA-256 and how it was sent ("HTTP/2 by ranges") are written to
// MANIFEST, one tab-separated line each, so that what a program saved from the capture can be
// checked byte for byte.
//   capture_make_https FILE KEYLOG MEBIBYTES [MANIFEST]
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/HttpsScript.h"

namespace {

struct Suite {
    std::uint16_t version;
    const char* cipher;
};
constexpr Suite kSuites[] = {
    {0x0303, "ECDHE-ECDSA-AES128-GCM-SHA256"}, {0x0304, "TLS_AES_128_GCM_SHA256"},
    {0x0303, "ECDHE-ECDSA-AES256-GCM-SHA384"}, {0x0304, "TLS_AES_256_GCM_SHA384"},
    {0x0303, "ECDHE-ECDSA-CHACHA20-POLY1305"}, {0x0304, "TLS_CHACHA20_POLY1305_SHA256"},
};

std::string Sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// The answers that carry `medium` by three ranges, the last first.
std::vector<https::Answer> Ranges(const https::Answer& medium) {
    const std::size_t n = medium.body.size();
    const std::size_t a = n / 3;
    const std::size_t b = 2 * n / 3;
    std::vector<https::Answer> answers;
    for (const auto& [first, last] :
         std::vector<std::pair<std::size_t, std::size_t>>{{b, n - 1}, {0, a - 1}, {a, b - 1}}) {
        https::Answer part{medium.path, medium.contentType,
                           medium.body.substr(first, last - first + 1), 206};
        part.headers = {{"content-range", "bytes " + std::to_string(first) + "-" +
                                              std::to_string(last) + "/" + std::to_string(n)},
                        {"etag", "\"" + std::to_string(n) + "\""}};
        answers.push_back(std::move(part));
    }
    return answers;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s FILE KEYLOG MEBIBYTES [MANIFEST]\n", argv[0]);
        return 2;
    }
    std::unique_ptr<std::ofstream> manifest;
    if (argc == 5)
        manifest = std::make_unique<std::ofstream>(argv[4], std::ios::binary);
    const std::uint64_t wanted = std::strtoull(argv[3], nullptr, 10) << 20;
    CaptureFileWriter writer(argv[1]);
    std::ofstream keyLog(argv[2], std::ios::binary);
    if (!writer.Ok() || !keyLog) {
        std::fprintf(stderr, "cannot write %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    // One pair of peers per suite and protocol: their contexts are made once.
    std::vector<std::unique_ptr<TlsTraffic>> peers;
    for (const Suite& suite : kSuites) {
        for (const bool http2 : {false, true}) {
            TlsTrafficConfig config;
            config.version = suite.version;
            config.cipher = suite.cipher;
            config.serverName = "media.example";
            config.alpn = http2 ? std::vector<std::string>{"h2", "http/1.1"}
                                : std::vector<std::string>{"http/1.1"};
            peers.push_back(std::make_unique<TlsTraffic>(config));
        }
    }

    const IpAddress client{Ipv4Address{192, 168, 7, 2}};
    std::uint64_t written = 24;
    std::uint64_t media = 0;
    std::time_t clock = 1780318923;
    for (std::uint32_t n = 0; written < wanted; ++n) {
        const IpAddress server{Ipv4Address{203, 0, 113, static_cast<std::uint8_t>(1 + n % 200)}};
        TcpConversation tcp(client, server, static_cast<std::uint16_t>(20000 + n % 40000), 443,
                            n * 7919u, 0xFFFF0000u + n * 104729u);
        const auto emit = [&](const TcpConversation::Frame& frame) {
            writer.Write(frame, clock);
            written += 16 + frame.size();
        };
        // Two media among five other answers: a Flash video of 100 KB to 1.1 MB and an MP4 or
        // MP3 of 1.1 to 2.1 MB, every size its own for the first thousand connections.
        const std::string folder = "/c" + std::to_string(n);
        const std::size_t flvSize = 100000 + (n * 1013) % 1000000;
        const std::size_t bigSize = 1100000 + (n * 1009) % 1000000;
        std::vector<https::Answer> answers = {
            {folder + "/poster.jpg", "image/jpeg", https::Body("\xFF\xD8\xFF\xE0", 30000, n)},
            {folder + "/clip.flv", "video/x-flv", https::Body(https::kFlv, flvSize, n + 1)},
            {folder + "/page.html", "text/html", std::string(20000, 'h')},
            {folder + "/app.js", "application/javascript", std::string(40000, 'j')},
            {folder + "/teaser.mp4", "video/mp4", https::Body(https::kMp4, 60000, n + 2)},
            {folder + (n % 2 ? "/movie.mp4" : "/song.mp3"), n % 2 ? "video/mp4" : "audio/mpeg",
             https::Body(n % 2 ? https::kMp4 : https::kMp3, bigSize, n + 3)},
            {folder + "/icon.png", "image/png", https::Body(https::kPng, 2000, n + 4)},
        };
        const bool http2 = n % 2 == 1;
        if (manifest) {
            for (const std::size_t m : {std::size_t{1}, std::size_t{5}}) {
                *manifest << "https://media.example" << answers[m].path << '\t'
                          << answers[m].body.size() << '\t' << Sha256(answers[m].body) << '\t'
                          << (http2 ? "HTTP/2" : "HTTP/1.1")
                          << (m == 5 && n % 3 == 2 ? " by ranges" : " whole") << '\n';
            }
            if (n % 3 == 2) {
                const https::Answer large = answers[5];
                answers.erase(answers.begin() + 5);
                const std::vector<https::Answer> ranges = Ranges(large);
                answers.insert(answers.begin() + 5, ranges.begin(), ranges.end());
            }
        }
        TlsTraffic& traffic = *peers[(n / 2) % 6 * 2 + (http2 ? 1 : 0)];
        tcp.Open(emit);
        traffic.SetWireSink([&](Direction direction, const std::uint8_t* data, std::size_t size) {
            tcp.Send(direction, data, size, 1448, emit);
        });
        const auto result = traffic.Run(http2 ? https::Http2Script("media.example", answers)
                                              : https::Http1Script("media.example", answers));
        if (!result.ok) {
            std::fprintf(stderr, "connection %u: %s\n", n, result.error.c_str());
            return 1;
        }
        tcp.Close(emit);
        keyLog << result.keyLog;
        media += 2;
        ++clock;
    }
    writer.Close();
    std::printf("%llu bytes, %llu media answers\n", static_cast<unsigned long long>(written),
                static_cast<unsigned long long>(media));
    return 0;
}
