#include "catalogue/MediaCatalogue.h"

#include <atomic>
#include <cstdio>
#include <limits>

#include "base/Text.h"

namespace {

// Numbers every accepted record of the process, across catalogues; never reset or reused.
std::atomic<int> s_recordCounter{0};

constexpr std::string_view kSchemes[] = {"http://", "https://"};

// The keys a medium is remembered by: "V" with its URL and validator, and "U" with its URL
// alone, since a report or record without a validator is the same medium as any of its URL.
// The URL's length goes first, so that no URL and validator can pass for another pair.
std::string RememberedKey(std::string_view url, std::string_view validator) {
    std::string key = "V" + std::to_string(url.size()) + ":";
    key.append(url).append(validator);
    return key;
}

std::string RememberedUrlKey(std::string_view url) {
    std::string key = "U";
    key.append(url);
    return key;
}

}  // namespace

bool IsReplaySiteUrl(std::string_view url) {
    for (const std::string_view scheme : kSchemes) {
        if (url.size() >= scheme.size() && EqualsNoCase(url.substr(0, scheme.size()), scheme)) {
            url.remove_prefix(scheme.size());
            break;
        }
    }
    std::string_view host = url.substr(0, url.find_first_of("/?#"));
    if (const std::size_t at = host.rfind('@'); at != std::string_view::npos)
        host.remove_prefix(at + 1);
    if (!host.empty() && host.front() == '[')
        return false;  // an IPv6 address
    if (const std::size_t colon = host.rfind(':'); colon != std::string_view::npos)
        host = host.substr(0, colon);
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);  // the root of the name
    if (host.size() < kReplaySiteDomain.size())
        return false;
    const std::string_view tail = host.substr(host.size() - kReplaySiteDomain.size());
    return EqualsNoCase(tail, kReplaySiteDomain) &&
           (host.size() == tail.size() || host[host.size() - tail.size() - 1] == '.');
}

std::uint64_t ParseLengthText(std::string_view lengthText) {
    // Blanks as the C library skips them before a number.
    const std::size_t first = lengthText.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos)
        return 0;
    std::size_t digits = 0;
    return LeadingDecimal(lengthText.substr(first), digits);
}

std::string CleanTypeText(std::string_view typeText) {
    std::string cleaned;
    cleaned.reserve(typeText.size());
    for (std::size_t i = 0; i < typeText.size();) {
        if (typeText.compare(i, 2, "x-") == 0) {
            i += 2;
        } else {
            cleaned.push_back(typeText[i++]);
        }
    }
    const std::size_t lineEnd = cleaned.find("\r\n");
    if (lineEnd != std::string::npos && lineEnd > 0)
        cleaned.resize(lineEnd);
    return cleaned;
}

std::string RecordTitleText(const SniffedMedia& record) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d. ", record.number);
    return buffer + record.timeSniffed;
}

std::string RecordSizeText(const SniffedMedia& record) {
    if (!record.kind.empty() && record.size == 0)
        return {};
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f MB", static_cast<double>(record.size) / 1048576.0);
    return buffer;
}

std::optional<SniffedMedia> MediaCatalogue::AddSniffedMedia(std::string_view urlText,
                                                            std::string_view requestHeaders,
                                                            std::string_view lengthText,
                                                            std::string_view typeText,
                                                            std::time_t when) {
    return AddSniffedMedia(PlainReport(std::string(urlText), std::string(requestHeaders),
                                       std::string(lengthText), std::string(typeText)),
                           when);
}

std::optional<SniffedMedia> MediaCatalogue::AddSniffedMedia(const MediaReport& report,
                                                            std::time_t when) {
    CatalogueChange change = Apply(report, when);
    if (change.kind != CatalogueChange::Kind::Added)
        return std::nullopt;
    return std::move(change.record);
}

CatalogueChange MediaCatalogue::Update(std::size_t index, const MediaReport& report,
                                       std::uint64_t size) {
    SniffedMedia& record = m_records[index];
    if (record.copyId == 0)
        record.copyId = report.copyId;
    CatalogueChange change;
    if (record.size == size && record.durationSeconds == report.durationSeconds &&
        record.detail == report.detail && record.variantUrl == report.variantUrl) {
        return change;
    }
    record.size = size;
    record.durationSeconds = report.durationSeconds;
    record.detail = report.detail;
    record.variantUrl = report.variantUrl;
    change.kind = CatalogueChange::Kind::Updated;
    change.record = record;
    change.index = static_cast<int>(index);
    return change;
}

CatalogueChange MediaCatalogue::Apply(const MediaReport& report, std::time_t when) {
    const std::string_view urlText = report.url;
    const std::string_view typeText = report.typeText;
    const bool playlist = !report.kind.empty();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed)
        return {};
    const std::uint64_t size = ParseLengthText(report.lengthText);
    if (!playlist && size < kMinimumSize)
        return {};
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        const SniffedMedia& record = m_records[i];
        if (playlist || !record.kind.empty()) {
            // A playlist is its URL; its size is a sum, no file's length.
            if (record.url == urlText) {
                if (playlist && record.kind == report.kind)
                    return Update(i, report, size);
                return {};
            }
            continue;
        }
        const bool sameMedium =
            record.url == urlText && (record.validator.empty() || report.validator.empty() ||
                                      record.validator == report.validator);
        // One medium reached through two URLs, or listed twice, shows once.
        if (sameMedium || record.size == size)
            return {};
    }
    // A later range of a medium whose record has left the list: still the same medium.
    if (!playlist && report.ranged && Remembered(report))
        return {};

    SniffedMedia record;
    record.number = ++s_recordCounter;
    std::tm local{};
    char stamp[30] = {};
    if (localtime_r(&when, &local) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%I:%M:%S %p", &local);
    }
    record.timeSniffed = stamp;
    record.sniffedAt = when;
    record.url.assign(urlText);
    record.requestHeaders = report.requestHeaders;
    record.size = size;
    record.type = CleanTypeText(typeText);
    // A file names the server it likes: what it lists is fetched by URL, never replayed.
    record.fromFile = report.fromFile;
    record.siteFlag = !report.fromFile && IsReplaySiteUrl(urlText) ? 1 : 0;
    record.statusImage = 0;
    if (!report.fromFile) {
        record.serverAddress = report.serverAddress;
        record.serverPort = report.serverPort;
    }
    record.validator = report.validator;
    record.kind = report.kind;
    record.detail = report.detail;
    record.durationSeconds = report.durationSeconds;
    record.variantUrl = report.variantUrl;
    record.copyId = report.copyId;
    record.ranged = !playlist && report.ranged;

    // The stream engine's media (the packet rules give neither ranges nor validators).
    if (!playlist && (report.ranged || !report.validator.empty()))
        Remember(report);
    m_records.push_back(record);
    if (m_records.size() > static_cast<std::size_t>(kMaxRecords))
        m_records.erase(m_records.begin());
    CatalogueChange change;
    change.kind = CatalogueChange::Kind::Added;
    change.record = std::move(record);
    change.index = static_cast<int>(m_records.size()) - 1;
    return change;
}

void MediaCatalogue::Remember(const MediaReport& report) {
    for (std::string key :
         {RememberedKey(report.url, report.validator), RememberedUrlKey(report.url)}) {
        m_rememberedBytes += key.size();
        ++m_remembered[key];
        m_rememberedOrder.push_back(std::move(key));
    }
    while (m_rememberedOrder.size() > 2 * kMaxRememberedMedia ||
           m_rememberedBytes > kMaxRememberedBytes) {
        const std::string& oldest = m_rememberedOrder.front();
        const auto found = m_remembered.find(oldest);
        if (found != m_remembered.end() && --found->second == 0)
            m_remembered.erase(found);
        m_rememberedBytes -= oldest.size();
        m_rememberedOrder.pop_front();
    }
}

bool MediaCatalogue::Remembered(const MediaReport& report) const {
    // The same medium as the catalogue's rule has it: the same URL, and the same validator
    // where both carry one.
    if (report.validator.empty())
        return m_remembered.count(RememberedUrlKey(report.url)) != 0;
    return m_remembered.count(RememberedKey(report.url, report.validator)) != 0 ||
           m_remembered.count(RememberedKey(report.url, "")) != 0;
}

bool MediaCatalogue::RemoveAt(int index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_records.size())
        return false;
    m_records.erase(m_records.begin() + index);
    return true;
}

bool MediaCatalogue::SetStatusImage(int index, int image) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_records.size())
        return false;
    m_records[static_cast<std::size_t>(index)].statusImage = image;
    return true;
}

int MediaCatalogue::SetStatusImageOfNumber(int number, int image) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        if (m_records[i].number == number) {
            m_records[i].statusImage = image;
            return static_cast<int>(i);
        }
    }
    return -1;
}

int MediaCatalogue::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed ? -1 : static_cast<int>(m_records.size());
}

std::optional<SniffedMedia> MediaCatalogue::Record(int index) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_records.size())
        return std::nullopt;
    return m_records[static_cast<std::size_t>(index)];
}

std::vector<SniffedMedia> MediaCatalogue::Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

bool MediaCatalogue::HoldsCopy(std::uint64_t copyId) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const SniffedMedia& record : m_records) {
        if (copyId != 0 && record.copyId == copyId)
            return true;
    }
    return false;
}

void MediaCatalogue::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_records.clear();
    m_remembered.clear();
    m_rememberedOrder.clear();
    m_rememberedBytes = 0;
}
