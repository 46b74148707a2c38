// The media rules over arbitrary bytes: signature detection, body decoding, the HLS and DASH
// readers, the rules on whole exchanges (with what a playlist names answered afterwards, so
// that owned URLs and stream sizes are exercised) and the HAR reader.
//
// Input: one selector byte (content type, content coding, status), then the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "catalogue/MediaCatalogue.h"
#include "mediarules/BodyDecoding.h"
#include "mediarules/HarReader.h"
#include "mediarules/MediaSignatures.h"
#include "mediarules/MessageMediaRules.h"
#include "mediarules/Playlist.h"

namespace {

constexpr const char* kTypes[] = {"",
                                  "application/vnd.apple.mpegurl",
                                  "application/dash+xml",
                                  "application/octet-stream",
                                  "video/mp4",
                                  "text/plain",
                                  "audio/mpeg",
                                  "image/gif"};
constexpr const char* kCodings[] = {"",     "gzip",     "deflate",    "br",
                                    "zstd", "gzip, br", "zstd, gzip", "identity"};
// A smaller bound than the rules' own keeps the fuzzer fast; the code paths are the same.
constexpr std::size_t kFuzzDecodeBytes = 1u << 20;

HttpExchange MakeExchange(const std::string& url, const char* type, const char* coding, int status,
                          std::optional<std::uint64_t> length) {
    HttpExchange exchange;
    exchange.request.method = "GET";
    const std::size_t authority = url.find("://") + 3;
    const std::size_t path = url.find('/', authority);
    exchange.request.scheme = url.substr(0, url.find("://"));
    exchange.request.authority = url.substr(authority, path - authority);
    exchange.request.target = path == std::string::npos ? "/" : url.substr(path);
    exchange.request.headerBlock = "GET " + exchange.request.target +
                                   " HTTP/1.1\r\nHost: " + exchange.request.authority +
                                   "\r\nRange: bytes=0-\r\n\r\n";
    exchange.response.status = status;
    if (*type != '\0')
        exchange.response.headers.push_back({"Content-Type", type});
    if (*coding != '\0')
        exchange.response.headers.push_back({"Content-Encoding", coding});
    if (status == 206)
        exchange.response.headers.push_back({"Content-Range", "bytes 0-99999/4000000"});
    exchange.response.headers.push_back({"ETag", "\"f\""});
    exchange.contentLength = length;
    return exchange;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint8_t selector = data[0];
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* type = kTypes[selector & 7];
    const char* coding = kCodings[(selector >> 3) & 7];
    const int status = (selector & 0x40) != 0 ? 206 : 200;
    const bool knownLength = (selector & 0x80) == 0;

    (void)DetectContainer(body);
    const std::string url = "https://cdn.test/show/master.m3u8";
    if (const auto decoded = DecodeContentCodings(coding, body, kFuzzDecodeBytes)) {
        if (const auto hls = ParseHlsPlaylist(decoded->bytes, url, decoded->cut))
            (void)PlaylistDetail(*hls);
        if (const auto dash = ParseDashManifest(decoded->bytes, url))
            (void)BestVariantUrl(*dash);
    }

    MediaCatalogue catalogue;
    MessageMediaRules rules([&](MediaReport report) { catalogue.Apply(report, 0); },
                            [](std::string_view ignored) { return ignored.size() % 7 == 0; });
    const HttpExchange exchange =
        MakeExchange(url, type, coding, status,
                     knownLength ? std::optional<std::uint64_t>(body.size()) : std::nullopt);
    rules.OnExchange(exchange, body, true);
    // Whatever the playlist named, answered as a player would, twice; then the playlist again.
    const auto decoded = DecodeContentCodings(coding, body, kFuzzDecodeBytes);
    if (decoded) {
        std::optional<StreamPlaylist> playlist = ParseHlsPlaylist(decoded->bytes, url, false);
        if (!playlist)
            playlist = ParseDashManifest(decoded->bytes, url);
        if (playlist) {
            std::size_t fed = 0;
            for (const auto* list : {&playlist->playlistUrls, &playlist->segmentUrls}) {
                for (const std::string& named : *list) {
                    if (++fed > 64)
                        break;
                    for (int i = 0; i < 2; ++i) {
                        rules.OnExchange(
                            MakeExchange(named,
                                         list == &playlist->playlistUrls ? kTypes[1] : "video/mp2t",
                                         "", 200, body.size() + 100000),
                            body, true);
                    }
                }
            }
        }
    }
    rules.OnExchange(exchange, body, false);

    std::string error;
    (void)ReadHar(
        body, [&](const HarEntry& entry) { FeedHarEntry(entry, rules); }, error);
    return 0;
}
