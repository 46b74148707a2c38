// Writes the seed inputs of stream_engine_fuzz into the folder given: real HTTPS of OpenSSL
// peers (HTTP/1.1 and HTTP/2, both TLS versions) with its key log, media answers whose heads
// announce more than the seed carries, keys given late, and plain HTTP.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "StreamFuzzInput.h"
#include "support/HttpsScript.h"

namespace {

struct Seed {
    const char* name;
    std::uint16_t version;
    const char* cipher;
    bool http2;
    std::uint8_t options;
};

// Media answers cut short: the heads say 150,000 bytes, the bodies bring 3,000.
std::vector<https::Answer> Answers() {
    return {{"/v/clip.flv", "video/x-flv", https::Body(https::kFlv, 3000, 1), 200, 150000},
            {"/a/song.mp3", "audio/mpeg", https::Body(https::kMp3, 3000, 2), 200, 150000},
            {"/p/list.m3u8", "application/vnd.apple.mpegurl",
             "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4,\nseg1.ts\n#EXT-X-ENDLIST\n"}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const Seed seeds[] = {
        {"tls13-http2", 0x0304, "TLS_AES_128_GCM_SHA256", true, kStreamFuzzKeys},
        {"tls12-http1", 0x0303, "ECDHE-ECDSA-CHACHA20-POLY1305", false, kStreamFuzzKeys},
        {"tls13-http1-late-keys", 0x0304, "TLS_AES_256_GCM_SHA384", false,
         kStreamFuzzKeys | kStreamFuzzLateKeys},
        {"tls12-http2-small-budget", 0x0303, "ECDHE-ECDSA-AES128-GCM-SHA256", true,
         kStreamFuzzKeys | 0x10},
    };
    for (const Seed& seed : seeds) {
        TlsTrafficConfig config;
        config.version = seed.version;
        config.cipher = seed.cipher;
        config.alpn =
            seed.http2 ? std::vector<std::string>{"h2"} : std::vector<std::string>{"http/1.1"};
        TlsTraffic peers(config);
        auto script = seed.http2 ? https::Http2Script("media.test", Answers())
                                 : https::Http1Script("media.test", Answers());
        const TlsTrafficResult traffic = peers.Run(script);
        if (!traffic.ok) {
            std::fprintf(stderr, "%s: %s\n", seed.name, traffic.error.c_str());
            return 1;
        }
        std::string input(1, static_cast<char>(seed.options));
        AppendStreamFuzzSize(input, traffic.keyLog.size());
        input += traffic.keyLog;
        for (const TlsWireChunk& chunk : traffic.chunks)
            AppendStreamFuzzBytes(
                input, 0, chunk.direction == Direction::ToClient,
                traffic.wire[static_cast<int>(chunk.direction)].data() + chunk.offset, chunk.size);
        input += static_cast<char>(0 | kSegmentFin);
        AppendStreamFuzzSize(input, 0);
        input += static_cast<char>(0 | kSegmentToClient | kSegmentFin | kSegmentPoll);
        AppendStreamFuzzSize(input, 0);
        std::ofstream(std::string(argv[1]) + "/" + seed.name, std::ios::binary) << input;
    }
    // Plain HTTP under the rules streams, on two connections at once.
    std::string input(1, static_cast<char>(kStreamFuzzPlainHttp));
    const auto answers = Answers();
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const int connection = static_cast<int>(i % 2);
        const std::string request = https::RequestHead("cdn.test", answers[i].path);
        const std::string response = https::ResponseHead(answers[i]) + answers[i].body;
        AppendStreamFuzzBytes(input, connection, false,
                              reinterpret_cast<const std::uint8_t*>(request.data()),
                              request.size());
        AppendStreamFuzzBytes(input, connection, true,
                              reinterpret_cast<const std::uint8_t*>(response.data()),
                              response.size());
    }
    std::ofstream(std::string(argv[1]) + "/plain-http", std::ios::binary) << input;
    return 0;
}
