// The stream fetcher's segment readers over arbitrary text: an HLS media playlist and a DASH
// manifest, read as a fetched playlist would be (their content coding already undone).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mediarules/StreamSegments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view url = "https://cdn.test/show/index.m3u8?token=1";
    if (const auto track = ReadHlsSegments(text, url)) {
        for (const MediaSegment& segment : track->segments) {
            if (segment.init >= static_cast<int>(track->inits.size()) ||
                segment.key >= static_cast<int>(track->keys.size()))
                __builtin_trap();
        }
    }
    if (const auto tracks = ReadDashSegments(text, url)) {
        for (const MediaTrack* track : {&tracks->main, tracks->audio ? &*tracks->audio : nullptr}) {
            if (track == nullptr)
                continue;
            for (const MediaSegment& segment : track->segments) {
                if (segment.init >= static_cast<int>(track->inits.size()) || segment.key != -1)
                    __builtin_trap();
            }
        }
    }
    return 0;
}
