// Loopback transfer rate of the transfer engine and of the replay engine against the curl
// command-line tool, fetching the same 1 GiB body from the same local server into /dev/null,
// alternately in each iteration so that both see the same machine load.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <vector>

#include "http/HttpDownloader.h"
#include "http/LocalHttpServer.h"
#include "http/ReplayDownloader.h"

extern char** environ;

namespace {

constexpr std::uint64_t kBodyBytes = 1ull << 30;

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool RunCurlTool(const std::string& url) {
    const char* argv[] = {"curl", "-s", "-f", "-o", "/dev/null", url.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
        return false;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Fetches the body with `ours` and with the curl tool, alternately, `state` iterations long.
template <typename Transfer>
void AgainstCurl(benchmark::State& state, const char* name, Transfer ours) {
    ClearProxyEnvironment();
    LocalHttpServer server(PELNIX_HTTP_TEST_SERVER);
    if (!server.Running()) {
        state.SkipWithError("the test server did not start");
        return;
    }
    const std::string path = "/big/" + std::to_string(kBodyBytes);
    const std::string url = server.Url(path);
    std::vector<double> ourRates, curlRates;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!ours(server, path)) {
            state.SkipWithError("our transfer failed");
            return;
        }
        ourRates.push_back(kBodyBytes / Seconds(std::chrono::steady_clock::now() - start));

        start = std::chrono::steady_clock::now();
        if (!RunCurlTool(url)) {
            state.SkipWithError("the curl tool's transfer failed");
            return;
        }
        curlRates.push_back(kBodyBytes / Seconds(std::chrono::steady_clock::now() - start));
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ourRates.size(); ++i) ratios.push_back(ourRates[i] / curlRates[i]);
    state.counters[std::string(name) + "_MiB/s"] = median(ourRates) / (1 << 20);
    state.counters["curl_MiB/s"] = median(curlRates) / (1 << 20);
    // Each pair ran back to back under the same load; the median pair speaks for the run.
    state.counters[std::string(name) + "/curl"] = median(ratios);
    state.SetBytesProcessed(static_cast<std::int64_t>(2 * kBodyBytes * state.iterations()));
}

void BM_LoopbackGiB_EngineVsCurl(benchmark::State& state) {
    AgainstCurl(state, "engine", [](const LocalHttpServer& server, const std::string& path) {
        HttpDownloader engine;
        engine.SetUrl(server.Url(path));
        engine.SetDestinationPath("/dev/null");
        return engine.Download();
    });
}

// The replay engine sends a request block as a browser would have sent it.
void BM_LoopbackGiB_ReplayVsCurl(benchmark::State& state) {
    AgainstCurl(state, "replay", [](const LocalHttpServer& server, const std::string& path) {
        ReplayDownloader replay;
        replay.SetUrl(server.Url(path));
        replay.SetServer("127.0.0.1", server.Port());
        replay.SetRequestHeaders("GET " + path + " HTTP/1.1\r\nHost: " + server.HostPort() +
                                 "\r\nUser-Agent: Mozilla/5.0\r\nAccept: */*\r\n"
                                 "Connection: keep-alive\r\n\r\n");
        replay.SetDestinationPath("/dev/null");
        replay.SetExpectedSize(kBodyBytes);
        return replay.Transfer();
    });
}

BENCHMARK(BM_LoopbackGiB_EngineVsCurl)->Iterations(9)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LoopbackGiB_ReplayVsCurl)->Iterations(9)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
