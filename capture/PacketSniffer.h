// A capture session: one adapter, a filter for TCP (also behind VLAN tags) and one capture
// thread that decodes every frame and runs media detection on it. Opening and starting are two
// steps, so that a program can open every adapter while it holds capture rights, give the
// rights up, and only then start the threads that read packets. The capture helper keeps one
// session per usable adapter in g_packetSniffers.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frames/FrameDecoder.h"
#include "packetrules/MediaDetector.h"
#include "streams/StreamEngine.h"
#include "streams/TlsSighting.h"

// Receives each report on the capture thread.
using ReportCallback = void (*)(MediaReport report);

// The capture's snapshot length: the farthest any detection rule reads into a payload, plus
// room for the link, VLAN, IP and TCP headers. Bytes beyond it are never looked at, so copying
// them into the capture buffer would only fill it sooner.
inline constexpr int kCaptureSnapshotLength = static_cast<int>(kDetectionReach) + 1024;
// With the stream engine, whole frames: a segment cut short is a gap that gives its connection
// up. The largest frame a capture can hold (offloaded segments reach 64 KiB and more).
inline constexpr int kWholeFrameSnapshotLength = 262144;
// The kernel's capture buffer per session: a burst of full-size frames at link rate must fit
// while the capture thread is busy with the previous ones.
inline constexpr int kCaptureBufferBytes = 32 << 20;
// TCP, IPv6 whose first header is an extension header (the decoder walks them and drops what is
// not TCP), and TCP behind one or two VLAN tags.
inline constexpr const char* kCaptureFilter =
    "tcp or (ip6 and (ip6[6] == 0 or ip6[6] == 43 or ip6[6] == 60 or ip6[6] == 51))"
    " or (vlan and (tcp or (vlan and tcp)))";
// The same with the stream engine: QUIC clients' long-header packets too (streams/QuicSighting).
std::string StreamCaptureFilter();
// With a key log: the whole of QUIC's traffic on `ports` (443 and those servers named in Alt-Svc
// answers), besides TCP; also behind VLAN tags.
std::string QuicCaptureFilter(const std::vector<std::uint16_t>& ports);

// Names of the adapters that are not loopback and have a usable IPv4 or IPv6 address, in the
// order the capture library lists them. Empty when the library cannot list devices.
std::vector<std::string> ListCaptureAdapters();

// The first usable IPv4 address of an address list: an AF_INET record whose first octet is
// not 0, 169, 254 or 255.
std::optional<Ipv4Address> FirstUsableAddress(const pcap_addr* addresses);

// The first usable IPv6 address of an address list: an AF_INET6 record that is not
// unspecified, loopback, multicast, link-local or IPv4-mapped.
std::optional<IpAddress> FirstUsableIpv6Address(const pcap_addr* addresses);

// Whether a device is listed by ListCaptureAdapters.
bool IsCaptureAdapter(const pcap_if_t& device);

// The addresses whose packets a session on `adapter` counts as outgoing: the adapter's first
// usable IPv4 address, then its IPv6 addresses (link-local ones too: this machine sends from
// them), then the same of every other device that is not loopback, since the traffic of a
// VLAN sub-interface or a bridge port crosses this adapter with that interface's address.
LocalAddresses SessionLocalAddresses(const pcap_if_t& adapter, const pcap_if_t* allDevices);

// What the capture library counted for one session.
struct CaptureStatistics {
    bool known = false;  // false when the library could not give them
    std::uint64_t received = 0;
    std::uint64_t droppedByKernel = 0;     // the capture buffer was full
    std::uint64_t droppedByInterface = 0;  // the adapter or its driver dropped them
};

class PacketSniffer {
public:
    // Opens the adapter; no thread runs yet (see Start). When the adapter is gone, has no
    // usable address, is not Ethernet or cannot be opened, the session stays closed (see
    // IsOpen and ErrorText). `wholeFrames`: for the stream engine, the whole of every frame
    // and QUIC sightings are captured (see UseStreamEngine); otherwise only as much of each
    // frame as the packet rules read.
    explicit PacketSniffer(const std::string& adapterName, bool wholeFrames = false);
    // Stops the capture thread, waits for it and releases the adapter.
    ~PacketSniffer();

    PacketSniffer(const PacketSniffer&) = delete;
    PacketSniffer& operator=(const PacketSniffer&) = delete;

    // Starts the capture thread of an open session; false when the session is not open or the
    // thread cannot start, and then the adapter is released and ErrorText says why. Called
    // once, from the owning thread.
    bool Start();

    // Starts a session's capture thread in place of std::thread (tests use it to see a start
    // that fails); an empty starter restores std::thread.
    using ThreadStarter = std::function<std::thread(std::function<void()> body)>;
    static void SetThreadStarter(ThreadStarter starter);

    // Receives each report in place of the report callback, with whatever context it binds.
    // Installed before Start; runs on the capture thread.
    void SetReportSink(ReportSink sink) { m_reportSink = std::move(sink); }
    // Told each URL whose sighting the ignore list suppressed. Installed before Start; runs
    // on the capture thread.
    void SetIgnoredSink(std::function<void(const std::string& url)> sink) {
        m_detector.SetIgnoredSink(std::move(sink));
    }

    // Runs the stream engine on the capture thread beside (rules packets) or in place of
    // (rules streams) the packet rules, with a budget and key log that other sessions may
    // share; both must outlive the session. For a session opened with whole frames, before
    // Start; false otherwise. The key log is read first on the capture thread. With a key log
    // the session reads QUIC: its filter takes UDP port 443 whole, and the ports servers name
    // for HTTP/3 as they come. With `copies` (the capture spool, which must outlive the session
    // too), the bodies of listed media go there.
    bool UseStreamEngine(MemoryBudget& budget, KeyLog* keyLog, CaptureRules rules,
                         MediaCopySink* copies = nullptr);
    // Told on the capture thread, each kind once per session, what the user must know about
    // the capture (HTTP/3 or HTTPS seen that cannot be read: with no key log, HTTPS connections
    // carrying media-sized answers, see TlsSighting). Installed before Start.
    void SetNoticeSink(std::function<void(const std::string& text)> sink) {
        m_noticeSink = std::move(sink);
    }
    const StreamEngine* Engine() const { return m_engine.get(); }

    // Reports that arise before a callback is installed are dropped.
    void SetReportCallback(ReportCallback callback);

    // The next `count` sightings of `url` (without scheme) are not reported. Gives how many of
    // the ignore list's oldest entries gave way (the list is bounded).
    std::size_t IgnoreUrl(const std::string& url, int count);

    // Stops the capture thread and waits for it; the adapter stays open until destruction.
    // Called from the owning thread only.
    void Stop();

    const std::string& AdapterName() const { return m_adapterName; }
    // Whether the adapter is open (before Start, or with the thread started).
    bool IsOpen() const { return m_capture != nullptr; }
    // Whether the capture thread was started (it may have ended since on a read error).
    bool IsCapturing() const { return m_thread.joinable(); }
    // Whether the capture thread has left its loop (or never ran).
    bool IsFinished() const { return m_finished.load(); }
    // Why the session did not start; empty when it did.
    const std::string& ErrorText() const { return m_errorText; }
    const LocalAddresses& Locals() const { return m_localAddresses; }
    std::size_t IgnoreListSize() const { return m_detector.IgnoreListSize(); }
    // The library's counts, taken when the capture thread left its loop: valid after Stop.
    const CaptureStatistics& Statistics() const { return m_statistics; }

private:
    bool Open();
    // Compiles and sets a capture filter; false (ErrorText says why) when the library refuses.
    bool SetFilter(const std::string& filter);
    void CaptureLoop();
    static void OnPacket(u_char* session, const pcap_pkthdr* header, const u_char* frame);
    // The clock of the batch at hand, read at its first packet.
    void ReadClock() {
        if (!m_batchClockRead) {
            m_batchSeconds = MonotonicSeconds();
            m_batchClockRead = true;
        }
    }
    void Deliver(MediaReport report);
    void Notice(const char* text);

    std::atomic<ReportCallback> m_reportCallback{nullptr};
    ReportSink m_reportSink;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_finished{true};
    pcap_t* m_capture = nullptr;
    LocalAddresses m_localAddresses;
    MediaDetector m_detector;
    const bool m_wholeFrames;
    bool m_packetRules = true;  // off when the stream engine reads plain HTTP too
    std::unique_ptr<StreamEngine> m_engine;
    std::function<void(const std::string& text)> m_noticeSink;
    bool m_quicNoticed = false;  // capture thread only
    TlsSighting m_tlsSighting;   // capture thread only
    // The engine's QUIC ports the filter was set for (capture thread, once started).
    std::uint64_t m_quicPortsFiltered = 0;
    DatagramView m_datagram;  // capture thread only
    // Capture thread only: the view of the packet at hand; the clock of the packets of one
    // batch, read once per batch since expiry counts whole seconds; and whether a packet's
    // handling failed.
    PacketView m_packet;
    std::int64_t m_batchSeconds = 0;
    bool m_batchClockRead = false;
    bool m_handlingFailed = false;
    CaptureStatistics m_statistics;  // written by the capture thread before it finishes
    std::string m_adapterName;
    std::string m_errorText;
    std::thread m_thread;
};

// Every session of the capture helper; filled and emptied by its main thread only.
extern std::vector<PacketSniffer*> g_packetSniffers;
