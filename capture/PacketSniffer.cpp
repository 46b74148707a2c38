#include "capture/PacketSniffer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <exception>

#include "streams/QuicSighting.h"
#include "streams/TlsSighting.h"

std::vector<PacketSniffer*> g_packetSniffers;

namespace {

PacketSniffer::ThreadStarter& Starter() {
    static PacketSniffer::ThreadStarter starter;
    return starter;
}

constexpr int kReadTimeoutMs = 1000;
// With the stream engine the loop looks at the key log about this often while idle.
constexpr int kStreamReadTimeoutMs = 100;

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

bool IsUsableIpv4(const Ipv4Address& address) {
    // Only the first octet counts: every 169.x and 254.x address is refused.
    const std::uint8_t first = address[0];
    return first != 0 && first != 169 && first != 254 && first != 255;
}

std::optional<IpAddress> Ipv6Of(const pcap_addr& record) {
    if (record.addr == nullptr || record.addr->sa_family != AF_INET6)
        return std::nullopt;
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(record.addr);
    const IpAddress address =
        IpAddress::FromIpv6(reinterpret_cast<const std::uint8_t*>(&in6->sin6_addr));
    // Neither unspecified, a multicast group nor IPv4-mapped: none is this machine's own.
    if (address == IpAddress{} || address.bytes[0] == 0xFF || address.IsIpv4())
        return std::nullopt;
    return address;
}

std::optional<Ipv4Address> Ipv4Of(const pcap_addr& record) {
    // Linux lists an AF_PACKET record first whose bytes 4-7 are no address at all.
    if (record.addr == nullptr || record.addr->sa_family != AF_INET)
        return std::nullopt;
    Ipv4Address address;
    std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in*>(record.addr)->sin_addr, 4);
    return address;
}

}  // namespace

std::optional<Ipv4Address> FirstUsableAddress(const pcap_addr* addresses) {
    for (const pcap_addr* a = addresses; a != nullptr; a = a->next) {
        const auto address = Ipv4Of(*a);
        if (address && IsUsableIpv4(*address))
            return address;
    }
    return std::nullopt;
}

std::optional<IpAddress> FirstUsableIpv6Address(const pcap_addr* addresses) {
    for (const pcap_addr* a = addresses; a != nullptr; a = a->next) {
        const auto address = Ipv6Of(*a);
        if (!address)
            continue;
        const auto& b = address->bytes;
        const bool loopback = *address == IpAddress::FromIpv6(in6addr_loopback.s6_addr);
        // Link-local (fe80::/10) addresses exist on every adapter with IPv6 switched on,
        // connected or not: like 169.254.x.x, they make no adapter usable.
        const bool linkLocal = b[0] == 0xFE && (b[1] & 0xC0) == 0x80;
        if (!loopback && !linkLocal)
            return address;
    }
    return std::nullopt;
}

bool IsCaptureAdapter(const pcap_if_t& device) {
    if (device.addresses == nullptr)
        return false;
    if ((device.flags & PCAP_IF_LOOPBACK) != 0)
        return false;
    return FirstUsableAddress(device.addresses) || FirstUsableIpv6Address(device.addresses);
}

LocalAddresses SessionLocalAddresses(const pcap_if_t& adapter, const pcap_if_t* allDevices) {
    LocalAddresses locals;
    if (const auto first = FirstUsableAddress(adapter.addresses))
        locals.Add(*first);
    for (const pcap_addr* a = adapter.addresses; a != nullptr; a = a->next) {
        if (const auto v6 = Ipv6Of(*a))
            locals.Add(*v6);
    }
    for (const pcap_if_t* d = allDevices; d != nullptr; d = d->next) {
        if (d == &adapter || (d->flags & PCAP_IF_LOOPBACK) != 0)
            continue;
        if (const auto first = FirstUsableAddress(d->addresses))
            locals.Add(*first);
        for (const pcap_addr* a = d->addresses; a != nullptr; a = a->next) {
            if (const auto v6 = Ipv6Of(*a))
                locals.Add(*v6);
        }
    }
    return locals;
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

std::string StreamCaptureFilter() {
    // In front: every "vlan" moves the offsets of what follows it in the expression.
    return std::string(kQuicFilterClause) + " or " + kCaptureFilter;
}

std::string QuicCaptureFilter(const std::vector<std::uint16_t>& ports) {
    std::string udp = "(udp and (";
    for (std::size_t i = 0; i < ports.size(); ++i)
        udp += (i == 0 ? "port " : " or port ") + std::to_string(ports[i]);
    udp += "))";
    // kCaptureFilter with the UDP ports beside TCP, untagged and behind one or two tags.
    return udp +
           " or tcp or (ip6 and (ip6[6] == 0 or ip6[6] == 43 or ip6[6] == 60 or ip6[6] == 51))"
           " or (vlan and (" +
           udp + " or tcp or (vlan and (" + udp + " or tcp))))";
}

PacketSniffer::PacketSniffer(const std::string& adapterName, bool wholeFrames)
    : m_wholeFrames(wholeFrames), m_adapterName(adapterName) {
    m_detector.SetReportSink([this](MediaReport report) { Deliver(std::move(report)); });
    Open();
}

bool PacketSniffer::UseStreamEngine(MemoryBudget& budget, KeyLog* keyLog, CaptureRules rules,
                                    MediaCopySink* copies) {
    if (!m_wholeFrames || m_thread.joinable() || m_engine)
        return false;
    StreamEngine::Setup setup;
    setup.budget = &budget;
    setup.keyLog = keyLog;
    setup.rules = rules;
    setup.copies = copies;
    setup.notice = [this](std::string_view text) { Notice(std::string(text).c_str()); };
    m_engine = std::make_unique<StreamEngine>(
        setup, [this](MediaReport report) { Deliver(std::move(report)); },
        [this](std::string_view url) { return m_detector.TakeIgnored(url); });
    m_packetRules = rules == CaptureRules::Packets;
    // Reading QUIC, the session takes its UDP traffic whole (a filter needs no rights).
    if (m_engine->ReadsQuic() && m_capture != nullptr) {
        m_quicPortsFiltered = m_engine->QuicPortsRead().Generation();
        if (!SetFilter(QuicCaptureFilter(m_engine->QuicPortsRead().All()))) {
            pcap_close(m_capture);
            m_capture = nullptr;
        }
    }
    return true;
}

bool PacketSniffer::Start() {
    if (m_capture == nullptr || m_thread.joinable())
        return false;
    m_finished.store(false);
    try {
        m_thread = Starter() ? Starter()([this] { CaptureLoop(); })
                             : std::thread([this] { CaptureLoop(); });
    } catch (const std::exception& failure) {
        // A session whose thread cannot start is a session that failed to open.
        m_finished.store(true);
        pcap_close(m_capture);
        m_capture = nullptr;
        m_errorText = std::string("the capture thread could not start: ") + failure.what();
        return false;
    }
    return true;
}

void PacketSniffer::SetThreadStarter(ThreadStarter starter) {
    Starter() = std::move(starter);
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
        if (!FirstUsableAddress(found->addresses) && !FirstUsableIpv6Address(found->addresses)) {
            m_errorText = "the adapter has no usable IPv4 or IPv6 address";
            return false;
        }
        m_localAddresses = SessionLocalAddresses(*found, devices.first);
    }

    char error[PCAP_ERRBUF_SIZE] = {};
    m_capture = pcap_create(m_adapterName.c_str(), error);
    if (m_capture == nullptr) {
        m_errorText = error;
        return false;
    }
    pcap_set_snaplen(m_capture, m_wholeFrames ? kWholeFrameSnapshotLength : kCaptureSnapshotLength);
    pcap_set_buffer_size(m_capture, kCaptureBufferBytes);
    pcap_set_promisc(m_capture, 0);  // only traffic to and from this machine
    pcap_set_timeout(m_capture, m_wholeFrames ? kStreamReadTimeoutMs : kReadTimeoutMs);
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
        ok = SetFilter(m_wholeFrames ? StreamCaptureFilter() : kCaptureFilter);
    }
    if (!ok) {
        pcap_close(m_capture);
        m_capture = nullptr;
    }
    return ok;
}

bool PacketSniffer::SetFilter(const std::string& filter) {
    bpf_program program;
    if (pcap_compile(m_capture, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        m_errorText = pcap_geterr(m_capture);
        return false;
    }
    const bool set = pcap_setfilter(m_capture, &program) == 0;
    if (!set)
        m_errorText = pcap_geterr(m_capture);
    pcap_freecode(&program);
    return set;
}

void PacketSniffer::OnPacket(u_char* session, const pcap_pkthdr* header, const u_char* frame) {
    auto* self = reinterpret_cast<PacketSniffer*>(session);
    try {
        PacketView& packet = self->m_packet;
        if (!DecodeFrame(header->caplen, frame, self->m_localAddresses, header->len, packet)) {
            if (self->m_engine && self->m_engine->ReadsQuic()) {
                if (DecodeUdpFrame(header->caplen, frame, self->m_datagram)) {
                    self->ReadClock();
                    self->m_engine->HandleDatagram(self->m_datagram, self->m_batchSeconds);
                }
            } else if (self->m_engine && !self->m_quicNoticed &&
                       IsQuicLongHeader(frame, header->caplen)) {
                self->m_quicNoticed = true;
                self->Notice(kQuicNotice);
            }
            return;
        }
        self->ReadClock();
        // Without a key log HTTPS cannot be read: the user is told once when it carries media.
        if (!(self->m_engine && self->m_engine->ReadsQuic()) && self->m_tlsSighting.Handle(packet))
            self->Notice(kTlsNotice);
        if (self->m_packetRules)
            self->m_detector.HandlePacket(packet, self->m_batchSeconds);
        if (self->m_engine)
            self->m_engine->HandlePacket(packet, self->m_batchSeconds);
    } catch (const std::exception&) {
        // Out of memory in a request copy or a report. No exception may cross the capture
        // library's frames: the loop ends after this batch instead.
        self->m_handlingFailed = true;
        pcap_breakloop(self->m_capture);
    }
}

void PacketSniffer::CaptureLoop() {
    m_finished.store(false);
    m_detector.Reset();
    // With the stream engine the loop must also wake when no packet comes (a silent adapter
    // blocks a read for ever on Linux), so that keys written after a connection's last packet
    // still reach it: the handle does not block, and the loop waits on it for at most
    // kStreamReadTimeoutMs.
    int waitable = -1;
    if (m_engine) {
        char error[PCAP_ERRBUF_SIZE] = {};
        if (pcap_setnonblock(m_capture, 1, error) == 0)
            waitable = pcap_get_selectable_fd(m_capture);
        if (waitable < 0)
            pcap_setnonblock(m_capture, 0, error);
    }
    // One call hands over every packet the kernel has ready (a batch); the stop flag and the
    // clock are looked at once per batch, not once per packet, and so is the key log (at most
    // every StreamEngine::kKeyLogPollInterval).
    while (!m_stopRequested.load() && !m_handlingFailed) {
        m_batchClockRead = false;
        const int handed = pcap_dispatch(m_capture, -1, &PacketSniffer::OnPacket,
                                         reinterpret_cast<u_char*>(this));
        if (handed < 0)
            break;  // error, or pcap_breakloop from Stop
        if (m_engine) {
            try {
                m_engine->PollKeyLog(std::chrono::steady_clock::now());
            } catch (const std::exception&) {
                m_handlingFailed = true;
            }
            // A server named another port for HTTP/3: the filter takes it too from now on
            // (libpcap filters what the ring still holds from before the change itself).
            if (m_engine->ReadsQuic() &&
                m_engine->QuicPortsRead().Generation() != m_quicPortsFiltered) {
                m_quicPortsFiltered = m_engine->QuicPortsRead().Generation();
                SetFilter(QuicCaptureFilter(m_engine->QuicPortsRead().All()));
            }
        }
        // A key log read only in part is read on at once rather than after a wait.
        if (handed == 0 && waitable >= 0 && !m_engine->KeyLogBehind()) {
            pollfd ready{waitable, POLLIN, 0};
            poll(&ready, 1, kStreamReadTimeoutMs);
        }
    }
    if (m_engine) {
        try {
            m_engine->Finish();  // what waited for the capture's end is reported
        } catch (const std::exception&) {
        }
    }
    pcap_stat counts{};
    if (pcap_stats(m_capture, &counts) == 0) {
        m_statistics.known = true;
        m_statistics.received = counts.ps_recv;
        m_statistics.droppedByKernel = counts.ps_drop;
        m_statistics.droppedByInterface = counts.ps_ifdrop;
    }
    m_finished.store(true);
}

void PacketSniffer::Deliver(MediaReport report) {
    if (m_reportSink) {
        try {
            m_reportSink(std::move(report));
        } catch (...) {
            // As below: the report is lost, the capture goes on.
        }
        return;
    }
    const ReportCallback callback = m_reportCallback.load();
    if (callback == nullptr)
        return;
    try {
        callback(std::move(report));
    } catch (...) {
        // A failing receiver drops this report; the capture goes on.
    }
}

void PacketSniffer::Notice(const char* text) {
    if (!m_noticeSink)
        return;
    try {
        m_noticeSink(text);
    } catch (...) {
        // The notice is lost; the capture goes on.
    }
}

void PacketSniffer::Stop() {
    m_stopRequested.store(true);
    if (m_thread.joinable()) {
        // On Linux a read on a silent adapter may block for ever; breakloop wakes it, and a
        // flag set before the read starts makes that read return at once.
        pcap_breakloop(m_capture);
        m_thread.join();
    }
}

PacketSniffer::~PacketSniffer() {
    Stop();
    m_engine.reset();  // before the detector whose ignore list it consults
    if (m_capture != nullptr)
        pcap_close(m_capture);
    m_detector.ClearIgnoreList();
    m_detector.Reset();
}

void PacketSniffer::SetReportCallback(ReportCallback callback) {
    m_reportCallback.store(callback);
}

std::size_t PacketSniffer::IgnoreUrl(const std::string& url, int count) {
    return m_detector.IgnoreUrl(url, count);
}
