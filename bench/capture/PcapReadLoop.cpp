// The bare libpcap read loop that `pelnix --read` is measured against: open the file, read
// every packet, touch its length, nothing else.
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* capture = pcap_open_offline(argv[1], error);
    if (capture == nullptr) {
        std::fprintf(stderr, "%s\n", error);
        return 1;
    }
    pcap_pkthdr* header = nullptr;
    const std::uint8_t* data = nullptr;
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
    int result = 0;
    while ((result = pcap_next_ex(capture, &header, &data)) >= 0) {
        if (result == 0)
            continue;
        ++packets;
        bytes += header->caplen + data[0] * 0;
    }
    pcap_close(capture);
    std::printf("%llu packets, %llu bytes\n", static_cast<unsigned long long>(packets),
                static_cast<unsigned long long>(bytes));
    return result == PCAP_ERROR ? 1 : 0;
}
