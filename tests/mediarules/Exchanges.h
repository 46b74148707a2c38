// Exchanges and bodies for the media rules' tests: what the HTTP layer would hand on.
#pragma once

#include <brotli/encode.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/MediaCatalogue.h"
#include "httpmsg/HttpExchange.h"
#include "mediarules/MessageMediaRules.h"
#include "mediarules/UrlReference.h"

namespace testing_exchanges {

inline const Ipv4Address kServer{10, 0, 0, 7};

// A GET of `url` answered with `status`, the response headers given, and `length` as its
// announced body length. The request's header block holds Host and the extra request headers.
inline HttpExchange Exchange(const std::string& url, int status,
                             std::vector<HttpHeader> responseHeaders,
                             std::optional<std::uint64_t> length,
                             std::vector<HttpHeader> requestHeaders = {}) {
    const UrlParts parts = SplitUrl(url);
    HttpExchange exchange;
    exchange.request.method = "GET";
    exchange.request.scheme = std::string(parts.scheme);
    exchange.request.authority = std::string(parts.authority);
    exchange.request.target = std::string(parts.path.empty() ? "/" : parts.path);
    if (parts.hasQuery)
        exchange.request.target += "?" + std::string(parts.query);
    exchange.request.headers = requestHeaders;
    exchange.request.headerBlock = "GET " + exchange.request.target +
                                   " HTTP/1.1\r\nHost: " + exchange.request.authority + "\r\n";
    for (const HttpHeader& header : requestHeaders)
        exchange.request.headerBlock += header.name + ": " + header.value + "\r\n";
    exchange.request.headerBlock += "\r\n";
    exchange.response.status = status;
    exchange.response.headers = std::move(responseHeaders);
    exchange.contentLength = length;
    exchange.serverAddress = kServer;
    exchange.serverPort = parts.scheme == "https" ? 443 : 80;
    return exchange;
}

// A 200 answer of `type` (none when empty) whose body is `body`.
inline HttpExchange Answer(const std::string& url, const std::string& type, std::uint64_t length) {
    std::vector<HttpHeader> headers;
    if (!type.empty())
        headers.push_back({"Content-Type", type});
    return Exchange(url, 200, headers, length);
}

// The rules with their reports collected.
struct Collector {
    std::vector<MediaReport> reports;
    MessageMediaRules rules{[this](MediaReport report) { reports.push_back(std::move(report)); }};
};

// Every report applied to a catalogue.
struct Listing {
    MediaCatalogue catalogue;
    MessageMediaRules rules{[this](MediaReport report) { catalogue.Apply(report, 0); }};
};

// Body starts of each container, padded to `size` bytes.
inline std::string Padded(std::string_view start, std::size_t size = 8192) {
    std::string bytes(std::max(start.size(), size), '\x55');
    bytes.replace(0, start.size(), start);
    return bytes;
}

inline std::string Mp4Start() {
    return Padded(std::string("\0\0\0\x18"
                              "ftypisom\0\0\x02\0isomiso2",
                              24) +
                  std::string("\0\0\0\x08"
                              "free",
                              8));
}

inline std::string MatroskaStart(const std::string& docType) {
    std::string header("\x42\x86\x81\x01\x42\xF7\x81\x01\x42\xF2\x81\x04\x42\xF3\x81\x08", 16);
    header += std::string("\x42\x82", 2) + static_cast<char>(0x80 | docType.size()) + docType;
    header += std::string("\x42\x87\x81\x02\x42\x85\x81\x02", 8);
    return Padded(std::string("\x1A\x45\xDF\xA3", 4) + static_cast<char>(0x80 | header.size()) +
                  header + std::string("\x18\x53\x80\x67\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 12));
}

inline std::string TransportStreamStart(std::size_t packets = 30) {
    std::string body;
    for (std::size_t i = 0; i < packets; ++i) {
        std::string packet(188, '\xFF');
        packet[0] = 0x47;
        packet[1] = 0x40;
        packet[2] = 0x00;
        packet[3] = 0x10;
        body += packet;
    }
    return body;
}

// MPEG 1 layer III, 128 kbit/s, 44.1 kHz: frames of 417 bytes.
inline std::string Mp3Frames(std::size_t frames = 12) {
    std::string body;
    for (std::size_t i = 0; i < frames; ++i) {
        std::string frame(417, '\0');
        frame[0] = '\xFF';
        frame[1] = '\xFB';
        frame[2] = '\x90';
        frame[3] = '\x64';
        body += frame;
    }
    return body;
}

// ADTS AAC frames of 300 bytes, 44.1 kHz stereo.
inline std::string AdtsFrames(std::size_t frames = 20) {
    std::string body;
    for (std::size_t i = 0; i < frames; ++i) {
        std::string frame(300, '\x21');
        const std::size_t length = frame.size();
        frame[0] = '\xFF';
        frame[1] = '\xF1';
        frame[2] = static_cast<char>(0x50);  // AAC LC, 44.1 kHz
        frame[3] = static_cast<char>(0x80 | ((length >> 11) & 3));
        frame[4] = static_cast<char>((length >> 3) & 0xFF);
        frame[5] = static_cast<char>(((length & 7) << 5) | 0x1F);
        frame[6] = '\xFC';
        body += frame;
    }
    return body;
}

inline std::string Id3Tag(const std::string& content) {
    std::string tag("ID3\x04\x00\x00", 6);
    const std::size_t size = content.size();
    for (int shift = 21; shift >= 0; shift -= 7)
        tag.push_back(static_cast<char>((size >> shift) & 0x7F));
    return tag + content;
}

// The same text under each content coding a server may send.
inline std::string Gzip(const std::string& text, int windowBits = 15 + 16) {
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}
inline std::string ZlibDeflate(const std::string& text) {
    return Gzip(text, 15);
}
inline std::string RawDeflate(const std::string& text) {
    return Gzip(text, -15);
}
inline std::string Brotli(const std::string& text, int quality = BROTLI_DEFAULT_QUALITY) {
    std::size_t size = BrotliEncoderMaxCompressedSize(text.size());
    std::string out(size, '\0');
    BrotliEncoderCompress(quality, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_TEXT, text.size(),
                          reinterpret_cast<const std::uint8_t*>(text.data()), &size,
                          reinterpret_cast<std::uint8_t*>(out.data()));
    out.resize(size);
    return out;
}
inline std::string Zstd(const std::string& text, int level = 3) {
    std::string out(ZSTD_compressBound(text.size()), '\0');
    out.resize(ZSTD_compress(out.data(), out.size(), text.data(), text.size(), level));
    return out;
}

}  // namespace testing_exchanges
