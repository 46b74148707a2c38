#include "http/TransferTexts.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "resources/StringTable.h"

namespace {

template <typename... Args>
std::string Printf(const char* format, Args... args) {
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, format, args...);
    if (n < 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1);
}

}  // namespace

std::string SizeText(std::uint64_t bytes) {
    if (bytes < 1024)
        return FormatResourceString(1619, {Printf("%" PRIu64, bytes)});
    if (bytes < 1048576) {
        return FormatResourceString(1620, {Printf("%0.1f", static_cast<double>(bytes) / 1024.0)});
    }
    return FormatResourceString(1621, {Printf("%0.2f", static_cast<double>(bytes) / 1048576.0)});
}

std::string TimeLeftText(std::uint64_t seconds) {
    if (seconds < 60)
        return FormatResourceString(1616, {Printf("%" PRIu64, seconds)});
    const std::uint64_t minutes = seconds / 60, rest = seconds % 60;
    if (rest != 0) {
        return FormatResourceString(1618, {Printf("%" PRIu64, minutes), Printf("%" PRIu64, rest)});
    }
    return FormatResourceString(1617, {Printf("%" PRIu64, minutes)});
}

std::string TransferRateText(double bytesPerMs) {
    if (!(bytesPerMs >= 0))
        bytesPerMs = 0;  // also catches NaN
    if (bytesPerMs < 1)
        return FormatResourceString(1623, {Printf("%0.0f", bytesPerMs * 1024)});
    if (bytesPerMs < 10)
        return FormatResourceString(1624, {Printf("%0.2f", bytesPerMs)});
    return FormatResourceString(1624, {Printf("%0.0f", bytesPerMs)});
}

std::string TimeLeftAndCopiedText(std::uint64_t seconds, std::uint64_t soFar, std::uint64_t total) {
    return FormatResourceString(
        1622,
        {TimeLeftText(seconds), FormatResourceString(1615, {SizeText(soFar), SizeText(total)})});
}

std::string FileNameFromObject(std::string_view object) {
    std::size_t cut = object.rfind('/');
    if (cut == std::string_view::npos)
        cut = object.rfind('\\');
    if (cut == std::string_view::npos || object.size() < 2)
        return std::string(object);
    return std::string(object.substr(cut + 1));
}

TransferMeter::Update TransferMeter::Report(std::uint64_t bytes, bool sizeKnown,
                                            std::uint64_t total, std::uint64_t offset,
                                            std::uint64_t nowMs) {
    Update update;
    // Until a percentage has been shown the clock restarts with every report, so a transfer
    // of unknown size never shows a rate or a time left.
    if (m_lastPercentage == -1) {
        m_startTick = nowMs;
        m_lastRateTick = nowMs;
    }
    const std::uint64_t done = bytes + offset;
    // A known total of 0 has no percentage (nor time left) to show.
    if (sizeKnown && total > 0) {
        const std::uint64_t capped = done < total ? done : total;
        // capped * 100 cannot overflow for totals below 2^64 / 100; larger ones divide first.
        const std::uint64_t percent = total <= std::numeric_limits<std::uint64_t>::max() / 100
                                          ? capped * 100 / total
                                          : capped / (total / 100);
        const int p = static_cast<int>(percent > 100 ? 100 : percent);
        if (p != m_lastPercentage) {
            update.percentage = p;
            m_lastPercentage = p;
        }
    }
    if (nowMs - m_lastRateTick > 1000) {
        const std::uint64_t fresh = bytes >= m_bytesAtLastRate ? bytes - m_bytesAtLastRate : 0;
        update.rate = static_cast<double>(fresh) / static_cast<double>(nowMs - m_lastRateTick);
        m_lastRateTick = nowMs;
        m_bytesAtLastRate = bytes;
        if (sizeKnown && total > 0 && bytes > 0) {
            const std::uint64_t remaining = total > done ? total - done : 0;
            const double seconds =
                (static_cast<double>(nowMs - m_startTick) / static_cast<double>(bytes)) *
                static_cast<double>(remaining) / 1000.0;
            const double limit = static_cast<double>(std::numeric_limits<std::uint32_t>::max());
            update.timeLeft = Update::TimeLeft{
                static_cast<std::uint64_t>(seconds < limit ? seconds : limit), done, total};
        }
    }
    return update;
}
