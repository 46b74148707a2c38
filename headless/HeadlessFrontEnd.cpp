#include "headless/HeadlessFrontEnd.h"

#include <pcap/pcap.h>
#include <pthread.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "base/RegularFile.h"
#include "base/Settings.h"
#include "headless/CaptureFileRecords.h"
#include "headless/MediaSaveSession.h"
#include "helper/CaptureHelperClient.h"
#include "mediarules/HarReader.h"
#include "mediarules/MessageMediaRules.h"
#include "mediarules/Playlist.h"
#include "packetrules/MediaDetector.h"
#include "packetrules/MediaMarkers.h"
#include "streams/QuicSighting.h"
#include "streams/StreamEngine.h"
#include "streams/StreamSettings.h"
#include "streams/TlsSighting.h"

const char* const kHeadlessUsage =
    "  --read FILE [--local-address ADDR]\n"
    "              list the media in a capture file (pcap) or a browser's HAR export\n"
    "              without a window: one line\n"
    "              per record, tab-separated: number, time sniffed, type, size in bytes,\n"
    "              URL. This machine's address is ADDR (IPv4 or IPv6) for its family;\n"
    "              for a family without one, the source of the first packet of that\n"
    "              family carrying a GET request\n"
    "  --watch     capture on every adapter with a usable IPv4 or IPv6 address and print\n"
    "              each record as it is sniffed, until interrupted (through the capture\n"
    "              helper, which members of the group pelnix may run);\n"
    "              then one line per adapter on standard error: packets received, dropped\n"
    "              by the kernel, dropped by the interface\n"
    "  --format tsv|json\n"
    "              with --read or --watch: the tab-separated lines above (default), or one\n"
    "              JSON object per line: number, time (ISO 8601, UTC), type, size, url,\n"
    "              kind (file, ranged, hls, dash) and a stream's variants. A listed record\n"
    "              that changes (a stream's size as its segments are seen) is printed\n"
    "              again under its number as it changes (--watch; in JSON with\n"
    "              \"update\":true); --read with the stream engine or of a HAR prints each\n"
    "              record once, as it stands when it can no longer change\n"
    "  With --read or --watch, the stream engine (TCP streams, TLS, HTTP/1.1 and HTTP/2;\n"
    "  QUIC and HTTP/3):\n"
    "  --keylog FILE   the TLS key log a browser or curl writes (SSLKEYLOGFILE): HTTPS\n"
    "              media are listed too, over HTTP/3 as well; FILE may appear and grow\n"
    "              while --watch runs\n"
    "  --rules packets|streams\n"
    "              plain HTTP by the single-packet rules (default) or by the stream engine\n"
    "  --budget MIB    memory of the stream engine's connections together (default 64)\n"
    "  --save DIR  write every listed medium into DIR from the bytes the capture holds\n"
    "              (number-name, never over a file that is there; a stream as a folder\n"
    "              of its pieces with local playlists); plain HTTP by the stream engine\n"
    "  --spool-mib MIB  what the copies waiting to be written may take on disk\n"
    "              (default 2048)\n";

namespace {

constexpr std::size_t kReadBufferBytes = 256 << 10;

// Every byte that is not printable ASCII is written as \xNN: network text must never reach a
// terminal as a control (C1 controls come UTF-8-encoded too, as C2 80 to C2 9F).
void AppendEscaped(std::string& line, std::string_view text) {
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte > 0x7E) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            line += escaped;
        } else {
            line += ch;
        }
    }
}

// Whether a decoded packet carries a request the detector would remember.
bool CarriesGetRequest(const PacketView& packet) {
    const std::size_t g =
        FindMarker(kMarkers.get, packet.payload, packet.rawLength, 0, packet.scanLength);
    if (g == kNotFound)
        return false;
    return FindMarker(kMarkers.blank, packet.payload, packet.rawLength, g, packet.scanLength - g) !=
           kNotFound;
}

// A record as a line of `format`; `update` when it tells a change of a record already printed.
std::string FormatRecord(const SniffedMedia& record, OutputFormat format, bool update) {
    return format == OutputFormat::Json ? RecordJson(record, update) : RecordLine(record);
}

// With the stream engine (and for a HAR), records are printed in the order they were accepted,
// each as it stands once the catalogue can no longer change it (it left the catalogue, or the
// file ended): a stream's size grows as its segments are seen, and its changes fold into its
// one line. At most the catalogue's records wait, so the output holds no more than that
// whatever the file lists.
class RecordPrinter {
public:
    RecordPrinter(std::FILE* out, OutputFormat format) : m_out(out), m_format(format) {}
    void Take(const CatalogueChange& change) {
        if (change.kind == CatalogueChange::Kind::Added) {
            m_waiting.push_back({change.record.number, FormatRecord(change.record, m_format, false)});
            while (m_waiting.size() > static_cast<std::size_t>(MediaCatalogue::kMaxRecords)) {
                std::fputs(m_waiting.front().second.c_str(), m_out);
                m_waiting.pop_front();
            }
        } else if (change.kind == CatalogueChange::Kind::Updated) {
            for (auto& [number, line] : m_waiting) {
                if (number == change.record.number)
                    line = FormatRecord(change.record, m_format, false);
            }
        }
    }
    void Flush() {
        for (const auto& waiting : m_waiting) std::fputs(waiting.second.c_str(), m_out);
        m_waiting.clear();
    }

private:
    std::FILE* m_out;
    OutputFormat m_format;
    std::deque<std::pair<int, std::string>> m_waiting;
};

// How often the read loop looks at the clock for the key log's poll and at the stop flag.
constexpr std::uint32_t kPacketsPerClockLook = 1024;

// The read loop's state, reached from the capture library's per-packet callback.
struct ReadLoop {
    MediaDetector detector;
    bool packetRules = true;
    std::unique_ptr<StreamEngine> engine;  // with a key log or the rules streams
    std::uint32_t packetsSinceClock = 0;
    bool quicNoticed = false;
    TlsSighting tlsSighting;  // HTTPS that no key log opens
    const MediaFileReading* reading = nullptr;
    LocalAddresses locals;
    // Per family: whether this machine's address is known yet.
    bool ipv4Known = false;
    bool ipv6Known = false;
    PacketView packet;  // the packet at hand
    DatagramView datagram;  // or the datagram (QUIC)
    std::time_t packetTime = 0;
    pcap_t* capture = nullptr;  // when libpcap reads the file
    bool ended = false;  // the loop was told to end
    bool stopped = false;
    std::string failure;  // why the loop was broken off, when it was

    void Handle(const pcap_pkthdr& header, const std::uint8_t* frame) {
        if (++packetsSinceClock == kPacketsPerClockLook) {
            packetsSinceClock = 0;
            if (reading->stop && reading->stop->load(std::memory_order_relaxed)) {
                stopped = true;
                End();
                return;
            }
            if (engine)
                engine->PollKeyLog(std::chrono::steady_clock::now());
        }
        if (!DecodeFrame(header.caplen, frame, locals, header.len, packet)) {
            if (engine && engine->ReadsQuic()) {
                if (DecodeUdpFrame(header.caplen, frame, datagram)) {
                    packetTime = header.ts.tv_sec;
                    engine->HandleDatagram(datagram, header.ts.tv_sec);
                }
            } else if (engine && !quicNoticed && IsQuicLongHeader(frame, header.caplen)) {
                quicNoticed = true;
                if (reading->notice)
                    reading->notice(kQuicNotice);
            }
            return;
        }
        if (!(ipv4Known && ipv6Known)) {
            const bool ipv4 = packet.sourceAddress.IsIpv4();
            if (!(ipv4 ? ipv4Known : ipv6Known)) {
                // Until a request shows which side this machine is, every packet of the family
                // counts as incoming.
                packet.outgoing = false;
                if (CarriesGetRequest(packet)) {
                    locals.Add(packet.sourceAddress);
                    (ipv4 ? ipv4Known : ipv6Known) = true;
                    packet.outgoing = true;
                }
            }
        }
        packetTime = header.ts.tv_sec;
        if (!(engine && engine->ReadsQuic()) && tlsSighting.Handle(packet) && reading->notice)
            reading->notice(kTlsNotice);
        // The file's own clock ages the pending requests and the connections, as the live
        // clock would have.
        if (packetRules)
            detector.HandlePacket(packet, header.ts.tv_sec);
        if (engine)
            engine->HandlePacket(packet, header.ts.tv_sec);
    }

    void End() {
        ended = true;
        if (capture)
            pcap_breakloop(capture);
    }

    void Take(const pcap_pkthdr& header, const std::uint8_t* frame) {
        try {
            Handle(header, frame);
        } catch (const std::exception& e) {
            // No exception may cross the capture library's frames.
            failure = e.what();
            End();
        }
    }

    static void OnPacket(u_char* loop, const pcap_pkthdr* header, const u_char* frame) {
        reinterpret_cast<ReadLoop*>(loop)->Take(*header, frame);
    }

    // The records of a file that libpcap does not read; PCAP_ERROR after a bad record.
    int Run(CaptureFileRecords& records) {
        pcap_pkthdr header;
        const std::uint8_t* frame = nullptr;
        while (!ended) {
            switch (records.Next(header, frame)) {
                case CaptureFileRecords::Step::Record:
                    Take(header, frame);
                    break;
                case CaptureFileRecords::Step::End:
                    return 0;
                case CaptureFileRecords::Step::Error:
                    return PCAP_ERROR;
            }
        }
        return PCAP_ERROR_BREAK;
    }
};

bool ReadHarMedia(int fd, const std::string& fileName, const MediaFileReading& reading,
                  std::string& error) {
    std::time_t entryTime = 0;
    MessageMediaRules rules(
        [&](MediaReport report) { reading.report(std::move(report), entryTime); });
    rules.SetCopySink(reading.copies);
    std::string why;
    const bool ok = ReadHarDescriptor(
        fd,
        [&](const HarEntry& entry) {
            entryTime = entry.started;
            FeedHarEntry(entry, rules);
        },
        why, reading.stop);
    // Asked to stop, the reader ended within a step of its input: not an error.
    if (reading.stop && reading.stop->load())
        return true;
    if (!ok)
        error = "cannot read HAR file '" + fileName + "': " + why;
    return ok;
}

// Whether the open file holds a HAR, by its first bytes, whatever its name.
bool IsHarFile(int fd) {
    char start[64];
    ssize_t got;
    do {
        got = ::pread(fd, start, sizeof start, 0);
    } while (got < 0 && errno == EINTR);
    return got > 0 && LooksLikeHar(std::string_view(start, static_cast<std::size_t>(got)));
}

// --watch: reports arrive on capture threads through a plain function, so the catalogue and
// the output are process-wide here.
MediaCatalogue* s_watchCatalogue = nullptr;
MediaSaveSession* s_watchSaving = nullptr;  // with --save
std::FILE* s_watchOut = nullptr;
OutputFormat s_watchFormat = OutputFormat::Tsv;
std::mutex s_watchOutputMutex;
// The thread that waits for the watch's end, and the signal by which it learns that the helper
// ended on its own.
pthread_t s_watchThread;
constexpr int kHelperEndedSignal = SIGUSR1;

void OnWatchReport(MediaReport report) {
    MediaCatalogue* catalogue = s_watchCatalogue;
    if (catalogue == nullptr)
        return;
    // A change of a listed record (a stream's size as its segments are seen) is printed as it
    // happens, under the record's number.
    const CatalogueChange change = catalogue->Apply(report, std::time(nullptr));
    if (s_watchSaving != nullptr)
        s_watchSaving->Take(report, change);
    if (change.kind == CatalogueChange::Kind::Refused)
        return;
    const std::string line = FormatRecord(change.record, s_watchFormat,
                                          change.kind == CatalogueChange::Kind::Updated);
    std::lock_guard<std::mutex> lock(s_watchOutputMutex);
    std::fputs(line.c_str(), s_watchOut);
    std::fflush(s_watchOut);
}

// --read: a stop signal ends the reading within a step of the file, the records found so far
// are printed, and then the program ends by that signal, as it would have at once.
std::atomic<bool> s_readStop{false};
std::atomic<int> s_readStopSignal{0};
constexpr int kReadStopSignals[] = {SIGTERM, SIGINT, SIGHUP};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "set in a signal handler");

void OnReadStopSignal(int signal) {
    s_readStopSignal.store(signal);
    s_readStop.store(true);
}

int RunReadUntilStopSignal(const std::string& fileName, std::optional<IpAddress> local,
                           std::string_view programName, const StreamOptions& stream,
                           OutputFormat format, const SaveOptions* save) {
    struct sigaction action {};
    action.sa_handler = OnReadStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    struct sigaction previous[std::size(kReadStopSignals)] = {};
    bool installed[std::size(kReadStopSignals)] = {};
    for (std::size_t i = 0; i < std::size(kReadStopSignals); ++i) {
        // A signal the caller ignores (nohup) stays ignored.
        if (sigaction(kReadStopSignals[i], nullptr, &previous[i]) == 0 &&
            previous[i].sa_handler != SIG_IGN) {
            installed[i] = sigaction(kReadStopSignals[i], &action, nullptr) == 0;
        }
    }
    const int status =
        RunReadCommand(fileName, local, stdout, stderr, programName, stream, &s_readStop, format,
                       save);
    for (std::size_t i = 0; i < std::size(kReadStopSignals); ++i) {
        if (installed[i])
            sigaction(kReadStopSignals[i], &previous[i], nullptr);
    }
    if (const int signal = s_readStopSignal.load()) {
        std::fflush(stdout);
        std::fflush(stderr);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    return status;
}

std::string Text(std::string_view view) {
    return std::string(view);
}

}  // namespace

std::string RecordLine(const SniffedMedia& record) {
    std::string line = std::to_string(record.number);
    line += '\t';
    AppendEscaped(line, record.timeSniffed);
    line += '\t';
    AppendEscaped(line, record.type);
    line += '\t';
    line += std::to_string(record.size);
    line += '\t';
    AppendEscaped(line, record.url);
    line += '\n';
    return line;
}

namespace {

// The length of the valid UTF-8 sequence at text[at] that encodes a character from U+0080 on
// (no overlong form, no surrogate, nothing past U+10FFFF), or 0.
std::size_t Utf8SequenceAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    };
    const unsigned lead = byte(0);
    // The bounds of the second byte for each lead; the later ones are 80..BF.
    unsigned low = 0x80, high = 0xBF;
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    }
    return length;
}

void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        char escaped[8];
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
            ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else if (const std::size_t length = Utf8SequenceAt(text, i); length == 0) {
            // Not UTF-8: the replacement character, so that the line stays valid JSON.
            out += "\\ufffd";
            ++i;
        } else if (byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // A C1 control (U+0080 to U+009F), which a terminal would obey.
            std::snprintf(escaped, sizeof escaped, "\\u%04x",
                          static_cast<unsigned char>(text[i + 1]));
            out += escaped;
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    out += '"';
}

// The variants in a stream's detail: its lines but the notes (live, DRM) and the count of
// variants left out.
std::vector<std::string_view> DetailVariants(std::string_view detail) {
    std::vector<std::string_view> variants;
    while (!detail.empty()) {
        const std::size_t end = detail.find('\n');
        const std::string_view line = detail.substr(0, end);
        detail.remove_prefix(end == std::string_view::npos ? detail.size() : end + 1);
        if (line.empty() || line == kLiveNote || line == kDrmNote)
            continue;
        if (line.starts_with("and ") && line.ends_with(" more") &&
            line.find_first_not_of("0123456789", 4) == line.size() - 5 && line.size() > 9) {
            continue;
        }
        variants.push_back(line);
    }
    return variants;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out;
    AppendJsonString(out, text);
    return out;
}

std::string RecordJson(const SniffedMedia& record, bool update) {
    std::string line = "{\"number\":" + std::to_string(record.number) + ",\"time\":";
    std::tm utc{};
    char stamp[64] = {};
    if (gmtime_r(&record.sniffedAt, &utc) != nullptr &&
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc) > 0) {
        AppendJsonString(line, stamp);
    } else {
        line += "null";  // a moment no calendar date holds
    }
    line += ",\"type\":";
    AppendJsonString(line, record.type);
    line += ",\"size\":" + std::to_string(record.size) + ",\"url\":";
    AppendJsonString(line, record.url);
    line += ",\"kind\":";
    if (!record.kind.empty()) {
        AppendJsonString(line, record.kind);
        line += ",\"variants\":[";
        bool first = true;
        for (const std::string_view variant : DetailVariants(record.detail)) {
            if (!first)
                line += ',';
            first = false;
            AppendJsonString(line, variant);
        }
        line += ']';
    } else {
        line += record.ranged ? "\"ranged\"" : "\"file\"";
    }
    if (update)
        line += ",\"update\":true";
    line += "}\n";
    return line;
}

std::optional<OutputFormat> ParseOutputFormat(std::string_view text) {
    if (text == "tsv")
        return OutputFormat::Tsv;
    if (text == "json")
        return OutputFormat::Json;
    return std::nullopt;
}

std::string StatisticsLine(std::string_view programName, std::string_view adapterName,
                           const CaptureStatistics& statistics) {
    std::string line = Text(programName) + ": ";
    AppendEscaped(line, adapterName);
    if (!statistics.known)
        return line + ": no capture statistics\n";
    return line + ": " + std::to_string(statistics.received) + " packets received, " +
           std::to_string(statistics.droppedByKernel) + " dropped by the kernel, " +
           std::to_string(statistics.droppedByInterface) + " dropped by the interface\n";
}

bool ReadMediaFile(const std::string& fileName, const MediaFileReading& reading,
                   std::string& error) {
    const auto fail = [&](const std::string& why) {
        error = "cannot read capture file '" + fileName + "': " + why;
        return false;
    };
    std::string why;
    const int fd = OpenRegularFile(fileName, why);
    if (fd < 0)
        return fail(why);
    // What a file holds is Pelnix's only to list: its entries are fetched by URL, never by
    // replaying a request to the server address the file names.
    MediaFileReading fromFile = reading;
    fromFile.report = [&reading](MediaReport report, std::time_t when) {
        report.fromFile = true;
        reading.report(std::move(report), when);
    };
    if (IsHarFile(fd)) {
        const bool ok = ReadHarMedia(fd, fileName, fromFile, error);
        ::close(fd);
        return ok;
    }
    // Plain Ethernet captures are read here in large pieces; every other file by libpcap.
    std::optional<CaptureFileRecords> records = CaptureFileRecords::Open(fd);
    std::unique_ptr<char[]> buffer;
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> owner(nullptr, pcap_close);
    pcap_t* capture = nullptr;
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0)
                ::close(fd);
        }
    } closer{records ? fd : -1};
    if (!records) {
        std::FILE* file = ::fdopen(fd, "rb");
        if (file == nullptr) {
            why = std::strerror(errno);
            ::close(fd);
            return fail(why);
        }
        // The library reads each record with two small reads; through the C library's default
        // buffer of one page, the system calls would cost more than the detection does. Freed
        // after the capture handle, which closes the file.
        buffer = std::make_unique_for_overwrite<char[]>(kReadBufferBytes);
        std::setvbuf(file, buffer.get(), _IOFBF, kReadBufferBytes);
        char pcapError[PCAP_ERRBUF_SIZE] = {};
        capture = pcap_fopen_offline(file, pcapError);
        if (capture == nullptr) {
            std::fclose(file);
            return fail(pcapError);
        }
        owner.reset(capture);
        if (pcap_datalink(capture) != DLT_EN10MB)
            return fail("not an Ethernet capture");
    }

    const StreamOptions& stream = reading.stream;
    // The stream engine's memory and key log; the key log is read as a whole before the
    // capture, and followed while it is read.
    std::unique_ptr<MemoryBudget> budget;
    std::unique_ptr<KeyLog> keyLog;
    if (stream.EngineRuns()) {
        budget = std::make_unique<MemoryBudget>(stream.budgetBytes);
        if (!stream.keyLogFile.empty()) {
            const int fd = open(stream.keyLogFile.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) {
                if (reading.notice) {
                    reading.notice("cannot read key log '" + stream.keyLogFile +
                                   "': " + std::strerror(errno) + "; HTTPS is not decrypted");
                }
            } else {
                close(fd);
            }
            keyLog = std::make_unique<KeyLog>(stream.keyLogFile);
            if (reading.notice)
                keyLog->SetNoticeSink(reading.notice);
            // All of it, step by step: keys may follow a long stretch of lines that hold none.
            do {
                if (reading.stop && reading.stop->load(std::memory_order_relaxed))
                    return true;
                keyLog->Poll();
            } while (keyLog->Behind());
        }
    }

    // On the heap: the loop's state is large, and its lists live as long as the file is read.
    auto loop = std::make_unique<ReadLoop>();
    loop->reading = &fromFile;
    loop->capture = capture;
    const auto take = [state = loop.get()](MediaReport report) {
        state->reading->report(std::move(report), state->packetTime);
    };
    loop->detector.SetReportSink(take);
    if (stream.EngineRuns()) {
        StreamEngine::Setup setup;
        setup.budget = budget.get();
        setup.keyLog = keyLog.get();
        setup.rules = stream.rules;
        setup.copies = reading.copies;
        if (reading.notice)
            setup.notice = [&reading](std::string_view text) { reading.notice(std::string(text)); };
        loop->engine = std::make_unique<StreamEngine>(setup, take);
        loop->packetRules = stream.rules == CaptureRules::Packets;
    }
    if (reading.localAddress) {
        loop->locals.Add(*reading.localAddress);
        (reading.localAddress->IsIpv4() ? loop->ipv4Known : loop->ipv6Known) = true;
    }

    const int result =
        capture ? pcap_loop(capture, -1, &ReadLoop::OnPacket, reinterpret_cast<u_char*>(loop.get()))
                : loop->Run(*records);
    if (loop->stopped)
        return true;
    if (loop->engine) {
        // What the end of the file settles (bodies that last until the close, keys that came
        // late) is reported.
        try {
            loop->engine->Finish();
        } catch (const std::exception& e) {
            if (loop->failure.empty())
                loop->failure = e.what();
        }
        loop->engine.reset();
    }
    if (!loop->failure.empty())
        return fail(loop->failure);
    if (result == PCAP_ERROR)
        return fail(capture ? std::string(pcap_geterr(capture)) : records->Error());
    return true;
}

int RunReadCommand(const std::string& fileName, std::optional<IpAddress> localAddress,
                   std::FILE* out, std::FILE* err, std::string_view programName,
                   const StreamOptions& stream, const std::atomic<bool>* stop,
                   OutputFormat format, const SaveOptions* save) {
    const std::string name = Text(programName);
    bool har = false;
    {
        std::string why;
        if (const int fd = OpenRegularFile(fileName, why); fd >= 0) {
            har = IsHarFile(fd);
            ::close(fd);
        }
    }
    MediaCatalogue catalogue;
    std::unique_ptr<MediaSaveSession> saving;
    if (save != nullptr) {
        saving = std::make_unique<MediaSaveSession>(*save, catalogue, false, err, name);
        if (!saving->Ok()) {
            std::fprintf(err, "%s: %s\n", name.c_str(), saving->Error().c_str());
            return 1;
        }
    }
    // With the stream engine (a HAR goes through its media rules), each record is printed as
    // it stands once the catalogue can no longer change it; otherwise as it is accepted.
    std::unique_ptr<RecordPrinter> printer;
    if (stream.EngineRuns() || har)
        printer = std::make_unique<RecordPrinter>(out, format);
    MediaFileReading reading;
    reading.localAddress = localAddress;
    reading.stream = stream;
    reading.stop = stop;
    reading.copies = saving ? saving->Copies() : nullptr;
    reading.report = [&](MediaReport report, std::time_t when) {
        const CatalogueChange change = catalogue.Apply(report, when);
        if (saving)
            saving->Take(report, change);
        if (printer) {
            printer->Take(change);
        } else if (change.kind != CatalogueChange::Kind::Refused) {
            std::fputs(FormatRecord(change.record, format,
                                    change.kind == CatalogueChange::Kind::Updated)
                           .c_str(),
                       out);
        }
    };
    reading.notice = [&](const std::string& text) {
        std::fprintf(err, "%s: %s\n", name.c_str(), text.c_str());
    };
    std::string error;
    const bool ok = ReadMediaFile(fileName, reading, error);
    if (printer)
        printer->Flush();
    if (saving)
        saving->Finish();
    if (!ok) {
        std::fprintf(err, "%s: %s\n", name.c_str(), error.c_str());
        return 1;
    }
    return std::fflush(out) == 0 ? 0 : 1;
}

int RunWatchCommand(std::FILE* out, std::FILE* err, std::string_view programName,
                    std::string helperPath, const StreamOptions& stream, OutputFormat format,
                    const SaveOptions* save) {
    const std::string name = Text(programName);
    if (helperPath.empty())
        helperPath = FindCaptureHelper(ExecutableFolder());

    // Block the stop signals, and the one that tells of the helper's end, before any thread
    // exists, so that threads inherit the mask and only sigwait below receives them.
    sigset_t waitedSignals;
    sigemptyset(&waitedSignals);
    sigaddset(&waitedSignals, SIGINT);
    sigaddset(&waitedSignals, SIGTERM);
    sigaddset(&waitedSignals, kHelperEndedSignal);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &waitedSignals, &previous);

    MediaCatalogue catalogue;
    // With --save, the helper keeps the copies in a private folder of ours it is handed.
    std::unique_ptr<MediaSaveSession> saving;
    if (save != nullptr) {
        saving = std::make_unique<MediaSaveSession>(*save, catalogue, true, err, name);
        if (!saving->Ok()) {
            std::fprintf(err, "%s: %s\n", name.c_str(), saving->Error().c_str());
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
            return 1;
        }
    }
    s_watchCatalogue = &catalogue;
    s_watchSaving = saving.get();
    s_watchOut = out;
    s_watchFormat = format;
    s_watchThread = pthread_self();
    // The capture runs in the helper, which alone holds capture rights.
    CaptureHelperClient::Options options;
    options.helperPath = helperPath;
    options.stream = stream;
    options.reportCallback = OnWatchReport;
    // Each notice once (a few kinds at most; the helper itself tells each once).
    std::set<std::string> noticesTold;
    options.noticeCallback = [err, &name, &noticesTold](const std::string& text) {
        std::string line = name + ": ";
        AppendEscaped(line, text);
        line += '\n';
        std::lock_guard<std::mutex> lock(s_watchOutputMutex);
        if (noticesTold.size() >= 64 || !noticesTold.insert(text).second)
            return;
        std::fputs(line.c_str(), err);
        std::fflush(err);
    };
    options.endCallback = [] { pthread_kill(s_watchThread, kHelperEndedSignal); };
    if (saving) {
        options.spoolFolderFd = saving->SpoolFolderFd();
        options.spoolLimitBytes = save->spoolBytes;
        options.copyCallback = [session = saving.get()](const CopyStatus& status) {
            session->OnStatus(status);
        };
    }
    auto client = std::make_unique<CaptureHelperClient>(std::move(options));
    if (saving) {
        saving->SetDiscard(
            [session = client.get()](std::uint64_t copyId) { session->DiscardCopy(copyId); });
    }
    const auto started = client->Start();
    const std::vector<HelperSession*> sessions = client->Sessions();

    int status = 0;
    std::vector<HelperSession*> capturing;
    if (started == CaptureHelperClient::StartResult::NotPermitted) {
        std::fprintf(err, "%s: %s\n", name.c_str(), CaptureNotPermittedText(helperPath).c_str());
        status = 1;
    } else if (started == CaptureHelperClient::StartResult::Failed) {
        std::fprintf(err, "%s: cannot capture: %s\n", name.c_str(), client->StartError().c_str());
        status = 1;
    } else if (sessions.empty()) {
        std::fprintf(err,
                     "%s: no network adapter with a usable IPv4 or IPv6 address to capture on\n",
                     name.c_str());
        status = 1;
    } else {
        for (HelperSession* session : sessions) {
            if (session->IsCapturing()) {
                capturing.push_back(session);
            } else {
                std::string line = name + ": cannot capture on ";
                AppendEscaped(line, session->AdapterName());
                line += ": ";
                AppendEscaped(line, session->ErrorText());
                std::fprintf(err, "%s\n", line.c_str());
            }
        }
        status = capturing.empty() ? 1 : 0;
    }

    if (!capturing.empty()) {
        std::string names;
        for (const HelperSession* session : capturing) {
            if (!names.empty())
                names += ", ";
            AppendEscaped(names, session->AdapterName());
        }
        std::fprintf(err, "%s: watching %s (interrupt to stop)\n", name.c_str(), names.c_str());
        std::fflush(err);
        int received = 0;
        while (sigwait(&waitedSignals, &received) != 0) {
        }
        if (received == kHelperEndedSignal) {
            // The helper ended on its own: it died, or its stream went wrong.
            std::fprintf(err, "%s: the capture ended: %s\n", name.c_str(),
                         capturing.front()->ErrorText().c_str());
            status = 1;
        }
    }
    // The helper stops every capture first, so each count covers the whole watch.
    client->Stop();
    for (const HelperSession* session : capturing) {
        const std::string line =
            StatisticsLine(programName, session->AdapterName(), session->Statistics());
        std::fputs(line.c_str(), err);
    }
    std::fflush(err);
    // The helper has ended: every copy's last state is in.
    if (saving) {
        saving->SetDiscard({});
        saving->Finish();
    }
    client.reset();
    catalogue.Close();
    s_watchCatalogue = nullptr;
    s_watchSaving = nullptr;
    // The helper's end was told by a signal that is still pending when no wait took it.
    const timespec noWait{0, 0};
    sigset_t ended;
    sigemptyset(&ended);
    sigaddset(&ended, kHelperEndedSignal);
    while (sigtimedwait(&ended, nullptr, &noWait) == kHelperEndedSignal) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

std::optional<int> RunHeadlessCommand(int argc, char** argv, std::string_view programName) {
    const std::string name = Text(programName);
    bool read = false;
    bool watch = false;
    std::optional<std::string> fileName;
    std::optional<std::string> localText;
    std::optional<std::string> rulesText;
    std::optional<std::string> keyLogText;
    std::optional<std::string> budgetText;
    std::optional<std::string> saveText;
    std::optional<std::string> spoolText;
    std::optional<std::string> formatText;
    const auto valueOf = [&](int& i, std::optional<std::string>& value) {
        value = i + 1 < argc ? std::optional<std::string>(argv[++i]) : std::nullopt;
        if (!value)
            value = std::string();
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--read") {
            read = true;
            if (i + 1 < argc)
                fileName = argv[++i];
        } else if (arg == "--local-address") {
            valueOf(i, localText);
        } else if (arg == "--rules") {
            valueOf(i, rulesText);
        } else if (arg == "--keylog") {
            valueOf(i, keyLogText);
        } else if (arg == "--budget") {
            valueOf(i, budgetText);
        } else if (arg == "--save") {
            valueOf(i, saveText);
        } else if (arg == "--spool-mib") {
            valueOf(i, spoolText);
        } else if (arg == "--format") {
            valueOf(i, formatText);
        } else if (arg == "--watch") {
            watch = true;
        }
    }
    if (!read && !watch)
        return std::nullopt;

    // Everything else on the line must be understood: a mistyped option is not ignored.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--read" || arg == "--local-address" || arg == "--rules" || arg == "--keylog" ||
            arg == "--budget" || arg == "--format" || arg == "--save" || arg == "--spool-mib") {
            ++i;
        } else if (arg != "--watch") {
            std::fprintf(stderr, "%s: unknown option '%s' (try --help)\n", name.c_str(), argv[i]);
            return 2;
        }
    }
    StreamOptions stream;
    if (rulesText) {
        const auto rules = ParseCaptureRules(*rulesText);
        if (!rules) {
            std::fprintf(stderr, "%s: --rules takes packets or streams, not '%s'\n", name.c_str(),
                         rulesText->c_str());
            return 2;
        }
        stream.rules = *rules;
    }
    // --save keeps the bytes the stream engine reads: it reads plain HTTP too, in place of the
    // packet rules, which see single packets and keep nothing.
    std::optional<SaveOptions> save;
    if (saveText) {
        if (saveText->empty()) {
            std::fprintf(stderr, "%s: --save needs a folder name\n", name.c_str());
            return 2;
        }
        if (rulesText && stream.rules == CaptureRules::Packets) {
            std::fprintf(stderr,
                         "%s: --save needs the stream engine for plain HTTP: it goes with "
                         "--rules streams, its default\n",
                         name.c_str());
            return 2;
        }
        stream.rules = CaptureRules::Streams;
        save.emplace();
        save->folder = *saveText;
    }
    if (spoolText) {
        const auto bytes = ParseSpoolMiB(*spoolText);
        if (!bytes) {
            std::fprintf(stderr,
                         "%s: --spool-mib needs a number of mebibytes from %llu to %llu, not "
                         "'%s'\n",
                         name.c_str(), static_cast<unsigned long long>(kMinSpoolMiB),
                         static_cast<unsigned long long>(kMaxSpoolMiB), spoolText->c_str());
            return 2;
        }
        if (!save) {
            std::fprintf(stderr, "%s: --spool-mib goes with --save\n", name.c_str());
            return 2;
        }
        save->spoolBytes = *bytes;
    }
    if (keyLogText) {
        if (keyLogText->empty()) {
            std::fprintf(stderr, "%s: --keylog needs a file name\n", name.c_str());
            return 2;
        }
        stream.keyLogFile = KeyLogPath(*keyLogText);
    }
    if (budgetText) {
        const auto bytes = ParseBudgetMiB(*budgetText);
        if (!bytes) {
            std::fprintf(stderr,
                         "%s: --budget needs a number of mebibytes from %llu to %llu, not '%s'\n",
                         name.c_str(), static_cast<unsigned long long>(kMinStreamBudgetMiB),
                         static_cast<unsigned long long>(kMaxStreamBudgetMiB), budgetText->c_str());
            return 2;
        }
        if (!stream.EngineRuns()) {
            std::fprintf(stderr, "%s: --budget goes with --rules streams or --keylog\n",
                         name.c_str());
            return 2;
        }
        stream.budgetBytes = *bytes;
    }
    OutputFormat format = OutputFormat::Tsv;
    if (formatText) {
        const auto parsed = ParseOutputFormat(*formatText);
        if (!parsed) {
            std::fprintf(stderr, "%s: --format takes tsv or json, not '%s'\n", name.c_str(),
                         formatText->c_str());
            return 2;
        }
        format = *parsed;
    }
    if (read && watch) {
        std::fprintf(stderr, "%s: --read and --watch cannot be used together\n", name.c_str());
        return 2;
    }
    if (read && !fileName) {
        std::fprintf(stderr, "%s: --read needs a capture file name\n", name.c_str());
        return 2;
    }
    if (localText && !read) {
        std::fprintf(stderr, "%s: --local-address goes with --read\n", name.c_str());
        return 2;
    }
    std::optional<IpAddress> local;
    if (localText) {
        local = ParseIpAddress(*localText);
        if (!local) {
            std::fprintf(stderr, "%s: --local-address needs an IPv4 or IPv6 address, not '%s'\n",
                         name.c_str(), localText->c_str());
            return 2;
        }
    }
    const SaveOptions* saving = save ? &*save : nullptr;
    if (read)
        return RunReadUntilStopSignal(*fileName, local, programName, stream, format, saving);
    return RunWatchCommand(stdout, stderr, programName, {}, stream, format, saving);
}
