// The byte markers with which requests and media responses are recognised, and the type texts
// the detector supplies itself. All recognition uses these and nothing else; every comparison
// is exact and case-sensitive, and a trailing blank is part of a marker where shown.
#pragma once

#include <string_view>

struct MediaMarkers {
    std::string_view get;               // a request line
    std::string_view blank;             // ends the request target
    std::string_view host;              // the Host line
    std::string_view lineEnd;           // CR LF
    std::string_view headerEnd;         // the blank line that ends a header block
    std::string_view http;              // anything that looks like a response
    std::string_view contentLength;     // value = length text
    std::string_view contentTypeVideo;  // value = type text
    std::string_view flashType;         // Flash video content type
    std::string_view flashSignature;    // Flash video body
    std::string_view id3Signature;      // MP3 body with an ID3 tag
    std::string_view flashTypeText;     // type text supplied for a Flash video body
    std::string_view mp3TypeText;       // type text supplied for an MP3 body
};

inline constexpr MediaMarkers kMarkers{
    .get = "GET ",
    .blank = " ",
    .host = "Host: ",
    .lineEnd = "\r\n",
    .headerEnd = "\r\n\r\n",
    .http = "HTTP",
    .contentLength = "Content-Length: ",
    .contentTypeVideo = "Content-Type: video/",
    .flashType = "x-flv",
    .flashSignature = "FLV",
    .id3Signature = "ID3",
    .flashTypeText = "x-flv",
    .mp3TypeText = "MP3",
};
