// The segments of a DASH manifest's chosen representations (ISO/IEC 23009-1, 5.3.9), for the
// stream fetcher: SegmentTemplate with $Number$ or $Time$ (with or without a SegmentTimeline),
// SegmentList, and SegmentBase (the representation's one file).
#include <algorithm>
#include <cmath>
#include <limits>

#include "base/Text.h"
#include "mediarules/Playlist.h"
#include "mediarules/PlaylistText.h"
#include "mediarules/StreamSegments.h"
#include "mediarules/UrlReference.h"
#include "mediarules/XmlScanner.h"

namespace {

constexpr std::uint64_t kMicroseconds = 1000000;
constexpr std::size_t kMaxFormatWidth = 32;
// Periods beyond this many seconds (some 30,000 years) are not counted in microseconds.
constexpr double kMaxStart = 1e12;

std::uint64_t DashCount(const std::string* text, std::uint64_t fallback) {
    if (text == nullptr)
        return fallback;
    const std::optional<std::uint64_t> value = ParseDecimal(Trim(*text));
    return value.value_or(fallback);
}

// `value` * `scale` / `divisor` without overflow (saturating).
std::uint64_t Scaled(std::uint64_t value, std::uint64_t scale, std::uint64_t divisor) {
    const unsigned __int128 product = static_cast<unsigned __int128>(value) * scale / divisor;
    return product > std::numeric_limits<std::uint64_t>::max()
               ? std::numeric_limits<std::uint64_t>::max()
               : static_cast<std::uint64_t>(product);
}

// "a-b" as a byte range; nothing when it is none.
std::optional<ByteRange> DashRange(const std::string* text) {
    if (text == nullptr)
        return std::nullopt;
    const std::string_view range = Trim(*text);
    const std::size_t dash = range.find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    const auto first = ParseDecimal(range.substr(0, dash));
    const auto last = ParseDecimal(range.substr(dash + 1));
    if (!first || !last || *last < *first || *last == std::numeric_limits<std::uint64_t>::max())
        return std::nullopt;
    return ByteRange{*first, *last - *first + 1};
}

// Where a segment stands and how long it is, on its representation's timescale.
struct SegmentTime {
    std::uint64_t number = 0;
    std::uint64_t time = 0;
    std::uint64_t duration = 0;
};

class DashReader {
public:
    DashReader(const std::vector<XmlElement>& elements, std::string_view manifestUrl,
               DashTracks& tracks)
        : m_elements(elements), m_manifestUrl(manifestUrl), m_tracks(tracks) {}

    void Read() {
        const XmlElement& root = m_elements[0];
        const std::string* type = root.Attribute("type");
        m_tracks.live = type != nullptr && Trim(*type) == "dynamic";
        if (const std::string* update = root.Attribute("minimumUpdatePeriod"))
            m_tracks.updateSeconds = std::max(0.0, DashDurationSeconds(*update));
        const double total = root.Attribute("mediaPresentationDuration") != nullptr
                                 ? DashDurationSeconds(*root.Attribute("mediaPresentationDuration"))
                                 : -1;
        const std::string rootBase = WithBase(std::string(m_manifestUrl), root);
        std::vector<const XmlElement*> periods;
        for (const int index : root.children) {
            if (At(index).name == "Period")
                periods.push_back(&At(index));
        }
        if (periods.empty())
            return Refuse("The manifest has no period.");
        double start = 0;
        bool audioSeen = false;
        for (std::size_t i = 0; i < periods.size() && m_tracks.refusal.empty(); ++i) {
            const XmlElement& period = *periods[i];
            if (const std::string* at = period.Attribute("start"); at != nullptr)
                start = std::max(start, DashDurationSeconds(*at));
            double length = period.Attribute("duration") != nullptr
                                ? DashDurationSeconds(*period.Attribute("duration"))
                                : -1;
            if (length < 0 && i + 1 < periods.size() && periods[i + 1]->Attribute("start")) {
                length = DashDurationSeconds(*periods[i + 1]->Attribute("start")) - start;
            }
            if (length < 0 && i + 1 == periods.size() && total >= 0)
                length = total - start;
            ReadPeriod(period, WithBase(rootBase, period), start, length, i > 0, audioSeen);
            if (length > 0)
                start += length;
        }
        if (!m_tracks.refusal.empty())
            return;
        if (m_tracks.audio && m_tracks.audio->segments.empty())
            m_tracks.audio.reset();
        m_tracks.main.live = m_tracks.live;
        if (m_tracks.audio)
            m_tracks.audio->live = m_tracks.live;
        if (m_tracks.main.segments.empty() && !m_tracks.live)
            Refuse("The manifest names no segment.");
    }

private:
    const XmlElement& At(int index) const { return m_elements[static_cast<std::size_t>(index)]; }

    const XmlElement* Child(const XmlElement* parent, std::string_view name) const {
        if (parent == nullptr)
            return nullptr;
        for (const int index : parent->children) {
            if (At(index).name == name)
                return &At(index);
        }
        return nullptr;
    }

    std::string WithBase(const std::string& base, const XmlElement& element) const {
        const XmlElement* baseUrl = Child(&element, "BaseURL");
        if (baseUrl == nullptr)
            return base;
        std::string url = ResolveReference(base, Trim(baseUrl->text));
        return url.empty() ? base : url;
    }

    void Refuse(std::string why) {
        if (m_tracks.refusal.empty())
            m_tracks.refusal = std::move(why);
    }

    // What a representation offers: picture (maybe with sound) or sound alone; nothing for
    // subtitles and pictures of thumbnails.
    enum class Content { None, Picture, Sound };
    Content Kind(const XmlElement& set, const XmlElement& representation) const {
        const auto attribute = [&](std::string_view name) -> std::string_view {
            const std::string* value = representation.Attribute(name);
            if (value == nullptr)
                value = set.Attribute(name);
            return value != nullptr ? std::string_view(*value) : std::string_view();
        };
        const std::string_view type = set.Attribute("contentType") != nullptr
                                          ? std::string_view(*set.Attribute("contentType"))
                                          : attribute("mimeType");
        if (type.starts_with("audio"))
            return Content::Sound;
        if (type.starts_with("video") || type.empty())
            return Content::Picture;
        return Content::None;
    }

    void ReadPeriod(const XmlElement& period, const std::string& base, double start, double length,
                    bool later, bool& audioSeen) {
        struct Choice {
            const XmlElement* set = nullptr;
            const XmlElement* representation = nullptr;
            StreamVariant variant;
        };
        Choice picture, sound;
        for (const int setIndex : period.children) {
            const XmlElement& set = At(setIndex);
            if (set.name != "AdaptationSet")
                continue;
            if (Child(&set, "ContentProtection") != nullptr)
                return Refuse("DRM-protected streams cannot be saved.");
            for (const int index : set.children) {
                const XmlElement& representation = At(index);
                if (representation.name != "Representation")
                    continue;
                if (Child(&representation, "ContentProtection") != nullptr)
                    return Refuse("DRM-protected streams cannot be saved.");
                const Content content = Kind(set, representation);
                if (content == Content::None)
                    continue;
                StreamVariant variant;
                variant.audioOnly = content == Content::Sound;
                variant.bandwidth = DashCount(representation.Attribute("bandwidth"), 0);
                const auto side = [&](std::string_view name) {
                    const std::string* value = representation.Attribute(name);
                    return static_cast<int>(std::min<std::uint64_t>(
                        DashCount(value ? value : set.Attribute(name), 0), 100000));
                };
                variant.width = side("width");
                variant.height = side("height");
                Choice& choice = variant.audioOnly ? sound : picture;
                if (choice.representation == nullptr || BetterVariant(variant, choice.variant))
                    choice = {&set, &representation, variant};
            }
        }
        if (picture.representation == nullptr && sound.representation == nullptr)
            return Refuse("A period of the manifest has no picture and no sound to fetch.");
        // Sound alone is the main track when there is no picture.
        if (picture.representation == nullptr)
            std::swap(picture, sound);
        if (sound.representation != nullptr) {
            if (later && !audioSeen)
                return Refuse("The periods of the manifest do not all carry their sound alike.");
            audioSeen = true;
            if (!m_tracks.audio)
                m_tracks.audio.emplace();
        } else if (audioSeen) {
            return Refuse("The periods of the manifest do not all carry their sound alike.");
        }
        const auto read = [&](const Choice& choice, MediaTrack& track) {
            const std::string url = WithBase(WithBase(base, *choice.set), *choice.representation);
            // A BaseURL on some level named the file (else it is the manifest itself).
            ReadRepresentation(period, *choice.set, *choice.representation, url,
                               url != m_manifestUrl, start, length, later, track);
        };
        read(picture, m_tracks.main);
        if (sound.representation != nullptr && m_tracks.refusal.empty())
            read(sound, *m_tracks.audio);
    }

    // The attribute `name` of the most specific of the three levels that gives it.
    static const std::string* Level(const XmlElement* const (&levels)[3], std::string_view name) {
        for (const XmlElement* level : levels) {
            if (level != nullptr) {
                if (const std::string* value = level->Attribute(name))
                    return value;
            }
        }
        return nullptr;
    }

    const XmlElement* LevelChild(const XmlElement* const (&levels)[3],
                                 std::string_view name) const {
        for (const XmlElement* level : levels) {
            if (const XmlElement* child = Child(level, name))
                return child;
        }
        return nullptr;
    }

    // A template with its identifiers substituted; empty (and a refusal) when it is malformed.
    std::string Substitute(std::string_view text, const std::string& id, std::uint64_t bandwidth,
                           const SegmentTime& at) {
        std::string out;
        while (!text.empty()) {
            const std::size_t dollar = text.find('$');
            out.append(text.substr(0, dollar));
            if (dollar == std::string_view::npos)
                break;
            const std::size_t close = text.find('$', dollar + 1);
            if (close == std::string_view::npos) {
                Refuse("A segment template of the manifest is malformed.");
                return {};
            }
            const std::string_view identifier = text.substr(dollar + 1, close - dollar - 1);
            text.remove_prefix(close + 1);
            if (identifier.empty()) {
                out.push_back('$');
                continue;
            }
            if (identifier == "RepresentationID") {
                out += id;
                continue;
            }
            const std::size_t percent = identifier.find('%');
            const std::string_view name = identifier.substr(0, percent);
            std::uint64_t value = 0;
            if (name == "Number")
                value = at.number;
            else if (name == "Time")
                value = at.time;
            else if (name == "Bandwidth")
                value = bandwidth;
            else {
                Refuse(
                    "A segment template of the manifest uses an identifier this program does "
                    "not know.");
                return {};
            }
            std::string digits = std::to_string(value);
            if (percent != std::string_view::npos) {
                // "%0<width>d", the one format the identifiers take.
                std::string_view format = identifier.substr(percent + 1);
                const bool zero = format.starts_with("0");
                const std::optional<std::uint64_t> width =
                    format.size() >= 2 && format.back() == 'd'
                        ? ParseDecimal(format.substr(0, format.size() - 1))
                        : std::nullopt;
                if (!zero || !width || *width > kMaxFormatWidth) {
                    Refuse(
                        "A segment template of the manifest has a format this program does "
                        "not know.");
                    return {};
                }
                if (digits.size() < *width)
                    digits.insert(0, *width - digits.size(), '0');
            }
            out += digits;
        }
        return out;
    }

    void AddSegment(MediaTrack& track, std::string url, ByteRange range, std::uint64_t startUs,
                    std::uint64_t endUs, double seconds, bool discontinuity) {
        if (!m_tracks.refusal.empty())
            return;
        if (url.empty())
            return Refuse("A segment of the manifest has no http or https address.");
        if (track.segments.size() >= kMaxPlaylistUrls)
            return Refuse("The manifest names more than 50000 segments.");
        MediaSegment segment;
        segment.url = std::move(url);
        segment.range = range;
        segment.seconds = seconds;
        segment.position = startUs;
        segment.next = endUs;
        segment.init = track.inits.empty() ? -1 : static_cast<int>(track.inits.size() - 1);
        segment.discontinuity = discontinuity;
        track.seconds += seconds;
        track.targetSeconds = std::max(track.targetSeconds, seconds);
        track.segments.push_back(std::move(segment));
    }

    void AddInit(MediaTrack& track, std::string url, ByteRange range) {
        if (url.empty())
            return Refuse(
                "An initialisation section of the manifest has no http or https "
                "address.");
        if (!track.inits.empty() && track.inits.back().url == url &&
            track.inits.back().range == range)
            return;
        if (track.inits.size() >= kMaxPlaylistUrls)
            return Refuse("The manifest names more than 50000 initialisation sections.");
        track.inits.push_back({std::move(url), range});
    }

    // The times of a template's or a list's segments: its SegmentTimeline, else segments of
    // `duration` over the period. `count` bounds a list (its SegmentURL elements).
    std::vector<SegmentTime> Times(const XmlElement* timeline, std::uint64_t duration,
                                   std::uint64_t timescale, std::uint64_t startNumber,
                                   std::uint64_t offset, double length,
                                   std::optional<std::uint64_t> count) {
        std::vector<SegmentTime> times;
        const double periodTicks = length >= 0 ? length * static_cast<double>(timescale) : -1;
        const std::uint64_t periodEnd =
            periodTicks >= 0 && periodTicks < 1.8e19
                ? offset + static_cast<std::uint64_t>(std::ceil(periodTicks))
                : std::numeric_limits<std::uint64_t>::max();
        if (timeline != nullptr) {
            std::vector<const XmlElement*> entries;
            for (const int index : timeline->children) {
                if (At(index).name == "S")
                    entries.push_back(&At(index));
            }
            std::uint64_t time = offset;
            std::uint64_t number = startNumber;
            for (std::size_t i = 0; i < entries.size(); ++i) {
                const XmlElement& entry = *entries[i];
                time = DashCount(entry.Attribute("t"), time);
                const std::uint64_t d = DashCount(entry.Attribute("d"), 0);
                if (d == 0) {
                    Refuse("The segment timeline of the manifest has a segment without duration.");
                    return {};
                }
                const std::string* repeat = entry.Attribute("r");
                std::uint64_t until = 0;  // the time the repeats end at, for r="-1"
                std::uint64_t repeats = 0;
                if (repeat != nullptr && Trim(*repeat) == "-1") {
                    if (i + 1 < entries.size() && entries[i + 1]->Attribute("t") != nullptr)
                        until = DashCount(entries[i + 1]->Attribute("t"), 0);
                    else if (periodEnd != std::numeric_limits<std::uint64_t>::max())
                        until = periodEnd;
                    else {
                        Refuse("The manifest's segment timeline repeats without an end.");
                        return {};
                    }
                    repeats = until > time ? (until - time + d - 1) / d - 1 : 0;
                } else {
                    repeats = DashCount(repeat, 0);
                }
                for (std::uint64_t k = 0; k <= repeats; ++k) {
                    if (times.size() >= kMaxPlaylistUrls) {
                        Refuse("The manifest names more than 50000 segments.");
                        return {};
                    }
                    times.push_back({number, time, d});
                    ++number;
                    if (time > std::numeric_limits<std::uint64_t>::max() - d) {
                        Refuse("The segment timeline of the manifest runs past its end.");
                        return {};
                    }
                    time += d;
                }
            }
            return times;
        }
        if (duration == 0) {
            if (count) {
                // A list without durations: the segments in order, of unknown length.
                for (std::uint64_t k = 0; k < *count; ++k) times.push_back({startNumber + k, 0, 0});
                return times;
            }
            Refuse("The manifest gives its segments no duration.");
            return {};
        }
        std::uint64_t segments = 0;
        if (count) {
            segments = *count;
        } else if (periodEnd != std::numeric_limits<std::uint64_t>::max()) {
            segments = (periodEnd - offset + duration - 1) / duration;
        } else {
            Refuse(
                "The manifest's segments cannot be counted without the length of their "
                "period.");
            return {};
        }
        if (segments > kMaxPlaylistUrls) {
            Refuse("The manifest names more than 50000 segments.");
            return {};
        }
        for (std::uint64_t k = 0; k < segments; ++k) {
            const std::uint64_t time = offset + k * duration;
            // The last one ends with the period.
            const std::uint64_t d =
                count ? duration : std::min(duration, periodEnd > time ? periodEnd - time : 0);
            times.push_back({startNumber + k, time, d > 0 ? d : duration});
        }
        return times;
    }

    void ReadRepresentation(const XmlElement& period, const XmlElement& set,
                            const XmlElement& representation, const std::string& base,
                            bool baseNamed, double start, double length, bool later,
                            MediaTrack& track) {
        const std::string id =
            representation.Attribute("id") != nullptr ? *representation.Attribute("id") : "";
        const std::uint64_t bandwidth = DashCount(representation.Attribute("bandwidth"), 0);
        const std::uint64_t startUs = static_cast<std::uint64_t>(
            std::llround(std::clamp(start, 0.0, kMaxStart) * kMicroseconds));
        const auto add = [&](const std::vector<SegmentTime>& times, std::uint64_t timescale,
                             std::uint64_t offset, const auto& urlOf) {
            bool first = true;
            for (const SegmentTime& at : times) {
                ByteRange range;
                std::string url = urlOf(at, range);
                if (!m_tracks.refusal.empty())
                    return;
                const std::uint64_t from = at.time >= offset ? at.time - offset : 0;
                AddSegment(track, std::move(url), range,
                           startUs + Scaled(from, kMicroseconds, timescale),
                           startUs + Scaled(from + at.duration, kMicroseconds, timescale),
                           static_cast<double>(at.duration) / static_cast<double>(timescale),
                           later && first);
                first = false;
            }
        };

        const XmlElement* const templates[3] = {Child(&representation, "SegmentTemplate"),
                                                Child(&set, "SegmentTemplate"),
                                                Child(&period, "SegmentTemplate")};
        if (const std::string* media = Level(templates, "media")) {
            const std::uint64_t timescale =
                std::max<std::uint64_t>(1, DashCount(Level(templates, "timescale"), 1));
            const std::uint64_t offset = DashCount(Level(templates, "presentationTimeOffset"), 0);
            const std::uint64_t first = DashCount(Level(templates, "startNumber"), 1);
            std::optional<std::uint64_t> count;
            if (const std::string* last = Level(templates, "endNumber")) {
                const std::uint64_t end = DashCount(last, 0);
                count = end >= first ? end - first + 1 : 0;
            }
            if (const std::string* init = Level(templates, "initialization")) {
                const std::string url =
                    ResolveReference(base, Substitute(*init, id, bandwidth, SegmentTime{}));
                if (!m_tracks.refusal.empty())
                    return;
                AddInit(track, url, {});
            }
            const std::vector<SegmentTime> times = Times(LevelChild(templates, "SegmentTimeline"),
                                                         DashCount(Level(templates, "duration"), 0),
                                                         timescale, first, offset, length, count);
            add(times, timescale, offset, [&](const SegmentTime& at, ByteRange&) {
                const std::string path = Substitute(*media, id, bandwidth, at);
                return m_tracks.refusal.empty() ? ResolveReference(base, path) : std::string();
            });
            return;
        }
        const XmlElement* const lists[3] = {Child(&representation, "SegmentList"),
                                            Child(&set, "SegmentList"),
                                            Child(&period, "SegmentList")};
        if (const XmlElement* list = lists[0] ? lists[0] : lists[1] ? lists[1] : lists[2]) {
            const std::uint64_t timescale =
                std::max<std::uint64_t>(1, DashCount(Level(lists, "timescale"), 1));
            const std::uint64_t offset = DashCount(Level(lists, "presentationTimeOffset"), 0);
            if (const XmlElement* init = LevelChild(lists, "Initialization")) {
                const std::string* source = init->Attribute("sourceURL");
                AddInit(track, source != nullptr ? ResolveReference(base, *source) : base,
                        DashRange(init->Attribute("range")).value_or(ByteRange{}));
            }
            std::vector<const XmlElement*> urls;
            for (const int index : list->children) {
                if (At(index).name == "SegmentURL")
                    urls.push_back(&At(index));
            }
            const std::vector<SegmentTime> times = Times(
                LevelChild(lists, "SegmentTimeline"), DashCount(Level(lists, "duration"), 0),
                timescale, DashCount(Level(lists, "startNumber"), 1), offset, length, urls.size());
            if (times.size() != urls.size() && m_tracks.refusal.empty())
                return Refuse("The manifest's segment list and its timeline differ.");
            std::size_t next = 0;
            add(times, timescale, offset, [&](const SegmentTime&, ByteRange& range) {
                const XmlElement& segment = *urls[next++];
                const std::string* media = segment.Attribute("media");
                range = DashRange(segment.Attribute("mediaRange")).value_or(ByteRange{});
                return media != nullptr ? ResolveReference(base, *media) : base;
            });
            return;
        }
        // SegmentBase, or nothing: the representation is one file, its BaseURL.
        if (!baseNamed)
            return Refuse("A representation of the manifest names no segment.");
        if (m_tracks.live)
            return Refuse(
                "A live manifest whose representation is one file cannot be "
                "recorded.");
        const double seconds = std::max(0.0, length);
        AddSegment(track, base, {}, startUs,
                   startUs + static_cast<std::uint64_t>(
                                 std::llround(std::min(seconds, kMaxStart) * kMicroseconds)),
                   seconds, later);
    }

    const std::vector<XmlElement>& m_elements;
    std::string_view m_manifestUrl;
    DashTracks& m_tracks;
};

}  // namespace

std::optional<DashTracks> ReadDashSegments(std::string_view text, std::string_view manifestUrl) {
    if (!LooksLikeDash(text))
        return std::nullopt;
    DashTracks tracks;
    if (text.size() > kMaxPlaylistBytes) {
        tracks.refusal = "The manifest is larger than 8 MiB.";
        return tracks;
    }
    bool truncated = false;
    const auto elements = ScanXml(text, XmlLimits{}, &truncated);
    if (!elements || elements->front().name != "MPD")
        return std::nullopt;
    if (truncated) {
        tracks.refusal = "The manifest is too large to be read whole.";
        return tracks;
    }
    DashReader(*elements, manifestUrl, tracks).Read();
    return tracks;
}
