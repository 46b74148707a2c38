// Writes a pcap file of at least the given size of HTTP/3 as a browser's machine captures it,
// and the key log of its connections (support/QuicTraffic: QUIC version 1 protected by quic/'s
// own code): several clients, eight connections at a time with their datagrams interleaved,
// AES-128-GCM, AES-256-GCM and ChaCha20-Poly1305 in turn, a key update every 400 packets of
// each side, media answers (Flash video, MP4, MP3 of 100 KB to 2.1 MB, every size its own) and
// other answers (pictures, a page, a script, a video too short to be listed). Prints the
// number of media answers it wrote.
//   capture_make_quic FILE KEYLOG MEBIBYTES
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/FrameBuilder.h"
#include "support/QuicTraffic.h"

namespace {

constexpr TlsSuite kSuites[] = {
    {0x1301, TlsAead::Aes128Gcm, false},
    {0x1302, TlsAead::Aes256Gcm, true},
    {0x1303, TlsAead::ChaCha20Poly1305, false},
};
constexpr std::size_t kAtOnce = 8;
const std::string kFlv("FLV\x01\x05\0\0\0\x09", 9);
const std::string kMp4("\0\0\0\x18" "ftypisom\0\0\0\0isommp41", 24);

QuicConnectionPlan Plan(std::uint32_t n) {
    QuicConnectionPlan plan;
    plan.seed = n + 1;
    plan.suite = kSuites[n % 3];
    plan.host = "media.example";
    plan.clientAddress = Ipv4Address{192, 168, 7, static_cast<std::uint8_t>(2 + n % 6)};
    plan.serverAddress = Ipv4Address{203, 0, 113, static_cast<std::uint8_t>(1 + n % 200)};
    plan.clientPort = static_cast<std::uint16_t>(20000 + n % 40000);
    plan.keyUpdateEvery = 400;
    // Two media among five other answers: a Flash video of 100 KB to 1.1 MB and an MP4 or MP3
    // of 1.1 to 2.1 MB, every size its own for the first thousand connections.
    const std::string folder = "/c" + std::to_string(n);
    const std::size_t flvSize = 100000 + (n * 1013) % 1000000;
    const std::size_t bigSize = 1100000 + (n * 1009) % 1000000;
    const bool movie = n % 2 == 1;
    plan.exchanges = {
        {folder + "/poster.jpg", 200, "image/jpeg", "\xFF\xD8\xFF\xE0", 30000},
        {folder + "/clip.flv", 200, "video/x-flv", kFlv, flvSize - kFlv.size()},
        {folder + "/page.html", 200, "text/html", "<html>", 20000},
        {folder + "/app.js", 200, "application/javascript", "var a", 40000},
        {folder + "/teaser.mp4", 200, "video/mp4", kMp4, 60000},
        {folder + (movie ? "/movie.mp4" : "/song.mp3"), 200, movie ? "video/mp4" : "audio/mpeg",
         movie ? kMp4 : std::string("ID3\x03", 4), bigSize - (movie ? kMp4.size() : 4)},
        {folder + "/icon.png", 200, "image/png", "\x89PNG", 2000},
    };
    return plan;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FILE KEYLOG MEBIBYTES\n", argv[0]);
        return 2;
    }
    const std::uint64_t wanted = std::strtoull(argv[3], nullptr, 10) << 20;
    CaptureFileWriter writer(argv[1]);
    std::ofstream keyLog(argv[2], std::ios::binary);
    if (!writer.Ok() || !keyLog) {
        std::fprintf(stderr, "cannot write %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    std::uint64_t written = 24;
    std::uint64_t media = 0;
    std::uint32_t started = 0;
    std::time_t clock = 1780318923;
    std::uint64_t datagrams = 0;
    std::vector<std::unique_ptr<QuicConversation>> open;
    // New connections start while the file is short of its size; the open ones run to their end.
    while (written < wanted || !open.empty()) {
        while (written < wanted && open.size() < kAtOnce) {
            open.push_back(std::make_unique<QuicConversation>(Plan(started++)));
            keyLog << open.back()->KeyLogLines();
            media += 2;
        }
        for (std::size_t i = 0; i < open.size();) {
            QuicDatagramOut datagram;
            if (!open[i]->Next(datagram)) {
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            const auto frame = QuicCaptureFrame(datagram);
            writer.Write(frame, clock + static_cast<std::time_t>(datagrams++ / 100000));
            written += 16 + frame.size();
            ++i;
        }
    }
    writer.Close();
    std::printf("%llu bytes, %u connections, %llu media answers\n",
                static_cast<unsigned long long>(written), started,
                static_cast<unsigned long long>(media));
    return 0;
}
