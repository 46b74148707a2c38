// Reading a key log that holds no keys: 16 MiB of empty lines, of lines of junk, or one line of
// 16 MiB, read by Poll in its steps as the capture loop reads it. Bytes processed are file bytes.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TempFolder.h"
#include "tls/KeyLog.h"

namespace {

constexpr std::size_t kFileBytes = 16u << 20;

std::string Contents(int kind) {
    if (kind == 0)
        return std::string(kFileBytes, '\n');
    if (kind == 1) {
        std::string lines;
        while (lines.size() < kFileBytes) lines += std::string(99, 'j') + "\n";
        lines.resize(kFileBytes);
        return lines;
    }
    return std::string(kFileBytes - 1, 'x') + "\n";
}

void BM_KeyLogWithoutKeys(benchmark::State& state) {
    TempFolder folder;
    const std::filesystem::path path = folder.path / "keys.log";
    std::ofstream(path, std::ios::binary) << Contents(static_cast<int>(state.range(0)));
    std::size_t steps = 0;
    for (auto _ : state) {
        KeyLog keyLog(path.string());
        do {
            keyLog.Poll();
            ++steps;
        } while (keyLog.Behind());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFileBytes));
    state.counters["time_per_step"] = benchmark::Counter(
        static_cast<double>(steps), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(state.range(0) == 0   ? "empty lines"
                   : state.range(0) == 1 ? "junk lines"
                                         : "one long line");
}
BENCHMARK(BM_KeyLogWithoutKeys)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
