// What HLS and DASH have in common: variant order, the entry's tool tip, segment patterns.
#include "mediarules/Playlist.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kMaxDetailVariants = 12;

bool Digit(char c) {
    return c >= '0' && c <= '9';
}

// Whether key[from..] is pieces[index..] with digit runs between them.
bool MatchFrom(const SegmentPattern& pattern, std::size_t index, std::string_view key) {
    const std::string& piece = pattern.pieces[index];
    if (key.substr(0, piece.size()) != piece)
        return false;
    key.remove_prefix(piece.size());
    if (index + 1 == pattern.pieces.size())
        return key.empty();
    // One or more digits, then the rest; a piece that itself starts with a digit may take
    // some of them, so every split of the run is tried (runs are short).
    for (std::size_t digits = 1; digits <= key.size() && digits <= 24 && Digit(key[digits - 1]);
         ++digits) {
        if (MatchFrom(pattern, index + 1, key.substr(digits)))
            return true;
    }
    return false;
}

std::string BandwidthText(std::uint64_t bitsPerSecond) {
    char text[48];
    if (bitsPerSecond >= 1000000) {
        std::snprintf(text, sizeof text, "%.2f Mbit/s", static_cast<double>(bitsPerSecond) / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%llu kbit/s",
                      static_cast<unsigned long long>((bitsPerSecond + 500) / 1000));
    }
    return text;
}

}  // namespace

bool MatchesPattern(const SegmentPattern& pattern, std::string_view urlKey) {
    return !pattern.pieces.empty() && MatchFrom(pattern, 0, urlKey);
}

bool BetterVariant(const StreamVariant& a, const StreamVariant& b) {
    if (a.audioOnly != b.audioOnly)
        return !a.audioOnly;
    const std::uint64_t pixelsA = std::uint64_t(a.width) * std::uint64_t(a.height);
    const std::uint64_t pixelsB = std::uint64_t(b.width) * std::uint64_t(b.height);
    if (pixelsA != pixelsB)
        return pixelsA > pixelsB;
    return a.bandwidth > b.bandwidth;
}

void SortVariants(std::vector<StreamVariant>& variants) {
    std::stable_sort(variants.begin(), variants.end(), BetterVariant);
}

std::string BestVariantUrl(const StreamPlaylist& playlist) {
    if (playlist.kind != StreamKind::Hls || playlist.variants.empty() ||
        playlist.variants.front().separateAudio) {
        return {};
    }
    return playlist.variants.front().url;
}

std::string PlaylistDetail(const StreamPlaylist& playlist) {
    std::string detail;
    std::size_t shown = 0;
    for (std::size_t i = 0; i < playlist.variants.size(); ++i) {
        const StreamVariant& variant = playlist.variants[i];
        if (shown == kMaxDetailVariants) {
            detail += "and " + std::to_string(playlist.variants.size() - i) + " more\n";
            break;
        }
        std::string line;
        const auto add = [&line](const std::string& part) {
            if (part.empty())
                return;
            if (!line.empty())
                line += ", ";
            line += part;
        };
        if (variant.width > 0 && variant.height > 0)
            add(std::to_string(variant.width) + "x" + std::to_string(variant.height));
        else if (variant.audioOnly)
            add("audio");
        if (variant.bandwidth > 0)
            add(BandwidthText(variant.bandwidth));
        add(variant.codecs);
        if (!line.empty()) {
            detail += line + "\n";
            ++shown;
        }
    }
    if (playlist.live)
        detail += std::string(kLiveNote) + "\n";
    if (playlist.drm)
        detail += std::string(kDrmNote) + "\n";
    return detail;
}
