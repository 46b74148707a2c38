#include "capture/HeadlessFrontEnd.h"

#include <pcap/pcap.h>
#include <pthread.h>

#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "capture/MediaDetector.h"
#include "capture/MediaMarkers.h"
#include "capture/PacketSniffer.h"

const char* const kHeadlessUsage =
    "  --read FILE [--local-address A.B.C.D]\n"
    "              list the media in a capture file (pcap) without a window: one line\n"
    "              per record, tab-separated: number, time sniffed, type, size in bytes,\n"
    "              URL. This machine's address is --local-address, or else the source of\n"
    "              the first packet carrying a GET request\n"
    "  --watch     capture on every adapter with a usable IPv4 address and print each\n"
    "              record as it is sniffed, until interrupted (needs capture rights)\n";

namespace {

void AppendEscaped(std::string& line, std::string_view text) {
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            line += escaped;
        } else {
            line += ch;
        }
    }
}

// Accepted records of the --read loop; the loop's own state, reached from the sink.
struct ReadState {
    MediaCatalogue catalogue;
    std::time_t packetTime = 0;
    std::FILE* out = nullptr;
};

// --watch: reports arrive on capture threads through a plain function, so the catalogue and
// the output are process-wide here.
MediaCatalogue* s_watchCatalogue = nullptr;
std::FILE* s_watchOut = nullptr;
std::mutex s_watchOutputMutex;

void OnWatchReport(std::string url, std::string requestHeaders, std::string lengthText,
                   std::string typeText) {
    MediaCatalogue* catalogue = s_watchCatalogue;
    if (catalogue == nullptr)
        return;
    const auto record = catalogue->AddSniffedMedia("http://" + url, requestHeaders, lengthText,
                                                   typeText, std::time(nullptr));
    if (!record)
        return;
    const std::string line = RecordLine(*record);
    std::lock_guard<std::mutex> lock(s_watchOutputMutex);
    std::fputs(line.c_str(), s_watchOut);
    std::fflush(s_watchOut);
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

int RunReadCommand(const std::string& fileName, std::optional<Ipv4Address> localAddress,
                   std::FILE* out, std::FILE* err) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* capture = pcap_open_offline(fileName.c_str(), error);
    if (capture == nullptr) {
        std::fprintf(err, "pelnix: cannot read capture file '%s': %s\n", fileName.c_str(), error);
        return 1;
    }
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> owner(capture, pcap_close);
    if (pcap_datalink(capture) != DLT_EN10MB) {
        std::fprintf(err, "pelnix: cannot read capture file '%s': not an Ethernet capture\n",
                     fileName.c_str());
        return 1;
    }

    ReadState state;
    state.out = out;
    MediaDetector detector;
    detector.SetReportSink([&state](std::string url, std::string requestHeaders,
                                    std::string lengthText, std::string typeText) {
        const auto record = state.catalogue.AddSniffedMedia("http://" + url, requestHeaders,
                                                            lengthText, typeText, state.packetTime);
        if (record)
            std::fputs(RecordLine(*record).c_str(), state.out);
    });

    bool localKnown = localAddress.has_value();
    Ipv4Address local = localAddress.value_or(Ipv4Address{});
    int result = 0;
    pcap_pkthdr* header = nullptr;
    const std::uint8_t* data = nullptr;
    while ((result = pcap_next_ex(capture, &header, &data)) >= 0) {
        if (result == 0)
            continue;
        auto packet = DecodeFrame(header->caplen, data, local);
        if (!packet)
            continue;
        if (!localKnown) {
            // Until a request shows which side this machine is, every packet counts as incoming.
            packet->outgoing = false;
            if (CarriesGetRequest(*packet)) {
                local = packet->sourceAddress;
                localKnown = true;
                packet->outgoing = true;
            }
        }
        state.packetTime = header->ts.tv_sec;
        // The file's own clock ages the pending requests, as the live clock would have.
        detector.HandlePacket(*packet, header->ts.tv_sec);
    }
    if (result == PCAP_ERROR) {
        std::fprintf(err, "pelnix: cannot read capture file '%s': %s\n", fileName.c_str(),
                     pcap_geterr(capture));
        return 1;
    }
    return std::fflush(out) == 0 ? 0 : 1;
}

int RunWatchCommand(std::FILE* out, std::FILE* err) {
    const std::vector<std::string> adapters = ListCaptureAdapters();
    if (adapters.empty()) {
        std::fprintf(err, "pelnix: no network adapter with a usable IPv4 address to capture on\n");
        return 1;
    }

    // Block the stop signals before any capture thread exists, so that threads inherit the
    // mask and only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);

    MediaCatalogue catalogue;
    s_watchCatalogue = &catalogue;
    s_watchOut = out;
    std::vector<std::unique_ptr<PacketSniffer>> sessions;
    for (const std::string& name : adapters) {
        auto session = std::make_unique<PacketSniffer>(name);
        if (!session->IsCapturing()) {
            std::fprintf(err, "pelnix: cannot capture on %s: %s\n", name.c_str(),
                         session->ErrorText().c_str());
            continue;
        }
        session->SetReportCallback(OnWatchReport);
        sessions.push_back(std::move(session));
    }

    int status = 0;
    if (sessions.empty()) {
        status = 1;
    } else {
        std::string names;
        for (const auto& session : sessions) {
            if (!names.empty())
                names += ", ";
            names += session->AdapterName();
        }
        std::fprintf(err, "pelnix: watching %s (interrupt to stop)\n", names.c_str());
        std::fflush(err);
        int received = 0;
        while (sigwait(&stopSignals, &received) != 0) {
        }
    }
    sessions.clear();  // stops and joins every capture thread
    catalogue.Close();
    s_watchCatalogue = nullptr;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

std::optional<int> RunHeadlessCommand(int argc, char** argv) {
    bool read = false;
    bool watch = false;
    std::optional<std::string> fileName;
    std::optional<std::string> localText;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--read") {
            read = true;
            if (i + 1 < argc)
                fileName = argv[++i];
        } else if (arg == "--local-address") {
            if (i + 1 < argc)
                localText = argv[++i];
            else
                localText = "";
        } else if (arg == "--watch") {
            watch = true;
        }
    }
    if (!read && !watch)
        return std::nullopt;

    // Everything else on the line must be understood: a mistyped option is not ignored.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--read" || arg == "--local-address") {
            ++i;
        } else if (arg != "--watch") {
            std::fprintf(stderr, "pelnix: unknown option '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    if (read && watch) {
        std::fprintf(stderr, "pelnix: --read and --watch cannot be used together\n");
        return 2;
    }
    if (read && !fileName) {
        std::fprintf(stderr, "pelnix: --read needs a capture file name\n");
        return 2;
    }
    if (localText && !read) {
        std::fprintf(stderr, "pelnix: --local-address goes with --read\n");
        return 2;
    }
    std::optional<Ipv4Address> local;
    if (localText) {
        local = ParseIpv4Address(*localText);
        if (!local) {
            std::fprintf(stderr, "pelnix: --local-address needs an address A.B.C.D, not '%s'\n",
                         localText->c_str());
            return 2;
        }
    }
    if (read)
        return RunReadCommand(*fileName, local, stdout, stderr);
    return RunWatchCommand(stdout, stderr);
}
