// Writes a pcap file of at least the given size from the benchmark's traffic mix, repeated with
// fresh client ports so that every repetition holds new connections.
#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>

#include "TrafficMix.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE MEBIBYTES\n", argv[0]);
        return 2;
    }
    const std::uint64_t wanted = std::strtoull(argv[2], nullptr, 10) << 20;
    const TrafficMix mix = MakeTrafficMix(64, 700);
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, argv[1]);
    if (dumper == nullptr) {
        std::fprintf(stderr, "%s\n", pcap_geterr(dead));
        return 1;
    }
    std::uint64_t written = 24;
    std::uint32_t round = 0;
    while (written < wanted) {
        for (const auto& original : mix.frames) {
            std::vector<std::uint8_t> frame = original;
            // Shift the client port (offsets 34/36 for a 20-byte IPv4 header) per round.
            const int portOffset = frame[14 + 12] == 192 ? 34 : 36;
            frame[portOffset] = static_cast<std::uint8_t>(frame[portOffset] ^ (round & 0x3F));
            pcap_pkthdr header{};
            header.ts.tv_sec = 1780318923 + round;
            header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
            pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
            written += 16 + frame.size();
        }
        ++round;
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    std::printf("%llu bytes\n", static_cast<unsigned long long>(written));
    return 0;
}
