// TLS decryption throughput: one connection carrying a large answer, made by real OpenSSL peers,
// fed to a TlsConnection in TCP-sized or large pieces. Bytes processed are wire bytes.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "support/TlsTraffic.h"
#include "tls/TlsConnection.h"

namespace {

constexpr std::size_t kAnswerSize = 64u << 20;

struct Suite {
    std::uint16_t version;
    const char* cipher;
};
const Suite kSuites[] = {
    {0x0303, "ECDHE-ECDSA-AES128-GCM-SHA256"}, {0x0303, "ECDHE-ECDSA-AES256-GCM-SHA384"},
    {0x0303, "ECDHE-ECDSA-CHACHA20-POLY1305"}, {0x0304, "TLS_AES_128_GCM_SHA256"},
    {0x0304, "TLS_AES_256_GCM_SHA384"},        {0x0304, "TLS_CHACHA20_POLY1305_SHA256"},
};

struct Capture {
    std::vector<std::uint8_t> wire[2];
    std::vector<TlsWireChunk> chunks;
    std::string keyLog;
    std::string error;
};

// Made once per suite: a request, then a 64 MiB answer written 256 KiB at a time.
const Capture& CaptureOf(int suite) {
    static std::map<int, Capture> made;
    auto found = made.find(suite);
    if (found != made.end())
        return found->second;
    Capture& capture = made[suite];
    TlsTrafficConfig config;
    config.version = kSuites[suite].version;
    config.cipher = kSuites[suite].cipher;
    TlsTraffic peers(config);
    peers.SetWireSink([&](Direction direction, const std::uint8_t* data, std::size_t size) {
        capture.wire[static_cast<int>(direction)].insert(
            capture.wire[static_cast<int>(direction)].end(), data, data + size);
    });
    TlsExchangeStep step;
    step.clientSends = "GET /film.mp4 HTTP/1.1\r\nHost: media.test\r\n\r\n";
    step.serverAnswers.assign(kAnswerSize, 'm');
    for (std::size_t i = 0; i < kAnswerSize; i += 4096)
        step.serverAnswers[i] = static_cast<char>(i >> 12);
    TlsTrafficResult result = peers.Run({step});
    if (!result.ok)
        capture.error = result.error;
    capture.chunks = std::move(result.chunks);
    capture.keyLog = std::move(result.keyLog);
    return capture;
}

struct CountingSink : TlsPlaintextSink {
    std::uint64_t bytes = 0;
    std::uint8_t check = 0;
    void OnPlaintext(Direction, const std::uint8_t* data, std::size_t size) override {
        bytes += size;
        check ^= data[size - 1];
    }
};

// Arguments: the suite, the piece size (1448: one TCP segment at a time).
void BM_TlsDecrypt(benchmark::State& state) {
    const int suite = static_cast<int>(state.range(0));
    const std::size_t piece = static_cast<std::size_t>(state.range(1));
    const Capture& capture = CaptureOf(suite);
    if (!capture.error.empty()) {
        state.SkipWithError(capture.error.c_str());
        return;
    }
    state.SetLabel(std::string(kSuites[suite].cipher) +
                   (piece == 1448 ? ", segments" : ", 64 KiB"));
    KeyLog keyLog;
    keyLog.AddText(capture.keyLog);
    MemoryBudget budget;
    std::uint64_t wireBytes = 0;
    for (auto _ : state) {
        CountingSink sink;
        TlsConnection connection(keyLog, budget, sink);
        for (const TlsWireChunk& chunk : capture.chunks) {
            const std::uint8_t* data = capture.wire[static_cast<int>(chunk.direction)].data();
            for (std::size_t at = chunk.offset; at < chunk.offset + chunk.size; at += piece) {
                connection.Feed(chunk.direction, data + at,
                                std::min(piece, chunk.offset + chunk.size - at));
            }
            wireBytes += chunk.size;
        }
        benchmark::DoNotOptimize(sink.check);
        if (connection.State() != TlsState::Ended || sink.bytes < kAnswerSize) {
            state.SkipWithError(TlsFailureText(connection.Failure()));
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(wireBytes));
    state.counters["peak_budget_KiB"] = static_cast<double>(budget.Peak()) / 1024;
}
BENCHMARK(BM_TlsDecrypt)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {1448, 65536}})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0);

// The in-process peers themselves (tests/support/TlsTraffic): how fast they make traffic for
// generated captures. Wire bytes are handed to a sink that keeps nothing.
void BM_MakeTraffic(benchmark::State& state) {
    const Suite& suite = kSuites[state.range(0)];
    state.SetLabel(suite.cipher);
    TlsTrafficConfig config;
    config.version = suite.version;
    config.cipher = suite.cipher;
    TlsTraffic peers(config);
    std::uint64_t wireBytes = 0;
    peers.SetWireSink([&](Direction, const std::uint8_t*, std::size_t size) { wireBytes += size; });
    TlsExchangeStep step;
    step.clientSends = "GET /film.mp4 HTTP/1.1\r\nHost: media.test\r\n\r\n";
    step.serverAnswers.assign(16u << 20, 'm');
    for (auto _ : state) {
        const TlsTrafficResult result = peers.Run({step});
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(wireBytes));
}
BENCHMARK(BM_MakeTraffic)->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
