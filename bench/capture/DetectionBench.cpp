// Decoding plus detection throughput over a realistic packet mix.
#include <benchmark/benchmark.h>

#include "TrafficMix.h"
#include "packetrules/MediaDetector.h"

namespace {

void BM_DecodeAndDetect(benchmark::State& state) {
    const TrafficMix mix = MakeTrafficMix(64, 700);
    const LocalAddresses local{Ipv4Address{192, 168, 10, 20}};
    MediaDetector detector;
    PacketView packet;  // one view for every frame, as the capture loops keep it
    std::size_t reports = 0;
    detector.SetReportSink([&](MediaReport) { ++reports; });
    for (auto _ : state) {
        for (const auto& frame : mix.frames) {
            if (DecodeFrame(frame.size(), frame.data(), local, 0, packet))
                detector.HandlePacket(packet, 0);
        }
    }
    benchmark::DoNotOptimize(reports);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * mix.bytes));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * mix.frames.size()));
    state.counters["ns_per_packet"] =
        benchmark::Counter(static_cast<double>(state.iterations() * mix.frames.size()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                           benchmark::Counter::OneK::kIs1000);
    // Keeps the figure honest: every media transfer of the mix must have been recognised.
    if (reports < 64 * static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("transfers were missed");
}
BENCHMARK(BM_DecodeAndDetect)->Unit(benchmark::kMillisecond);

// Header-only answers, 8 transfers at a time with interleaved bodies, half of them IPv6 behind
// a VLAN tag: the connection table ties every body's first packet to its own answer.
void BM_DecodeAndDetectOverlapping(benchmark::State& state) {
    const TrafficMix mix = MakeOverlappingMix(64, 700);
    const LocalAddresses local{Ipv4Address{192, 168, 10, 20}, Ipv6("fd00:10::20")};
    MediaDetector detector;
    PacketView packet;  // one view for every frame, as the capture loops keep it
    std::size_t reports = 0;
    detector.SetReportSink([&](MediaReport) { ++reports; });
    std::int64_t now = 0;
    for (auto _ : state) {
        for (const auto& frame : mix.frames) {
            if (DecodeFrame(frame.size(), frame.data(), local, 0, packet))
                detector.HandlePacket(packet, now);
        }
        now += 61;  // every pass on fresh connections: the last pass's answers expire
    }
    benchmark::DoNotOptimize(reports);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * mix.bytes));
    state.counters["ns_per_packet"] =
        benchmark::Counter(static_cast<double>(state.iterations() * mix.frames.size()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                           benchmark::Counter::OneK::kIs1000);
    // Exactly one report per transfer: none missed, none tied to another connection's answer.
    if (reports != 64 * static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("transfers were missed or reported twice");
}
BENCHMARK(BM_DecodeAndDetectOverlapping)->Unit(benchmark::kMillisecond);

// The scan for "HTTP" over body segments dominates; this isolates it.
void BM_FindMarkerInBody(benchmark::State& state) {
    const TrafficMix mix = MakeTrafficMix(1, 2000);
    for (auto _ : state) {
        for (const auto& frame : mix.frames) {
            const std::size_t payload = frame.size() - 66;  // 14 + 20 + 32 bytes of headers
            benchmark::DoNotOptimize(FindMarker("HTTP", frame.data() + 66, payload, 0,
                                                payload < kScanWindow ? payload : kScanWindow));
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * mix.bytes));
}
BENCHMARK(BM_FindMarkerInBody)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
