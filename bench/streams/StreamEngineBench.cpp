// Throughput of the stream engine without TLS: frame decoding, TCP reassembly and the HTTP
// layer over captures of large media answers, and the HTTP layer alone over the same bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <utility>

#include "StreamMix.h"
#include "httpmsg/Http3Connection.h"
#include "httpmsg/HttpConnection.h"
#include "support/Http3Frames.h"
#include "tcp/TcpReassembler.h"

namespace {

// Asks for the first 16 bytes of every body, as the media rules do to see "FLV" or "ID3".
class CountingExchanges : public HttpExchangeSink {
public:
    std::size_t OnResponseHead(const HttpExchange&) override {
        ++heads;
        return 16;
    }
    void OnResponseBody(const HttpExchange&, std::string_view body, bool) override {
        if (body.size() == 16)
            ++bodies;
    }
    std::size_t heads = 0;
    std::size_t bodies = 0;
};

class HttpSink : public TcpConnectionSink {
public:
    HttpSink(MemoryBudget& budget, HttpExchangeSink& exchanges)
        : m_budget(budget), m_exchanges(exchanges) {}
    std::unique_ptr<TcpStreamHandler> OnConnection(const TcpConnectionInfo& info) override {
        HttpConnectionContext context;
        context.scheme = "https";
        context.serverAddress = info.serverAddress;
        context.serverPort = info.serverPort;
        return HttpConnection::Create(m_budget, m_exchanges, context);
    }

private:
    MemoryBudget& m_budget;
    HttpExchangeSink& m_exchanges;
};

void Report(benchmark::State& state, const StreamMix& mix) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * mix.bytes));
    state.counters["ns_per_packet"] =
        benchmark::Counter(static_cast<double>(state.iterations() * mix.frames.size()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                           benchmark::Counter::OneK::kIs1000);
}

// Frames to exchanges: every pass on fresh connections (a new reassembler), all within one
// 64 MiB budget.
void RunEngine(benchmark::State& state, MixKind kind, int swapEvery) {
    // Made once: the library runs each benchmark several times.
    static std::map<std::pair<MixKind, int>, StreamMix> s_mixes;
    auto made = s_mixes.find({kind, swapEvery});
    if (made == s_mixes.end()) {
        made = s_mixes
                   .emplace(
                       std::pair{kind, swapEvery},
                       MakeStreamMix(kind, 16, kind == MixKind::Http2 ? 4 : 2, 2u << 20, swapEvery))
                   .first;
    }
    const StreamMix& mix = made->second;
    const LocalAddresses local{Ipv4Address{192, 168, 10, 20}};
    MemoryBudget budget;
    CountingExchanges exchanges;
    HttpSink sink(budget, exchanges);
    PacketView packet;
    for (auto _ : state) {
        TcpReassembler reassembler(budget, sink);
        for (const auto& frame : mix.frames) {
            if (DecodeFrame(frame.length, mix.buffer.data() + frame.offset, local, 0, packet))
                reassembler.HandlePacket(packet, 0);
        }
    }
    // Keeps the figure honest: every answer of every pass was read to its end.
    if (exchanges.heads != mix.exchanges * state.iterations() ||
        exchanges.bodies != exchanges.heads)
        state.SkipWithError("answers were missed");
    Report(state, mix);
}

void BM_EngineHttp1Length(benchmark::State& state) {
    RunEngine(state, MixKind::Http1Length, 0);
}
void BM_EngineHttp1Chunked(benchmark::State& state) {
    RunEngine(state, MixKind::Http1Chunked, 0);
}
void BM_EngineHttp2(benchmark::State& state) {
    RunEngine(state, MixKind::Http2, 0);
}
// One pair of segments in 20 swapped: the later one is held until the earlier one comes.
void BM_EngineHttp1Reordered(benchmark::State& state) {
    RunEngine(state, MixKind::Http1Length, 20);
}
BENCHMARK(BM_EngineHttp1Length)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineHttp1Chunked)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineHttp2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineHttp1Reordered)->Unit(benchmark::kMillisecond);

// The HTTP layer alone over one connection's two streams, handed over in 64 KiB pieces.
void RunHttpLayer(benchmark::State& state, MixKind kind) {
    const StreamMix mix = MakeStreamMix(kind, 1, kind == MixKind::Http2 ? 4 : 8, 4u << 20);
    // The TCP payloads of the mix's single connection, per direction, in order.
    std::string streams[2];
    const LocalAddresses local{Ipv4Address{192, 168, 10, 20}};
    for (const auto& frame : mix.frames) {
        const auto view = DecodeFrame(frame.length, mix.buffer.data() + frame.offset, local);
        if (view && view->wireLength > 0 && (view->tcpFlags & kTcpSyn) == 0)
            streams[view->outgoing ? 0 : 1].append(reinterpret_cast<const char*>(view->payload),
                                                   view->wireLength);
    }
    MemoryBudget budget;
    CountingExchanges exchanges;
    for (auto _ : state) {
        auto connection = HttpConnection::Create(budget, exchanges, HttpConnectionContext{});
        connection->OnData(Direction::ToServer,
                           reinterpret_cast<const std::uint8_t*>(streams[0].data()),
                           streams[0].size());
        for (std::size_t at = 0; at < streams[1].size(); at += 65536) {
            connection->OnData(Direction::ToClient,
                               reinterpret_cast<const std::uint8_t*>(streams[1].data()) + at,
                               std::min<std::size_t>(65536, streams[1].size() - at));
        }
        connection->OnEnd(TcpEndReason::Closed);
    }
    if (exchanges.heads != mix.exchanges * state.iterations() ||
        exchanges.bodies != exchanges.heads)
        state.SkipWithError("answers were missed");
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * (streams[0].size() + streams[1].size())));
}

void BM_HttpLayerHttp1Length(benchmark::State& state) {
    RunHttpLayer(state, MixKind::Http1Length);
}
void BM_HttpLayerHttp1Chunked(benchmark::State& state) {
    RunHttpLayer(state, MixKind::Http1Chunked);
}
void BM_HttpLayerHttp2(benchmark::State& state) {
    RunHttpLayer(state, MixKind::Http2);
}
// HTTP/3 of one QUIC connection: four requests, their 4 MiB answers in 16 KiB DATA frames,
// the four response streams handed over in turns of 1,200 bytes as QUIC packets carry them.
void BM_HttpLayerHttp3(benchmark::State& state) {
    constexpr int kRequests = 4;
    h3::Encoder client;
    h3::Encoder server;
    const std::string settings =
        h3::VarInt(h3::kControlStream) +
        h3::Settings({{h3::kQpackMaxTableCapacity, 4096}, {h3::kQpackBlockedStreams, 16}});
    std::string requests[kRequests];
    std::string answers[kRequests];
    std::string body;
    for (int i = 0; i < 256; ++i) body += h3::Data(std::string(16384, 'v'));
    for (int i = 0; i < kRequests; ++i) {
        requests[i] = client.Headers(4 * i, {{":method", "GET"},
                                             {":scheme", "https"},
                                             {":authority", "media.test"},
                                             {":path", "/v" + std::to_string(i) + ".mp4"}});
        answers[i] =
            server.Headers(4 * i, {{":status", "200"}, {"content-type", "video/mp4"}}) + body;
    }
    std::size_t longest = 0;
    std::size_t total = 0;
    for (const std::string& answer : answers) {
        longest = std::max(longest, answer.size());
        total += answer.size();
    }
    const std::string clientTable = h3::VarInt(h3::kEncoderStream) + client.EncoderStream();
    const std::string serverTable = h3::VarInt(h3::kEncoderStream) + server.EncoderStream();
    const auto bytes = [](const std::string& text) {
        return reinterpret_cast<const std::uint8_t*>(text.data());
    };
    MemoryBudget budget;
    CountingExchanges exchanges;
    std::size_t answered = 0;
    for (auto _ : state) {
        auto connection = Http3Connection::Create(budget, exchanges, HttpConnectionContext{});
        connection->OnStreamData(2, Direction::ToServer, bytes(settings), settings.size(), false);
        connection->OnStreamData(3, Direction::ToClient, bytes(settings), settings.size(), false);
        connection->OnStreamData(6, Direction::ToServer, bytes(clientTable), clientTable.size(),
                                 false);
        connection->OnStreamData(7, Direction::ToClient, bytes(serverTable), serverTable.size(),
                                 false);
        for (int i = 0; i < kRequests; ++i) {
            connection->OnStreamData(4 * i, Direction::ToServer, bytes(requests[i]),
                                     requests[i].size(), true);
        }
        for (std::size_t at = 0; at < longest; at += 1200) {
            for (int i = 0; i < kRequests; ++i) {
                if (at >= answers[i].size())
                    continue;
                const std::size_t size = std::min<std::size_t>(1200, answers[i].size() - at);
                connection->OnStreamData(4 * i, Direction::ToClient, bytes(answers[i]) + at, size,
                                         at + size == answers[i].size());
            }
        }
        connection->OnEnd();
        answered += kRequests;
    }
    if (exchanges.heads != answered || exchanges.bodies != exchanges.heads)
        state.SkipWithError("answers were missed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total));
}

BENCHMARK(BM_HttpLayerHttp1Length)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HttpLayerHttp1Chunked)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HttpLayerHttp2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HttpLayerHttp3)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
