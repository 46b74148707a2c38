// Writes the seeds of the QUIC fuzz target (fuzz/quic/corpus):
//   quic_fuzz_seeds FOLDER                      connections made in process
//   quic_fuzz_seeds FOLDER NAME CAPTURE KEYLOG  a recording of real endpoints (the first
//                                                client is the side that sent first)
#include <pcap/pcap.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "QuicFuzzInput.h"
#include "frames/FrameDecoder.h"
#include "support/FrameBuilder.h"
#include "support/QuicTraffic.h"

namespace {

std::string Input(std::uint8_t options, const std::string& keys) {
    std::string input(1, static_cast<char>(options | kQuicFuzzKeys));
    input += static_cast<char>(keys.size() >> 8);
    input += static_cast<char>(keys.size());
    return input + keys;
}

bool Write(const std::string& folder, const std::string& name, const std::string& input) {
    std::ofstream out(folder + "/" + name, std::ios::binary);
    out << input;
    std::printf("%s: %zu bytes\n", name.c_str(), input.size());
    return static_cast<bool>(out);
}

const std::string kMp4("\0\0\0\x18" "ftypisom\0\0\0\0isommp41", 24);

// Small answers, so that a whole connection fits in an input of 64 KiB.
QuicConnectionPlan Small(std::uint64_t seed) {
    QuicConnectionPlan plan;
    plan.seed = seed;
    plan.exchanges = {
        {"/v/clip.mp4", 200, "video/mp4", kMp4, 12000, true},
        {"/a/song.mp3", 200, "audio/mpeg", "ID3\x03", 9000, true},
        {"/index.m3u8", 200, "application/vnd.apple.mpegurl", "#EXTM3U\n", 200, true},
    };
    return plan;
}

std::string Conversation(const QuicConnectionPlan& plan, std::uint8_t options) {
    QuicConversation conversation(plan);
    std::string input = Input(options, conversation.KeyLogLines());
    QuicDatagramOut datagram;
    std::map<std::uint16_t, int> ports;
    while (conversation.Next(datagram)) {
        const bool toClient = datagram.direction == Direction::ToClient;
        const std::uint16_t port = toClient ? datagram.destinationPort : datagram.sourcePort;
        const int selector = ports.emplace(port, static_cast<int>(ports.size()) & 3).first->second;
        AppendQuicFuzzDatagram(input,
                               static_cast<std::uint8_t>(selector | (toClient ? kDatagramToClient : 0) |
                                                         (datagram.source.IsIpv4() ? 0 : kDatagramIpv6)),
                               datagram.bytes.data(), datagram.bytes.size());
    }
    return input;
}

int FromCapture(const std::string& folder, const std::string& name, const char* capture,
                const char* keyLog) {
    std::ifstream keys(keyLog);
    std::stringstream text;
    text << keys.rdbuf();
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* file = pcap_open_offline(capture, error);
    if (file == nullptr) {
        std::fprintf(stderr, "%s\n", error);
        return 1;
    }
    std::string input = Input(0, text.str());
    pcap_pkthdr* header = nullptr;
    const std::uint8_t* frame = nullptr;
    DatagramView view;
    IpAddress client;
    bool clientKnown = false;
    std::map<std::uint16_t, int> ports;
    while (pcap_next_ex(file, &header, &frame) == 1) {
        if (!DecodeUdpFrame(header->caplen, frame, view))
            continue;
        if (!clientKnown) {
            client = view.sourceAddress;
            clientKnown = true;
        }
        const bool toClient = view.destinationAddress == client;
        const std::uint16_t port = toClient ? view.destinationPort : view.sourcePort;
        const int selector = ports.emplace(port, static_cast<int>(ports.size()) & 3).first->second;
        AppendQuicFuzzDatagram(input, static_cast<std::uint8_t>(selector | (toClient ? kDatagramToClient : 0)),
                               view.payload, view.length);
    }
    pcap_close(file);
    return Write(folder, name, input) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5)
        return FromCapture(argv[1], argv[2], argv[3], argv[4]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER [NAME CAPTURE KEYLOG]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    bool ok = Write(folder, "v1-aes128", Conversation(Small(1), 0));
    QuicConnectionPlan plan = Small(2);
    plan.version = kQuicVersion2;
    plan.suite = {0x1303, TlsAead::ChaCha20Poly1305, false};
    plan.retry = true;
    plan.keyUpdateEvery = 4;
    ok = Write(folder, "v2-chacha-retry-key-updates", Conversation(plan, 0)) && ok;
    plan = Small(3);
    plan.suite = {0x1302, TlsAead::Aes256Gcm, true};
    plan.earlyData = true;
    plan.clientIdSize = 0;
    plan.moveAfter = 4;
    ok = Write(folder, "v1-aes256-early-no-client-id-move-late-keys",
               Conversation(plan, kQuicFuzzLateKeys)) && ok;
    plan = Small(4);
    plan.clientAddress = Ipv6("fd00::2");
    plan.serverAddress = Ipv6("fd00::7");
    plan.serverIdSize = 20;
    ok = Write(folder, "v1-ipv6-small-budget", Conversation(plan, 0x00)) && ok;
    // Media whose lengths say more than the bytes sent: listed, so that their bodies go to the
    // copy sink, which checks the receivers' contract.
    plan = Small(5);
    for (QuicExchangePlan& exchange : plan.exchanges) {
        if (exchange.contentType != "application/vnd.apple.mpegurl")
            exchange.claimedLength = 150000;
    }
    ok = Write(folder, "v1-claimed-lengths-copies", Conversation(plan, 0)) && ok;
    return ok ? 0 : 1;
}
