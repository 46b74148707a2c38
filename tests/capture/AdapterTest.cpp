#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netpacket/packet.h>

#include <cstring>
#include <vector>

#include "capture/PacketSniffer.h"

namespace {

// An address list built from records, each AF_INET or AF_INET6 with the given bytes, or
// AF_PACKET.
class AddressList {
public:
    void AddInet6(const char* text) {
        auto storage = std::make_unique<sockaddr_storage>();
        std::memset(storage.get(), 0, sizeof(sockaddr_storage));
        auto* in6 = reinterpret_cast<sockaddr_in6*>(storage.get());
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &in6->sin6_addr);
        Add(std::move(storage));
    }
    void AddInet(Ipv4Address address) {
        auto storage = std::make_unique<sockaddr_storage>();
        std::memset(storage.get(), 0, sizeof(sockaddr_storage));
        auto* in = reinterpret_cast<sockaddr_in*>(storage.get());
        in->sin_family = AF_INET;
        std::memcpy(&in->sin_addr, address.data(), 4);
        Add(std::move(storage));
    }
    // A link-layer record whose bytes 4-7 look like a usable address.
    void AddPacket() {
        auto storage = std::make_unique<sockaddr_storage>();
        std::memset(storage.get(), 0, sizeof(sockaddr_storage));
        storage->ss_family = AF_PACKET;
        reinterpret_cast<unsigned char*>(storage.get())[4] = 10;
        reinterpret_cast<unsigned char*>(storage.get())[5] = 1;
        Add(std::move(storage));
    }
    pcap_addr* First() { return m_records.empty() ? nullptr : m_records.front().get(); }

private:
    void Add(std::unique_ptr<sockaddr_storage> storage) {
        auto record = std::make_unique<pcap_addr>();
        std::memset(record.get(), 0, sizeof(pcap_addr));
        record->addr = reinterpret_cast<sockaddr*>(storage.get());
        if (!m_records.empty())
            m_records.back()->next = record.get();
        m_storage.push_back(std::move(storage));
        m_records.push_back(std::move(record));
    }
    std::vector<std::unique_ptr<sockaddr_storage>> m_storage;
    std::vector<std::unique_ptr<pcap_addr>> m_records;
};

}  // namespace

TEST(CaptureAdapters, UsableAddressRules) {
    struct Case {
        const char* name;
        std::vector<Ipv4Address> inet;
        bool packetFirst;
        std::optional<Ipv4Address> expected;
    };
    const Case cases[] = {
        {"link-local first, then private",
         {{169, 254, 3, 4}, {192, 168, 1, 5}},
         false,
         Ipv4Address{192, 168, 1, 5}},
        {"only refused first octets",
         {{0, 1, 2, 3}, {169, 1, 1, 1}, {254, 9, 9, 9}, {255, 1, 1, 1}},
         false,
         std::nullopt},
        {"link-layer record before the address", {{10, 2, 3, 4}}, true, Ipv4Address{10, 2, 3, 4}},
        {"link-layer record only", {}, true, std::nullopt},
        {"first usable wins", {{10, 0, 0, 1}, {10, 0, 0, 2}}, false, Ipv4Address{10, 0, 0, 1}},
    };
    for (const Case& c : cases) {
        AddressList list;
        if (c.packetFirst)
            list.AddPacket();
        for (const auto& a : c.inet) list.AddInet(a);
        EXPECT_EQ(FirstUsableAddress(list.First()), c.expected) << c.name;

        pcap_if_t device{};
        device.addresses = list.First();
        EXPECT_EQ(IsCaptureAdapter(device), c.expected.has_value()) << c.name;
        device.flags = PCAP_IF_LOOPBACK;
        EXPECT_FALSE(IsCaptureAdapter(device)) << c.name;
    }
    pcap_if_t bare{};
    EXPECT_FALSE(IsCaptureAdapter(bare));
}

TEST(CaptureAdapters, Ipv6AddressesMakeAnAdapterUsable) {
    struct Case {
        const char* name;
        std::vector<const char*> inet6;
        const char* expected;  // the first usable IPv6 address, or null
    };
    const Case cases[] = {
        {"link-local only", {"fe80::1"}, nullptr},
        {"refused kinds", {"::", "::1", "ff02::1", "::ffff:10.0.0.1", "febf::1"}, nullptr},
        {"link-local, then unique local", {"fe80::1", "fd00::5"}, "fd00::5"},
        {"global", {"2001:db8::7"}, "2001:db8::7"},
    };
    for (const Case& c : cases) {
        AddressList list;
        list.AddPacket();
        for (const char* a : c.inet6) list.AddInet6(a);
        const auto first = FirstUsableIpv6Address(list.First());
        EXPECT_EQ(first.has_value(), c.expected != nullptr) << c.name;
        if (first && c.expected) {
            EXPECT_EQ(AddressText(*first), c.expected) << c.name;
        }
        pcap_if_t device{};
        device.addresses = list.First();
        EXPECT_EQ(IsCaptureAdapter(device), c.expected != nullptr) << c.name;
    }
}

// Packets from this machine's other interfaces cross the adapter too (a VLAN sub-interface on
// it): their addresses count as local, the refused ones and loopback's excepted.
TEST(CaptureAdapters, SessionLocalAddressesCoverTheWholeMachine) {
    AddressList adapterList, vlanList, loopbackList;
    adapterList.AddInet({169, 254, 3, 4});
    adapterList.AddInet({192, 168, 1, 5});
    adapterList.AddInet({192, 168, 1, 9});
    adapterList.AddInet6("fe80::1");
    adapterList.AddInet6("fd00::5");
    vlanList.AddInet({10, 9, 0, 1});
    vlanList.AddInet6("fd00:9::1");
    loopbackList.AddInet({127, 0, 0, 1});
    loopbackList.AddInet6("::1");
    pcap_if_t loopback{};
    loopback.addresses = loopbackList.First();
    loopback.flags = PCAP_IF_LOOPBACK;
    pcap_if_t vlan{};
    vlan.addresses = vlanList.First();
    vlan.next = &loopback;
    pcap_if_t adapter{};
    adapter.addresses = adapterList.First();
    adapter.next = &vlan;

    const auto all = SessionLocalAddresses(adapter, &adapter).All();
    std::vector<std::string> texts;
    for (const IpAddress& a : all) texts.push_back(AddressText(a));
    EXPECT_EQ(texts, (std::vector<std::string>{"192.168.1.5", "10.9.0.1", "fe80::1", "fd00::5",
                                               "fd00:9::1"}));
}
