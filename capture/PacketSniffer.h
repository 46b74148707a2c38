// A capture session: one adapter, the "tcp" filter and one capture thread that decodes every
// frame and runs media detection on it. The window keeps one session per usable adapter in
// g_packetSniffers.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/FrameDecoder.h"
#include "capture/MediaDetector.h"

// Receives each report on the capture thread: the media URL without scheme, the request header
// block, the length text and the type text.
using ReportCallback = void (*)(std::string url, std::string requestHeaders, std::string lengthText,
                                std::string typeText);

// Names of the adapters that are not loopback and have a usable IPv4 address, in the order the
// capture library lists them. Empty when the library cannot list devices.
std::vector<std::string> ListCaptureAdapters();

// The first usable IPv4 address of an address list: an AF_INET record whose first octet is
// not 0, 169, 254 or 255.
std::optional<Ipv4Address> FirstUsableAddress(const pcap_addr* addresses);

// Whether a device is listed by ListCaptureAdapters.
bool IsCaptureAdapter(const pcap_if_t& device);

class PacketSniffer {
public:
    // Opens the adapter and starts its capture thread. When the adapter is gone, has no usable
    // address, is not Ethernet or cannot be opened, no thread starts (see IsCapturing).
    explicit PacketSniffer(const std::string& adapterName);
    // Stops the capture thread, waits for it and releases the adapter.
    ~PacketSniffer();

    PacketSniffer(const PacketSniffer&) = delete;
    PacketSniffer& operator=(const PacketSniffer&) = delete;

    // Reports that arise before a callback is installed are dropped.
    void SetReportCallback(ReportCallback callback);

    // The next `count` sightings of `url` (without scheme) are not reported.
    void IgnoreUrl(const std::string& url, int count);

    const std::string& AdapterName() const { return m_adapterName; }
    // Whether the capture thread was started (it may have ended since on a read error).
    bool IsCapturing() const { return m_thread.joinable(); }
    // Whether the capture thread has left its loop (or never ran).
    bool IsFinished() const { return m_finished.load(); }
    // Why the session did not start; empty when it did.
    const std::string& ErrorText() const { return m_errorText; }
    Ipv4Address LocalAddress() const { return m_localAddress; }
    std::size_t IgnoreListSize() const { return m_detector.IgnoreListSize(); }

private:
    bool Open();
    void CaptureLoop();
    void Deliver(std::string url, std::string requestHeaders, std::string lengthText,
                 std::string typeText);

    std::atomic<ReportCallback> m_reportCallback{nullptr};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_finished{true};
    pcap_t* m_capture = nullptr;
    Ipv4Address m_localAddress{};
    MediaDetector m_detector;
    std::string m_adapterName;
    std::string m_errorText;
    std::thread m_thread;
};

// Every open session; filled and emptied by the window on the GUI thread only.
extern std::vector<PacketSniffer*> g_packetSniffers;
