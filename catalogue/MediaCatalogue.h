// The catalogue of sniffed media: the rules that accept or refuse a report, and the records.
// The list control of the main window holds one and shows its records; the headless front end
// prints them. Every operation is serialised under the catalogue's own lock.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/MediaReport.h"

// The video site whose entries cannot be previewed and are fetched by replaying the captured
// request. A URL whose host is this domain or one of its subdomains carries the site flag.
inline constexpr std::string_view kReplaySiteDomain = "youtube.com";

// Whether the host of `url` ("http://host[:port]/path", "https://...") is kReplaySiteDomain or
// ends in "." and it, compared without case; the path and the query do not count.
bool IsReplaySiteUrl(std::string_view url);

struct SniffedMedia {
    int number = 0;              // running number, the first accepted record is 1
    std::string timeSniffed;     // "%I:%M:%S %p"
    std::time_t sniffedAt = 0;   // the moment of sniffing that timeSniffed shows
    std::string url;             // "http://" + host and path
    std::string requestHeaders;  // the captured request header block, unchanged
    std::uint64_t size = 0;      // bytes, from the length text (saturating)
    std::string type;            // cleaned type text: flv, mp4, MP3, ...
    int siteFlag = 0;            // 1 for the replay site (never for an entry read from a file)
    int statusImage = 0;         // 0 red (not downloaded), 1 yellow (downloading), 2 green
    // Where the captured request went (port in host order, 0 when unknown).
    IpAddress serverAddress;
    std::uint16_t serverPort = 0;
    // The stream engine's facts (see MediaReport).
    std::string validator;
    std::string kind;
    std::string detail;
    double durationSeconds = 0;
    std::string variantUrl;
    // One range of a medium whose other ranges join this record (a partial answer).
    bool ranged = false;
    // Read from a capture file or a HAR: fetched by its URL only (no site flag, no server).
    bool fromFile = false;
    std::uint64_t copyId = 0;  // the capture's copy of its bytes (see MediaReport)
};

// What one report did to the catalogue.
struct CatalogueChange {
    enum class Kind { Refused, Added, Updated };
    Kind kind = Kind::Refused;
    SniffedMedia record;  // the record added or updated, as it is now
    int index = -1;       // its index (0 is the oldest)
};

class MediaCatalogue {
public:
    static constexpr int kMaxRecords = 25;
    static constexpr std::uint64_t kMinimumSize = 100000;
    // Media of the stream engine remembered past the list, so that their later ranges are
    // refused: at most this many, of at most this many bytes of URL and validator together.
    static constexpr std::size_t kMaxRememberedMedia = 4096;
    static constexpr std::size_t kMaxRememberedBytes = 4u << 20;

    // Applies the acceptance rules to one report. A file (a report without a kind) is refused
    // when it is under kMinimumSize, when a record has the same size (two media of one length
    // cannot both be listed, and one medium reached through two URLs shows once), or when a
    // record has the same URL and, where both carry one, the same validator: the same URL with
    // another validator is another medium, and the later ranges of a listed one are refused.
    // A playlist (a report with a kind) is listed whatever its size and never refused for its
    // size; a later report of a listed playlist's URL updates that record's size, duration,
    // detail and variant instead of adding one. Reports of the packet rules (no kind, no
    // validator) meet exactly the old rules. An added record is appended, evicting the oldest
    // past kMaxRecords; `when` is the moment of sniffing, stamped as local time. A range of a
    // medium (a report marked ranged) whose record has left the list is refused as well: the
    // URLs and validators of the stream engine's media stay remembered past the list (the
    // latest kMaxRememberedMedia). A record of a report read from a file has no site flag and
    // no server address.
    CatalogueChange Apply(const MediaReport& report, std::time_t when);
    // The same, giving only a record that was added (an update gives nothing).
    std::optional<SniffedMedia> AddSniffedMedia(const MediaReport& report, std::time_t when);
    // The same for a report of URL text (with scheme), request headers, length and type text.
    std::optional<SniffedMedia> AddSniffedMedia(std::string_view urlText,
                                                std::string_view requestHeaders,
                                                std::string_view lengthText,
                                                std::string_view typeText, std::time_t when);

    // Removes record `index` (0 is the oldest); false when there is no such record.
    bool RemoveAt(int index);

    // Stores the status image of record `index`; false when there is no such record.
    bool SetStatusImage(int index, int image);
    // The same for the record numbered `number`, wherever it stands now (records that arrive
    // meanwhile shift every index, the number stays); gives its index, or -1 when it is gone.
    int SetStatusImageOfNumber(int number, int image);

    // Number of records, 0..kMaxRecords; -1 once Close was called.
    int Count() const;

    // A copy of record `index` (0 is the oldest), or nothing.
    std::optional<SniffedMedia> Record(int index) const;

    // Copies of all records, oldest first.
    std::vector<SniffedMedia> Records() const;
    // Whether a record holds the copy `copyId` (not 0): a refused report's copy is dropped
    // only when no record holds it (a later range of a listed medium shares its copy).
    bool HoldsCopy(std::uint64_t copyId) const;

    // From now on every report is refused and Count() is -1 (teardown).
    void Close();

private:
    CatalogueChange Update(std::size_t index, const MediaReport& report, std::uint64_t size);
    void Remember(const MediaReport& report);
    bool Remembered(const MediaReport& report) const;

    mutable std::mutex m_mutex;
    std::vector<SniffedMedia> m_records;
    bool m_closed = false;
    // The remembered media, by key (see Remember), with how often each key is held, and the
    // keys oldest first.
    std::unordered_map<std::string, std::uint32_t> m_remembered;
    std::deque<std::string> m_rememberedOrder;
    std::size_t m_rememberedBytes = 0;
};

// The length text read as an unsigned decimal number: leading blanks skipped, reading stops at
// the first non-digit, empty text gives 0, values past 2^64-1 saturate.
std::uint64_t ParseLengthText(std::string_view lengthText);

// The type text with every "x-" removed and cut before its first "\r\n" when that is not at
// position 0.
std::string CleanTypeText(std::string_view typeText);

// "%d. %s" of number and time, and "%.2f MB" of the size in mebibytes: the list's texts. The
// size of a playlist whose segments are not known yet (size 0) is blank.
std::string RecordTitleText(const SniffedMedia& record);
std::string RecordSizeText(const SniffedMedia& record);
