// DASH manifests (MPD): representations, their segment addressing and content protection.
#include <charconv>
#include <cmath>
#include <string>
#include <unordered_set>

#include "mediarules/Playlist.h"
#include "mediarules/PlaylistText.h"
#include "mediarules/UrlReference.h"
#include "mediarules/XmlScanner.h"

#include "base/Text.h"

namespace {

// Where $Number$ or $Time$ stood once the other identifiers are substituted.
constexpr std::string_view kWildcard = "$*$";
constexpr std::size_t kMaxWildcards = 3;
// How far into a body the root element is looked for.
constexpr std::size_t kRootSearchBytes = 64u << 10;
constexpr double kMaxManifestSeconds = 1e9;

std::uint64_t ParseCount(const std::string* text) {
    if (text == nullptr)
        return 0;
    std::uint64_t value = 0;
    for (const char c : Trim(*text)) {
        if (c < '0' || c > '9')
            break;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

int ParseSide(const std::string* text) {
    const std::uint64_t value = ParseCount(text);
    return value > 100000 ? 0 : static_cast<int>(value);
}

// An xs:duration attribute in seconds; negative when it is none.
double ParseDuration(const std::string* text) {
    return text == nullptr ? -1 : DashDurationSeconds(*text);
}

// The length of a byte range "a-b"; 0 when it is none.
std::uint64_t RangeLength(const std::string* text) {
    if (text == nullptr)
        return 0;
    const std::string_view range = Trim(*text);
    const std::size_t dash = range.find('-');
    if (dash == std::string_view::npos)
        return 0;
    const std::string first(range.substr(0, dash));
    const std::string last(range.substr(dash + 1));
    const std::uint64_t a = ParseCount(&first);
    const std::uint64_t b = ParseCount(&last);
    if (last.empty() || b < a || b == UINT64_MAX)
        return 0;
    return b - a + 1;
}

std::string PrintableCodecs(const std::string* codecs) {
    std::string out;
    if (codecs == nullptr)
        return out;
    for (const char c : std::string_view(*codecs).substr(0, 64)) {
        if (c > 0x20 && c < 0x7F)
            out.push_back(c);
    }
    return out;
}

class Manifest {
public:
    Manifest(const std::vector<XmlElement>& elements, std::string_view manifestUrl,
             StreamPlaylist& playlist)
        : m_elements(elements), m_manifestUrl(manifestUrl), m_playlist(playlist) {}

    void Read() {
        const XmlElement& root = m_elements[0];
        const std::string* type = root.Attribute("type");
        m_playlist.live = type != nullptr && *type == "dynamic";
        double duration = ParseDuration(root.Attribute("mediaPresentationDuration"));
        double periodSum = 0;
        bool everyPeriodTimed = true;
        bool anyPeriod = false;
        const Base rootBase = WithBase({std::string(m_manifestUrl), false}, root);
        bool everySetSized = true;
        bool anySet = false;
        std::uint64_t total = 0;
        for (const int periodIndex : root.children) {
            const XmlElement& period = At(periodIndex);
            if (period.name != "Period")
                continue;
            anyPeriod = true;
            const double periodSeconds = ParseDuration(period.Attribute("duration"));
            if (periodSeconds >= 0)
                periodSum += periodSeconds;
            else
                everyPeriodTimed = false;
            const Base periodBase = WithBase(rootBase, period);
            for (const int setIndex : period.children) {
                const XmlElement& set = At(setIndex);
                if (set.name != "AdaptationSet")
                    continue;
                std::optional<std::uint64_t> share;
                ReadAdaptationSet(period, set, WithBase(periodBase, set), share);
                if (!share)
                    continue;
                anySet = true;
                if (*share == 0)
                    everySetSized = false;
                total += std::min(*share, UINT64_MAX - total);
            }
        }
        if (duration < 0 && anyPeriod && everyPeriodTimed)
            duration = periodSum;
        m_playlist.durationSeconds = duration > 0 ? duration : 0;
        if (anySet && everySetSized && !m_playlist.truncated)
            m_playlist.byteRangeTotal = total;
        SortVariants(m_playlist.variants);
    }

private:
    struct Base {
        std::string url;
        bool named = false;  // some BaseURL element named it (else it is the manifest's URL)
    };

    const XmlElement& At(int index) const { return m_elements[static_cast<std::size_t>(index)]; }

    const XmlElement* Child(const XmlElement& parent, std::string_view name) const {
        for (const int index : parent.children) {
            if (At(index).name == name)
                return &At(index);
        }
        return nullptr;
    }

    Base WithBase(const Base& base, const XmlElement& element) const {
        const XmlElement* baseUrl = Child(element, "BaseURL");
        if (baseUrl == nullptr)
            return base;
        std::string url = ResolveReference(base.url, Trim(baseUrl->text));
        if (url.empty())
            return base;
        return {std::move(url), true};
    }

    bool Protected(const XmlElement& element) const {
        return Child(element, "ContentProtection") != nullptr;
    }

    // An attribute of the representation, else of its adaptation set.
    static const std::string* Inherited(const XmlElement& representation, const XmlElement& set,
                                        std::string_view name) {
        const std::string* value = representation.Attribute(name);
        return value != nullptr ? value : set.Attribute(name);
    }

    // A SegmentTemplate attribute from the most specific level that gives it.
    const std::string* TemplateAttribute(const XmlElement* const (&levels)[3],
                                         std::string_view name) const {
        for (const XmlElement* level : levels) {
            if (level != nullptr) {
                if (const std::string* value = level->Attribute(name))
                    return value;
            }
        }
        return nullptr;
    }

    void ReadAdaptationSet(const XmlElement& period, const XmlElement& set, const Base& setBase,
                           std::optional<std::uint64_t>& share) {
        const std::string* setType = set.Attribute("contentType");
        const std::string* setMime = set.Attribute("mimeType");
        m_playlist.drm |= Protected(set);
        std::vector<StreamVariant> variants;
        std::vector<std::uint64_t> totals;
        for (const int index : set.children) {
            const XmlElement& representation = At(index);
            if (representation.name != "Representation")
                continue;
            m_playlist.drm |= Protected(representation);
            StreamVariant variant;
            const std::string* id = representation.Attribute("id");
            variant.id = PrintableCodecs(id);
            variant.bandwidth = ParseCount(representation.Attribute("bandwidth"));
            variant.width = ParseSide(Inherited(representation, set, "width"));
            variant.height = ParseSide(Inherited(representation, set, "height"));
            variant.codecs = PrintableCodecs(Inherited(representation, set, "codecs"));
            const std::string* mime = representation.Attribute("mimeType");
            if (mime == nullptr)
                mime = setMime;
            const std::string_view kind = setType != nullptr ? std::string_view(*setType)
                                          : mime != nullptr  ? std::string_view(*mime)
                                                             : std::string_view();
            variant.audioOnly = kind.starts_with("audio");
            const bool picture =
                variant.audioOnly || kind.starts_with("video") || variant.width > 0 || kind.empty();
            const Base base = WithBase(setBase, representation);
            const std::uint64_t total =
                ReadSegments(period, set, representation, base, id != nullptr ? *id : std::string(),
                             variant.bandwidth);
            if (picture && m_playlist.variants.size() + variants.size() < kMaxStreamVariants) {
                variants.push_back(variant);
                totals.push_back(total);
            }
        }
        // The set's best representation decides its share of the stream's size; a set
        // without picture or sound (subtitles) has none.
        std::size_t best = 0;
        for (std::size_t i = 1; i < variants.size(); ++i) {
            if (BetterVariant(variants[i], variants[best]))
                best = i;
        }
        if (!variants.empty())
            share = totals[best];
        for (StreamVariant& variant : variants) m_playlist.variants.push_back(std::move(variant));
    }

    // Registers the representation's segments; gives the bytes of its byte ranges when its
    // segment list names every segment by one, else 0.
    std::uint64_t ReadSegments(const XmlElement& period, const XmlElement& set,
                               const XmlElement& representation, const Base& base,
                               const std::string& id, std::uint64_t bandwidth) {
        const XmlElement* const templates[3] = {Child(representation, "SegmentTemplate"),
                                                Child(set, "SegmentTemplate"),
                                                Child(period, "SegmentTemplate")};
        if (const std::string* media = TemplateAttribute(templates, "media")) {
            AddTemplate(base.url, *media, id, bandwidth);
            if (const std::string* init = TemplateAttribute(templates, "initialization"))
                AddTemplate(base.url, *init, id, bandwidth);
            return 0;
        }
        const XmlElement* list = Child(representation, "SegmentList");
        if (list == nullptr)
            list = Child(set, "SegmentList");
        if (list == nullptr)
            list = Child(period, "SegmentList");
        if (list != nullptr) {
            std::uint64_t total = 0;
            bool everyRanged = true;
            bool any = false;
            if (const XmlElement* init = Child(*list, "Initialization")) {
                if (const std::string* source = init->Attribute("sourceURL"))
                    AddSegment(ResolveReference(base.url, *source));
                total += RangeLength(init->Attribute("range"));
            }
            for (const int index : list->children) {
                const XmlElement& segment = At(index);
                if (segment.name != "SegmentURL")
                    continue;
                any = true;
                const std::string* media = segment.Attribute("media");
                AddSegment(media != nullptr ? ResolveReference(base.url, *media) : base.url);
                const std::uint64_t length = RangeLength(segment.Attribute("mediaRange"));
                if (length == 0)
                    everyRanged = false;
                total += std::min(length, UINT64_MAX - total);
            }
            return any && everyRanged ? total : 0;
        }
        // SegmentBase or nothing: the representation is one file, its BaseURL (which never is
        // the manifest itself).
        if (base.named)
            AddSegment(base.url);
        return 0;
    }

    // A template's identifiers substituted ($RepresentationID$, $Bandwidth$, $$), $Number$
    // and $Time$ made wildcards; empty when it is malformed.
    static std::string Expand(std::string_view text, const std::string& id, std::uint64_t bandwidth,
                              std::size_t& wildcards) {
        std::string out;
        wildcards = 0;
        while (!text.empty()) {
            const std::size_t dollar = text.find('$');
            out.append(text.substr(0, dollar));
            if (dollar == std::string_view::npos)
                break;
            const std::size_t close = text.find('$', dollar + 1);
            if (close == std::string_view::npos)
                return {};
            const std::string_view identifier = text.substr(dollar + 1, close - dollar - 1);
            const std::string_view name = identifier.substr(0, identifier.find('%'));
            if (identifier.empty()) {
                out.push_back('$');
            } else if (name == "RepresentationID") {
                out += id;
            } else if (name == "Bandwidth") {
                out += std::to_string(bandwidth);
            } else if (name == "Number" || name == "Time" || name == "SubNumber") {
                if (++wildcards > kMaxWildcards)
                    return {};
                out += kWildcard;
            } else {
                return {};
            }
            text.remove_prefix(close + 1);
        }
        return out;
    }

    void AddTemplate(const std::string& base, const std::string& text, const std::string& id,
                     std::uint64_t bandwidth) {
        std::size_t wildcards = 0;
        const std::string expanded = Expand(text, id, bandwidth, wildcards);
        if (expanded.empty())
            return;
        const std::string url = ResolveReference(base, expanded);
        if (url.empty())
            return;
        const std::string key = UrlKey(url, false);
        if (key.find(kWildcard) == std::string::npos) {
            AddSegment(wildcards == 0 ? url : key);
            return;
        }
        if (m_playlist.segmentPatterns.size() >= kMaxSegmentPatterns) {
            m_playlist.truncated = true;
            return;
        }
        SegmentPattern pattern;
        std::size_t start = 0;
        for (;;) {
            const std::size_t found = key.find(kWildcard, start);
            pattern.pieces.push_back(key.substr(start, found - start));
            if (found == std::string::npos)
                break;
            start = found + kWildcard.size();
        }
        for (const SegmentPattern& known : m_playlist.segmentPatterns) {
            if (known.pieces == pattern.pieces)
                return;
        }
        m_playlist.segmentPatterns.push_back(std::move(pattern));
    }

    void AddSegment(const std::string& url) {
        if (url.empty())
            return;
        if (m_seen.size() >= kMaxPlaylistUrls) {
            m_playlist.truncated = true;
            return;
        }
        if (m_seen.insert(url).second)
            m_playlist.segmentUrls.push_back(url);
    }

    const std::vector<XmlElement>& m_elements;
    std::string_view m_manifestUrl;
    StreamPlaylist& m_playlist;
    std::unordered_set<std::string> m_seen;
};

}  // namespace

double DashDurationSeconds(std::string_view text) {
    std::string_view rest = Trim(text);
    if (!rest.starts_with("P"))
        return -1;
    rest.remove_prefix(1);
    double seconds = 0;
    bool time = false;
    bool any = false;
    while (!rest.empty()) {
        if (rest.front() == 'T') {
            time = true;
            rest.remove_prefix(1);
            continue;
        }
        double value = 0;
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (error != std::errc() || end == rest.data() + rest.size() || !std::isfinite(value) ||
            value < 0) {
            return -1;
        }
        const char unit = *end;
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()) + 1);
        double scale = 0;
        if (!time) {
            scale = unit == 'Y'   ? 365 * 86400.0
                    : unit == 'M' ? 30 * 86400.0
                    : unit == 'D' ? 86400.0
                                  : 0;
        } else {
            scale = unit == 'H' ? 3600.0 : unit == 'M' ? 60.0 : unit == 'S' ? 1.0 : 0;
        }
        if (scale == 0)
            return -1;
        seconds += value * scale;
        any = true;
    }
    if (!any || !std::isfinite(seconds) || seconds > kMaxManifestSeconds)
        return -1;
    return seconds;
}

bool LooksLikeDash(std::string_view text) {
    text = text.substr(0, kRootSearchBytes);
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    // The prolog: declaration, comments, a document type (its internal subset skipped whole).
    for (int step = 0; step < 64; ++step) {
        text = Trim(text);
        std::size_t end = std::string_view::npos;
        if (text.starts_with("<?")) {
            end = text.find("?>");
            end = end == std::string_view::npos ? end : end + 2;
        } else if (text.starts_with("<!--")) {
            end = text.find("-->");
            end = end == std::string_view::npos ? end : end + 3;
        } else if (text.starts_with("<!")) {
            int brackets = 0;
            for (std::size_t i = 2; i < text.size() && end == std::string_view::npos; ++i) {
                if (text[i] == '[')
                    ++brackets;
                else if (text[i] == ']')
                    --brackets;
                else if (text[i] == '>' && brackets <= 0)
                    end = i + 1;
            }
        } else {
            break;
        }
        if (end == std::string_view::npos)
            return false;
        text.remove_prefix(end);
    }
    if (!text.starts_with("<"))
        return false;
    std::size_t i = 1;
    while (i < text.size() && i < 64 && text[i] != ' ' && text[i] != '>' && text[i] != '/' &&
           text[i] != '\t' && text[i] != '\r' && text[i] != '\n') {
        ++i;
    }
    std::string_view name = text.substr(1, i - 1);
    name.remove_prefix(name.rfind(':') == std::string_view::npos ? 0 : name.rfind(':') + 1);
    return name == "MPD" && i < text.size();
}

std::optional<StreamPlaylist> ParseDashManifest(std::string_view text,
                                                std::string_view manifestUrl) {
    if (!LooksLikeDash(text))
        return std::nullopt;
    bool truncated = false;
    const auto elements = ScanXml(text.substr(0, kMaxPlaylistBytes), XmlLimits{}, &truncated);
    if (!elements || elements->front().name != "MPD")
        return std::nullopt;
    StreamPlaylist playlist;
    playlist.kind = StreamKind::Dash;
    playlist.truncated = truncated || text.size() > kMaxPlaylistBytes;
    Manifest(*elements, manifestUrl, playlist).Read();
    return playlist;
}
