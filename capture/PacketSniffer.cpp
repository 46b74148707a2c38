#include "capture/PacketSniffer.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <exception>

std::vector<PacketSniffer*> g_packetSniffers;

namespace {

constexpr int kSnapshotLength = 65535;
constexpr int kReadTimeoutMs = 1000;
constexpr const char* kFilterText = "tcp";

// Owns a device list from pcap_findalldevs.
struct DeviceList {
    pcap_if_t* first = nullptr;
    char error[PCAP_ERRBUF_SIZE] = {};
    DeviceList() {
        if (pcap_findalldevs(&first, error) != 0)
            first = nullptr;
    }
    ~DeviceList() {
        if (first != nullptr)
            pcap_freealldevs(first);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
};

}  // namespace

std::optional<Ipv4Address> FirstUsableAddress(const pcap_addr* addresses) {
    for (const pcap_addr* a = addresses; a != nullptr; a = a->next) {
        // Linux lists an AF_PACKET record first whose bytes 4-7 are no address at all.
        if (a->addr == nullptr || a->addr->sa_family != AF_INET)
            continue;
        Ipv4Address address;
        std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in*>(a->addr)->sin_addr, 4);
        // Only the first octet counts: every 169.x and 254.x address is refused.
        const std::uint8_t first = address[0];
        if (first == 0 || first == 169 || first == 254 || first == 255)
            continue;
        return address;
    }
    return std::nullopt;
}

bool IsCaptureAdapter(const pcap_if_t& device) {
    if (device.addresses == nullptr)
        return false;
    if ((device.flags & PCAP_IF_LOOPBACK) != 0)
        return false;
    return FirstUsableAddress(device.addresses).has_value();
}

std::vector<std::string> ListCaptureAdapters() {
    std::vector<std::string> names;
    DeviceList devices;
    for (const pcap_if_t* d = devices.first; d != nullptr; d = d->next) {
        if (d->name != nullptr && IsCaptureAdapter(*d))
            names.emplace_back(d->name);
    }
    return names;
}

PacketSniffer::PacketSniffer(const std::string& adapterName) : m_adapterName(adapterName) {
    m_detector.SetReportSink([this](std::string url, std::string requestHeaders,
                                    std::string lengthText, std::string typeText) {
        Deliver(std::move(url), std::move(requestHeaders), std::move(lengthText),
                std::move(typeText));
    });
    if (!Open())
        return;
    m_finished.store(false);
    m_thread = std::thread([this] { CaptureLoop(); });
}

bool PacketSniffer::Open() {
    {
        DeviceList devices;
        const pcap_if_t* found = nullptr;
        for (const pcap_if_t* d = devices.first; d != nullptr; d = d->next) {
            if (d->name != nullptr && m_adapterName == d->name) {
                found = d;
                break;
            }
        }
        if (found == nullptr) {
            m_errorText = "no such adapter";
            return false;
        }
        const auto address = FirstUsableAddress(found->addresses);
        if (!address) {
            m_errorText = "the adapter has no usable IPv4 address";
            return false;
        }
        m_localAddress = *address;
    }

    char error[PCAP_ERRBUF_SIZE] = {};
    m_capture = pcap_create(m_adapterName.c_str(), error);
    if (m_capture == nullptr) {
        m_errorText = error;
        return false;
    }
    pcap_set_snaplen(m_capture, kSnapshotLength);
    pcap_set_promisc(m_capture, 0);  // only traffic to and from this machine
    pcap_set_timeout(m_capture, kReadTimeoutMs);
    const int activated = pcap_activate(m_capture);
    bool ok = activated >= 0;
    if (!ok) {
        m_errorText = activated == PCAP_ERROR_PERM_DENIED
                          ? std::string("permission denied (needs root or cap_net_raw)")
                          : std::string(pcap_geterr(m_capture));
    } else if (pcap_datalink(m_capture) != DLT_EN10MB) {
        // Frames are decoded as Ethernet II; any other link layer would be misread.
        m_errorText = "not an Ethernet adapter";
        ok = false;
    } else {
        bpf_program program;
        if (pcap_compile(m_capture, &program, kFilterText, 1, PCAP_NETMASK_UNKNOWN) != 0) {
            m_errorText = pcap_geterr(m_capture);
            ok = false;
        } else {
            if (pcap_setfilter(m_capture, &program) != 0) {
                m_errorText = pcap_geterr(m_capture);
                ok = false;
            }
            pcap_freecode(&program);
        }
    }
    if (!ok) {
        pcap_close(m_capture);
        m_capture = nullptr;
    }
    return ok;
}

void PacketSniffer::CaptureLoop() {
    // Nothing may escape the thread: a throw here would end the process.
    try {
        m_finished.store(false);
        m_detector.Reset();
        while (!m_stopRequested.load()) {
            pcap_pkthdr* header = nullptr;
            const std::uint8_t* data = nullptr;
            const int result = pcap_next_ex(m_capture, &header, &data);
            if (result < 0)
                break;  // error, or pcap_breakloop from the destructor
            if (result == 0)
                continue;
            const auto packet = DecodeFrame(header->caplen, data, m_localAddress);
            if (packet)
                m_detector.HandlePacket(*packet, MonotonicSeconds());
        }
    } catch (const std::exception&) {
        // Out of memory in a request copy or a report: the session stops capturing.
    }
    m_finished.store(true);
}

void PacketSniffer::Deliver(std::string url, std::string requestHeaders, std::string lengthText,
                            std::string typeText) {
    const ReportCallback callback = m_reportCallback.load();
    if (callback == nullptr)
        return;
    try {
        callback(std::move(url), std::move(requestHeaders), std::move(lengthText),
                 std::move(typeText));
    } catch (...) {
        // A failing receiver drops this report; the capture goes on.
    }
}

PacketSniffer::~PacketSniffer() {
    m_stopRequested.store(true);
    if (m_thread.joinable()) {
        // On Linux a read on a silent adapter may block for ever; breakloop wakes it, and a
        // flag set before the read starts makes that read return at once.
        pcap_breakloop(m_capture);
        m_thread.join();
    }
    if (m_capture != nullptr)
        pcap_close(m_capture);
    m_detector.ClearIgnoreList();
    m_detector.Reset();
}

void PacketSniffer::SetReportCallback(ReportCallback callback) {
    m_reportCallback.store(callback);
}

void PacketSniffer::IgnoreUrl(const std::string& url, int count) {
    m_detector.IgnoreUrl(url, count);
}
