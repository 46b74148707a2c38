// The stream engine reading HTTP/3 over QUIC made in process (support/QuicTraffic): every
// version, cipher suite and way of starting lists exactly the media answers; reordered and
// repeated datagrams change nothing; cut datagrams, wrong keys and keys that never come list
// nothing wrong and give the budget back; keys that come late list everything. QUIC on a port
// other than 443 is read once a server named it in Alt-Svc, and the capture filter takes it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "capture/PacketSniffer.h"
#include "catalogue/MediaCatalogue.h"
#include "streams/QuicSighting.h"
#include "streams/StreamEngine.h"
#include "support/QuicTraffic.h"
#include "support/TcpConversation.h"

namespace {

constexpr TlsSuite kAes128{0x1301, TlsAead::Aes128Gcm, false};
constexpr TlsSuite kAes256{0x1302, TlsAead::Aes256Gcm, true};
constexpr TlsSuite kChaCha{0x1303, TlsAead::ChaCha20Poly1305, false};
const std::string kMp4("\0\0\0\x18" "ftypisom\0\0\0\0isommp41", 24);

// A page, a picture, a short video and two media answers.
QuicConnectionPlan Plan(std::uint64_t seed) {
    QuicConnectionPlan plan;
    plan.seed = seed;
    plan.clientPort = static_cast<std::uint16_t>(50000 + seed);
    plan.exchanges = {
        {"/index.html", 200, "text/html", "<html>", 3000},
        {"/v/clip" + std::to_string(seed) + ".mp4", 200, "video/mp4", kMp4, 300000 + seed},
        {"/logo.png", 200, "image/png", "\x89PNG", 20000},
        {"/a/song" + std::to_string(seed) + ".mp3", 200, "audio/mpeg", "ID3\x03", 150000 + seed},
        {"/short.mp4", 200, "video/mp4", kMp4, 50000},
        {"/gone.mp4", 404, "text/html", "", 200000},
    };
    return plan;
}

std::vector<std::string> Expected(const QuicConnectionPlan& plan) {
    const std::string size = std::to_string(plan.seed);
    std::vector<std::string> rows = {
        "mp3\t" + std::to_string(150000 + 4 + plan.seed) + "\thttps://" + plan.host +
            "/a/song" + size + ".mp3",
        "mp4\t" + std::to_string(300000 + 24 + plan.seed) + "\thttps://" + plan.host + "/v/clip" +
            size + ".mp4",
    };
    return rows;  // sorted
}

// The engine as a session runs it, fed the frames of conversations.
class QuicRun {
public:
    QuicRun(KeyLog& keys, MemoryBudget& budget, CaptureRules rules = CaptureRules::Packets)
        : m_engine(Setup(keys, budget, rules), [this](MediaReport r) { m_reports.push_back(r); }) {}

    void Feed(const std::vector<QuicDatagramOut>& datagrams, std::int64_t now = 0) {
        for (const QuicDatagramOut& datagram : datagrams) Feed(QuicCaptureFrame(datagram), now);
    }
    void Feed(const std::vector<std::uint8_t>& frame, std::int64_t now = 0) {
        DatagramView view;
        if (const auto packet = DecodeFrame(frame.size(), frame.data(), LocalAddresses{})) {
            m_engine.HandlePacket(*packet, now);
            return;
        }
        ASSERT_TRUE(DecodeUdpFrame(frame.size(), frame.data(), view));
        m_engine.HandleDatagram(view, now);
    }
    std::vector<std::string> Listed() {
        MediaCatalogue catalogue;
        std::vector<std::string> rows;
        for (const MediaReport& report : m_reports) {
            const CatalogueChange change = catalogue.Apply(report, 0);
            if (change.kind == CatalogueChange::Kind::Added)
                rows.push_back(change.record.type + "\t" + std::to_string(change.record.size) +
                               "\t" + change.record.url);
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    }
    StreamEngine& Engine() { return m_engine; }
    const QuicReader::Statistics& Stats() { return m_engine.Quic()->Stats(); }
    std::vector<std::string> notices;

private:
    StreamEngine::Setup Setup(KeyLog& keys, MemoryBudget& budget, CaptureRules rules) {
        StreamEngine::Setup setup;
        setup.rules = rules;
        setup.budget = &budget;
        setup.keyLog = &keys;
        setup.notice = [this](std::string_view text) { notices.emplace_back(text); };
        return setup;
    }
    std::vector<MediaReport> m_reports;
    StreamEngine m_engine;
};

TEST(QuicReader, EveryVersionSuiteAndStartListsExactlyTheMedia) {
    struct Case {
        const char* name;
        std::uint32_t version;
        TlsSuite suite;
        void (*shape)(QuicConnectionPlan&);
    };
    const Case cases[] = {
        {"v1 AES-128-GCM", kQuicVersion1, kAes128, [](QuicConnectionPlan&) {}},
        {"v1 AES-256-GCM, key updates", kQuicVersion1, kAes256,
         [](QuicConnectionPlan& p) { p.keyUpdateEvery = 7; }},
        {"v1 ChaCha20, Retry", kQuicVersion1, kChaCha, [](QuicConnectionPlan& p) { p.retry = true; }},
        {"v2 AES-128-GCM, 0-RTT requests", kQuicVersion2, kAes128,
         [](QuicConnectionPlan& p) { p.earlyData = true; }},
        {"v2 ChaCha20, key updates, Retry", kQuicVersion2, kChaCha,
         [](QuicConnectionPlan& p) {
             p.keyUpdateEvery = 5;
             p.retry = true;
         }},
        // As Chromium: the client uses no connection ID, and moves to another port.
        {"v1 AES-256-GCM, no client ID, a move", kQuicVersion1, kAes256,
         [](QuicConnectionPlan& p) {
             p.clientIdSize = 0;
             p.moveAfter = 30;
         }},
        {"v1 AES-128-GCM, IPv6, 20-byte IDs, a move", kQuicVersion1, kAes128,
         [](QuicConnectionPlan& p) {
             p.clientAddress = IpAddress::FromIpv6(
                 std::array<std::uint8_t, 16>{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}.data());
             p.serverAddress = IpAddress::FromIpv6(
                 std::array<std::uint8_t, 16>{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}.data());
             p.clientIdSize = p.serverIdSize = 20;
             p.moveAfter = 10;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QuicConnectionPlan plan = Plan(7);
        plan.version = c.version;
        plan.suite = c.suite;
        c.shape(plan);
        QuicConversation conversation(plan);
        KeyLog keys;
        keys.AddText(conversation.KeyLogLines());
        MemoryBudget budget;
        QuicRun run(keys, budget);
        run.Feed(conversation.All());
        run.Engine().Finish();
        EXPECT_EQ(run.Listed(), Expected(plan));
        EXPECT_EQ(run.Stats().notAuthentic, 0u);
        EXPECT_EQ(run.Stats().streamsGivenUp, 0u);
        EXPECT_EQ(run.Stats().retries, plan.retry ? 1u : 0u);
        EXPECT_EQ(run.Stats().keyUpdates > 0, plan.keyUpdateEvery != 0);
        EXPECT_EQ(run.Stats().migrations > 0, plan.moveAfter != 0);
        EXPECT_TRUE(run.notices.empty());
        EXPECT_EQ(run.Engine().Stats().http3, 1u);
    }
}

// A server that sends with segmentation offload hands the capture one datagram holding several
// packets of one size (the last may be shorter): they are cut apart and read, also when the
// client uses no connection ID, so nothing in the packets marks where the next begins.
TEST(QuicReader, OffloadedDatagramsAreCutIntoTheirPackets) {
    for (const std::size_t clientIdSize : {std::size_t{0}, std::size_t{8}}) {
        SCOPED_TRACE(clientIdSize);
        QuicConnectionPlan plan = Plan(3);
        plan.clientIdSize = clientIdSize;
        plan.ackEvery = 1000;  // long runs of the server's full packets
        QuicConversation conversation(plan);
        std::vector<QuicDatagramOut> joined;
        std::size_t merged = 0;
        for (QuicDatagramOut& datagram : conversation.All()) {
            QuicDatagramOut* last = joined.empty() ? nullptr : &joined.back();
            const bool shortHeader = (datagram.bytes[0] & 0x80) == 0;
            if (last != nullptr && shortHeader && datagram.direction == Direction::ToClient &&
                last->direction == Direction::ToClient && (last->bytes[0] & 0x80) == 0 &&
                last->bytes.size() % datagram.bytes.size() == 0 && last->bytes.size() < 20000) {
                last->bytes.insert(last->bytes.end(), datagram.bytes.begin(), datagram.bytes.end());
                ++merged;
                continue;
            }
            joined.push_back(std::move(datagram));
        }
        ASSERT_GT(merged, 100u);
        KeyLog keys;
        keys.AddText(conversation.KeyLogLines());
        MemoryBudget budget;
        QuicRun run(keys, budget);
        run.Feed(joined);
        run.Engine().Finish();
        EXPECT_EQ(run.Listed(), Expected(plan));
        EXPECT_GE(run.Stats().split, merged);
        EXPECT_EQ(run.Stats().streamsGivenUp, 0u);
    }
}

TEST(QuicReader, ReorderedAndRepeatedDatagramsOfInterleavedConnectionsListTheSame) {
    std::vector<QuicDatagramOut> all;
    std::vector<std::string> expected;
    KeyLog keys;
    for (std::uint64_t seed = 1; seed <= 3; ++seed) {
        QuicConnectionPlan plan = Plan(seed);
        plan.suite = seed == 1 ? kAes128 : seed == 2 ? kAes256 : kChaCha;
        plan.keyUpdateEvery = 9;
        QuicConversation conversation(plan);
        keys.AddText(conversation.KeyLogLines());
        auto datagrams = conversation.All();
        // Interleaved as they would be on one link.
        for (std::size_t i = 0; i < datagrams.size(); ++i)
            all.insert(all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), i * seed)),
                       datagrams[i]);
        const auto rows = Expected(plan);
        expected.insert(expected.end(), rows.begin(), rows.end());
    }
    std::sort(expected.begin(), expected.end());
    // Every datagram after the handshakes swapped with a later one a few places on, and every
    // seventh sent twice.
    std::mt19937 random(5);
    for (std::size_t i = 20; i + 6 < all.size(); i += 3)
        std::swap(all[i], all[i + 1 + random() % 5]);
    std::vector<QuicDatagramOut> repeated;
    for (std::size_t i = 0; i < all.size(); ++i) {
        repeated.push_back(all[i]);
        if (i % 7 == 0)
            repeated.push_back(all[i]);
    }
    MemoryBudget budget;
    QuicRun run(keys, budget);
    run.Feed(repeated);
    run.Engine().Finish();
    EXPECT_EQ(run.Listed(), expected);
    EXPECT_EQ(run.Stats().connections, 3u);
    EXPECT_EQ(run.Stats().streamsGivenUp, 0u);
}

TEST(QuicReader, CutDatagramsAndWrongKeysListNothingWrongAndGiveTheBudgetBack) {
    QuicConnectionPlan plan = Plan(3);
    plan.keyUpdateEvery = 11;
    QuicConversation conversation(plan);
    const auto datagrams = conversation.All();
    const auto expected = Expected(plan);
    std::mt19937 random(9);
    MemoryBudget budget;
    {
        // Every datagram cut somewhere (the capture's length, a mangled header).
        KeyLog keys;
        keys.AddText(conversation.KeyLogLines());
        QuicRun run(keys, budget);
        for (const QuicDatagramOut& datagram : datagrams) {
            QuicDatagramOut cut = datagram;
            cut.bytes.resize(random() % (cut.bytes.size() + 1));
            run.Feed({cut});
        }
        run.Engine().Finish();
        for (const std::string& row : run.Listed())
            EXPECT_NE(std::find(expected.begin(), expected.end(), row), expected.end()) << row;
    }
    EXPECT_EQ(budget.Used(), 0u);
    {
        // The right client random with another connection's secrets: nothing opens past the
        // Initial packets, nothing is listed.
        QuicConnectionPlan other = plan;
        other.seed = 99;
        QuicConversation wrong(other);
        std::istringstream right(conversation.KeyLogLines());
        std::istringstream others(wrong.KeyLogLines());
        std::string lines;
        for (std::string line, otherLine; std::getline(right, line) && std::getline(others, otherLine);)
            lines += line.substr(0, line.rfind(' ')) + otherLine.substr(otherLine.rfind(' ')) + "\n";
        KeyLog keys;
        keys.AddText(lines);
        QuicRun run(keys, budget);
        run.Feed(datagrams);
        run.Engine().Finish();
        EXPECT_TRUE(run.Listed().empty());
        EXPECT_GT(run.Stats().notAuthentic, 0u);
        EXPECT_EQ(run.Stats().packets, 2u);  // the two Initial packets
    }
    EXPECT_EQ(budget.Used(), 0u);
}

TEST(QuicReader, KeysThatComeLateListEverythingAndKeysThatNeverComeAreToldOnce) {
    QuicConnectionPlan first = Plan(4);
    QuicConnectionPlan second = Plan(5);
    second.suite = kChaCha;
    QuicConversation one(first);
    QuicConversation two(second);
    const auto datagramsOne = one.All();
    const auto datagramsTwo = two.All();
    {
        // The key log gets the secrets after every packet went by.
        KeyLog keys;
        MemoryBudget budget;
        QuicRun run(keys, budget);
        run.Feed(datagramsOne);
        EXPECT_EQ(run.Engine().Quic()->WaitingForKeys(), 1u);
        EXPECT_TRUE(run.Listed().empty());
        keys.AddText(one.KeyLogLines());
        run.Engine().PollKeyLogNow(std::chrono::steady_clock::now());
        EXPECT_EQ(run.Engine().Quic()->WaitingForKeys(), 0u);
        run.Engine().Finish();
        EXPECT_EQ(run.Listed(), Expected(first));
        EXPECT_TRUE(run.notices.empty());
    }
    {
        // Two connections whose keys never come: one notice, nothing listed.
        KeyLog keys;
        MemoryBudget budget;
        QuicRun run(keys, budget);
        run.Feed(datagramsOne);
        run.Feed(datagramsTwo);
        EXPECT_EQ(run.Engine().Quic()->WaitingForKeys(), 2u);
        run.Engine().Finish();
        EXPECT_TRUE(run.Listed().empty());
        EXPECT_EQ(run.notices, std::vector<std::string>{kQuicKeysNotice});
        EXPECT_EQ(run.Stats().unopened, 2u);
    }
    {
        // A connection that waits past the bound gives up (and is told) at once.
        KeyLog keys;
        MemoryBudget budget;
        QuicRun run(keys, budget);
        QuicConnectionPlan big = Plan(6);
        big.exchanges[1].bodySize = 6u << 20;
        QuicConversation three(big);
        run.Feed(three.All());
        EXPECT_EQ(run.Engine().Quic()->WaitingForKeys(), 0u);
        EXPECT_EQ(run.Stats().unopened, 1u);
        EXPECT_LT(budget.Used(), 1u << 20);
    }
}

TEST(QuicReader, PortsNamedInAltSvcAreReadAndCapturedAndNoOthers) {
    struct Case {
        const char* value;
        std::vector<std::uint16_t> ports;
    };
    const Case cases[] = {
        {"h3=\":8443\"", {443, 8443}},
        {"h3-29=\":9443\"; ma=3600, h3=\"alt.example:9444\"; persist=1", {443, 9443, 9444}},
        {"h2=\":8444\", h3=\":443\"", {443}},    // not HTTP/3; 443 always
        {"h3=\":53\", h3=\":70000\"", {443}},    // a system service's port; no port at all
        {"clear", {443}},
        {"h3=\":8446,x\", h3=:8447, h3x=\":8448\"", {443}},
    };
    for (const Case& c : cases) {
        QuicPorts ports;
        ports.TakeAltSvc(c.value);
        EXPECT_EQ(ports.All(), c.ports) << c.value;
    }
    QuicPorts many;
    for (int i = 0; i < 20; ++i) many.TakeAltSvc("h3=\":" + std::to_string(2000 + i) + "\"");
    EXPECT_EQ(many.All().size(), 1 + QuicPorts::kMaxNamed);

    // The capture's filter takes the named ports' UDP whole, tagged or not, and TCP.
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    bpf_program program;
    ASSERT_EQ(pcap_compile(dead, &program, QuicCaptureFilter({443, 8443}).c_str(), 1,
                           PCAP_NETMASK_UNKNOWN),
              0)
        << pcap_geterr(dead);
    const auto matches = [&](const std::vector<std::uint8_t>& frame) {
        pcap_pkthdr header{};
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        return pcap_offline_filter(&program, &header, frame.data()) != 0;
    };
    const IpAddress a{Ipv4Address{10, 0, 0, 2}};
    const IpAddress b{Ipv4Address{10, 0, 0, 7}};
    EXPECT_TRUE(matches(BuildUdpFrame(a, b, 50000, 8443, "\x40short header")));
    EXPECT_TRUE(matches(BuildUdpFrame(b, a, 443, 50000, "\x40short header", {0x8100})));
    EXPECT_TRUE(matches(BuildUdpFrame(Ipv6("fd00::2"), Ipv6("fd00::7"), 50000, 443, "x", {0x88A8, 0x8100})));
    EXPECT_FALSE(matches(BuildUdpFrame(a, b, 50000, 53, "dns")));
    EXPECT_TRUE(matches(BuildFrame(FrameLayout{})));
    pcap_freecode(&program);
    pcap_close(dead);

    // QUIC to port 8443 is read only after a server's answer (here over plain HTTP) named it.
    QuicConnectionPlan plan = Plan(8);
    plan.serverPort = 8443;
    QuicConversation conversation(plan);
    const auto datagrams = conversation.All();
    TcpConversation tcp(plan.clientAddress, plan.serverAddress, 40000, 80);
    std::vector<std::vector<std::uint8_t>> frames;
    const auto emit = [&](std::vector<std::uint8_t> frame) { frames.push_back(std::move(frame)); };
    const std::string request = "GET / HTTP/1.1\r\nHost: media.test\r\n\r\n";
    const std::string answer =
        "HTTP/1.1 200 OK\r\nAlt-Svc: h3=\":8443\"; ma=86400\r\nContent-Length: 2\r\n\r\nok";
    tcp.Open(emit);
    tcp.Send(Direction::ToServer, reinterpret_cast<const std::uint8_t*>(request.data()),
             request.size(), 1448, emit);
    tcp.Send(Direction::ToClient, reinterpret_cast<const std::uint8_t*>(answer.data()),
             answer.size(), 1448, emit);
    for (const bool named : {false, true}) {
        KeyLog keys;
        keys.AddText(conversation.KeyLogLines());
        MemoryBudget budget;
        QuicRun run(keys, budget, CaptureRules::Streams);
        if (named) {
            for (const auto& frame : frames) run.Feed(frame);
        }
        run.Feed(datagrams);
        run.Engine().Finish();
        EXPECT_EQ(run.Listed(), named ? Expected(plan) : std::vector<std::string>{}) << named;
        EXPECT_EQ(run.Engine().QuicPortsRead().Has(8443), named);
    }
}

}  // namespace
