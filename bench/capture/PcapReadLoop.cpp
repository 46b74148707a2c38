// The bare libpcap read loop that `pelnix-sniff --read` is measured against: open the file,
// read every packet, touch its length, nothing else. With --buffer, the file is read through a
// C library buffer of that many bytes, as pelnix-sniff reads it, so that the difference left
// is the per-packet work alone.
#include <pcap/pcap.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

int main(int argc, char** argv) {
    std::size_t bufferBytes = 0;
    if (argc == 4 && std::strcmp(argv[1], "--buffer") == 0) {
        bufferBytes = std::strtoull(argv[2], nullptr, 10);
        argv += 2;
        argc -= 2;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s [--buffer BYTES] FILE\n", argv[0]);
        return 2;
    }
    char error[PCAP_ERRBUF_SIZE] = {};
    std::unique_ptr<char[]> buffer;
    pcap_t* capture = nullptr;
    if (bufferBytes == 0) {
        capture = pcap_open_offline(argv[1], error);
    } else if (std::FILE* file = std::fopen(argv[1], "rb")) {
        buffer = std::make_unique<char[]>(bufferBytes);
        std::setvbuf(file, buffer.get(), _IOFBF, bufferBytes);
        capture = pcap_fopen_offline(file, error);
        if (capture == nullptr)
            std::fclose(file);
    } else {
        std::snprintf(error, sizeof error, "%s: %s", argv[1], std::strerror(errno));
    }
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
