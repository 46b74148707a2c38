// A capture helper that plays a flood of records: one session, then COUNT media records of
// distinct URLs and sizes at RATE records a second (0: as fast as the pipe takes them), then it
// waits for the stop command. For helper_record_rate_bench.
//   helper_record_source COUNT RATE
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "helper/RecordStream.h"

namespace {

void WriteAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            std::exit(1);
        done += static_cast<std::size_t>(n);
    }
}

void Send(const StreamMessage& message, std::string& out) {
    if (!EncodeMessage(message, out))
        std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 100000;
    const long rate = argc > 2 ? std::atol(argv[2]) : 0;
    std::string out = RecordStreamHeader();
    Send(SessionOpened{0, "bench0"}, out);
    Send(SessionsListed{}, out);
    WriteAll(out);

    MediaRecord record;
    record.report.requestHeaders =
        "GET /v/clip.flv HTTP/1.1\r\nHost: media.test\r\nUser-Agent: Mozilla/5.0 (X11; Linux "
        "x86_64; rv:109.0) Gecko/20100101 Firefox/115.0\r\nAccept: */*\r\nAccept-Language: "
        "en-US,en;q=0.5\r\nConnection: keep-alive\r\n\r\n";
    record.report.typeText = "x-flv\r\n";
    record.report.serverAddress = Ipv4Address{10, 0, 0, 7};
    record.report.serverPort = 80;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    out.clear();
    for (long i = 0; i < count; ++i) {
        if (rate > 0 && i % 64 == 0) {
            // Paced in bursts of 64 records.
            const auto due = start + std::chrono::microseconds(i * 1000000L / rate);
            if (!out.empty()) {
                WriteAll(out);
                out.clear();
            }
            std::this_thread::sleep_until(due);
        }
        record.report.url = "http://media.test/v/" + std::to_string(i) + ".flv";
        record.report.lengthText = std::to_string(100000 + i) + "\r\n";
        Send(record, out);
        if (out.size() >= (64u << 10)) {
            WriteAll(out);
            out.clear();
        }
    }
    WriteAll(out);

    // Until stopped (or the input closes): then the end.
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    out.clear();
    Send(StreamEnd{}, out);
    WriteAll(out);
    return 0;
}
