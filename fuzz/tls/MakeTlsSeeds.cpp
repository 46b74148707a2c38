// Writes the seed inputs of tls_decrypt_fuzz: real traffic of OpenSSL peers with its key log,
// one file per kind of handshake, into the folder given.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "TlsFuzzInput.h"
#include "support/TlsTraffic.h"

namespace {

struct Seed {
    const char* name;
    std::uint16_t version;
    const char* cipher;
    bool keyUpdate = false;
    bool helloRetry = false;
    bool resume = false;
    int earlyData = 0;  // 1: accepted, 2: refused
    bool lateKeys = false;
};

std::vector<TlsExchangeStep> Script(bool keyUpdate) {
    std::vector<TlsExchangeStep> script(2);
    for (std::size_t i = 0; i < script.size(); ++i) {
        script[i].clientSends =
            "GET /clip" + std::to_string(i) + ".mp4 HTTP/1.1\r\nHost: media.test\r\n\r\n";
        script[i].serverAnswers =
            "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 2000\r\n\r\n" +
            std::string(2000, static_cast<char>('a' + i));
    }
    script[1].clientKeyUpdate = script[1].serverKeyUpdate = keyUpdate;
    return script;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const Seed seeds[] = {
        {"tls12-aes128gcm", 0x0303, "ECDHE-ECDSA-AES128-GCM-SHA256"},
        {"tls12-aes256gcm", 0x0303, "ECDHE-ECDSA-AES256-GCM-SHA384"},
        {"tls12-chacha20", 0x0303, "ECDHE-ECDSA-CHACHA20-POLY1305"},
        {"tls12-resumed", 0x0303, "ECDHE-ECDSA-AES128-GCM-SHA256", false, false, true},
        {"tls13-aes128gcm", 0x0304, "TLS_AES_128_GCM_SHA256"},
        {"tls13-aes256gcm-key-update", 0x0304, "TLS_AES_256_GCM_SHA384", true},
        {"tls13-chacha20-hello-retry", 0x0304, "TLS_CHACHA20_POLY1305_SHA256", false, true},
        {"tls13-resumed-early-data", 0x0304, "TLS_AES_128_GCM_SHA256", false, false, true, 1},
        {"tls13-early-data-refused", 0x0304, "TLS_AES_128_GCM_SHA256", false, false, true, 2},
        {"tls13-late-keys", 0x0304, "TLS_AES_256_GCM_SHA384", false, false, false, 0, true},
    };
    for (const Seed& seed : seeds) {
        TlsTrafficConfig config;
        config.version = seed.version;
        config.cipher = seed.cipher;
        config.alpn = {"h2", "http/1.1"};
        config.helloRetry = seed.helloRetry;
        config.maxEarlyData = seed.earlyData ? 4096 : 0;
        config.rejectEarlyData = seed.earlyData == 2;
        TlsTraffic peers(config);
        TlsRunOptions options;
        if (seed.resume) {
            const TlsTrafficResult first = peers.Run(Script(false));
            options.resume = first.session;
        }
        if (seed.earlyData)
            options.earlyData = "GET /early.mp3 HTTP/1.1\r\nHost: media.test\r\n\r\n";
        const TlsTrafficResult traffic = peers.Run(Script(seed.keyUpdate), options);
        if (!traffic.ok) {
            std::fprintf(stderr, "%s: %s\n", seed.name, traffic.error.c_str());
            return 1;
        }
        std::string input(1,
                          static_cast<char>(kFuzzKeyLogText | (seed.lateKeys ? kFuzzLateKeys : 0)));
        AppendFuzzSize(input, traffic.keyLog.size());
        input += traffic.keyLog;
        for (const TlsWireChunk& chunk : traffic.chunks)
            AppendFuzzBytes(input, chunk.direction == Direction::ToClient,
                            traffic.wire[static_cast<int>(chunk.direction)].data() + chunk.offset,
                            chunk.size);
        std::ofstream(std::string(argv[1]) + "/" + seed.name, std::ios::binary) << input;
    }
    return 0;
}
