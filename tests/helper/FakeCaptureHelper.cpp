// A stand-in for the capture helper that plays one scripted stream, for the tests of the side
// that starts it: a good capture, and the ways a helper's stream can go wrong.
//   fake_capture_helper SCENARIO, or a link named SCENARIO to it
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <variant>

#include "helper/RecordStream.h"
#include "packetrules/MediaDetector.h"

extern char** environ;

namespace {

void WriteAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            _exit(3);
        done += static_cast<std::size_t>(n);
    }
}

std::string Frame(const StreamMessage& message) {
    std::string frame;
    if (!EncodeMessage(message, frame))
        _exit(4);
    return frame;
}

MediaRecord Record(std::uint32_t session, const std::string& url, std::uint64_t size) {
    MediaRecord record;
    record.session = session;
    record.report.url = url;
    record.report.requestHeaders = "GET /x HTTP/1.1\r\n\r\n";
    record.report.lengthText = std::to_string(size) + "\r\n";
    record.report.typeText = "x-flv\r\n";
    record.report.serverAddress = Ipv4Address{10, 0, 0, 7};
    record.report.serverPort = 8080;
    return record;
}

// The opening every scenario but "silent" and "early-end" shares: one session that captures,
// one that failed, listed.
std::string Opening() {
    return RecordStreamHeader() + Frame(SessionOpened{0, "fake0"}) +
           Frame(SessionFailed{1, "fake1", "no such adapter"}) + Frame(SessionsListed{});
}

// Answers commands until stop or the end of input: every ignore command is used at once (as if
// the URL had just been sighted), or with `keep` kept in the packet rules' own ignore list
// (which tells the entries it lets go as the oldest, as the helper does); an ignore of a URL
// ending in "/count" is answered with a notice of that list's size. Stop ends the capture with
// statistics.
int ServeCommands(bool keep = false) {
    MediaDetector kept;
    RecordStreamDecoder commands(StreamDirection::ToHelper);
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            break;
        commands.Feed(std::string_view(buffer, static_cast<std::size_t>(n)));
        StreamMessage message;
        RecordStreamDecoder::Status status;
        while ((status = commands.Next(message)) == RecordStreamDecoder::Status::Message) {
            if (const auto* ignore = std::get_if<IgnoreCommand>(&message)) {
                if (!keep) {
                    for (std::uint32_t i = 0; i < ignore->count; ++i)
                        WriteAll(Frame(UrlIgnored{ignore->session, ignore->url}));
                    continue;
                }
                const std::size_t dropped =
                    kept.IgnoreUrl(ignore->url, static_cast<int>(ignore->count));
                if (dropped > 0) {
                    WriteAll(Frame(IgnoreEntriesDropped{ignore->session,
                                                        static_cast<std::uint32_t>(dropped)}));
                }
                const std::string_view url = ignore->url;
                if (url.size() >= 6 && url.substr(url.size() - 6) == "/count")
                    WriteAll(Frame(Notice{"holds " + std::to_string(kept.IgnoreListSize())}));
                continue;
            }
            CaptureStatistics counts;
            counts.known = true;
            counts.received = 1234;
            counts.droppedByKernel = 5;
            WriteAll(Frame(SessionStatistics{0, counts}) + Frame(StreamEnd{}));
            return 0;
        }
        if (status == RecordStreamDecoder::Status::Failed)
            return 1;
    }
    WriteAll(Frame(StreamEnd{}));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The scenario is the argument, or else the name the program was started by (a link).
    std::string scenario = argc > 1 ? argv[1] : argv[0];
    scenario.erase(0, scenario.rfind('/') + 1);
    if (scenario == "keeps-ignores") {
        WriteAll(Opening());
        return ServeCommands(true);
    }
    if (scenario == "capture") {
        // A sanitizer build passes its runtime's options, and nothing else.
        std::size_t environment = 0;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string_view variable = *e;
            environment += variable.find("SAN_OPTIONS=") == std::string_view::npos ? 1 : 0;
        }
        WriteAll(Opening() +
                 Frame(Notice{"environment variables: " + std::to_string(environment)}) +
                 Frame(Record(0, "http://a.test/one.flv", 150000)) +
                 Frame(Record(0, std::string("http://b.test/\x01\xff\"$(id)", 21), 160000)));
        return ServeCommands();
    }
    if (scenario == "garbled") {
        WriteAll(Opening() + Frame(Record(0, "http://a.test/one.flv", 150000)) +
                 std::string("\x63garbage", 8));
    } else if (scenario == "oversized") {
        WriteAll(Opening() + std::string("\x04\xff\xff\xff\xff", 5));
    } else if (scenario == "record-of-failed-session") {
        WriteAll(Opening() + Frame(Record(1, "http://a.test/one.flv", 150000)));
    } else if (scenario == "truncated" || scenario == "dies" || scenario == "dies-later") {
        const std::string record = Frame(Record(0, "http://a.test/one.flv", 150000));
        if (scenario == "dies-later") {
            // Long after the sessions are listed, as a helper would that crashes mid-capture.
            WriteAll(Opening());
            usleep(500000);
            WriteAll(record.substr(0, record.size() / 2));
        } else {
            WriteAll(Opening() + record.substr(0, record.size() / 2));
        }
        if (scenario != "truncated")
            raise(SIGKILL);
        return 0;
    } else if (scenario == "stream-grows") {
        // A stream sighted before its segments, then its size and variant as they are seen; the
        // helper then dies, which ends the watch.
        MediaRecord sighted = Record(0, "http://a.test/show.m3u8", 0);
        sighted.report.kind = "hls";
        sighted.report.typeText = "hls";
        MediaRecord grown = sighted;
        grown.report.lengthText = "600000";
        grown.report.detail = "1280x720, 2.00 Mbit/s\nLive stream\n";
        WriteAll(Opening());
        usleep(200000);
        WriteAll(Frame(sighted) + Frame(grown) + Frame(grown));
        raise(SIGKILL);
        return 0;
    } else if (scenario == "early-end") {
        WriteAll(RecordStreamHeader() + Frame(SessionOpened{0, "fake0"}));
        return 1;
    } else if (scenario == "silent") {
        WriteAll(RecordStreamHeader());
    } else {
        std::fprintf(stderr, "fake-capture-helper: unknown scenario '%s'\n", scenario.c_str());
        return 2;
    }
    // Waits until killed or until its input closes.
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
