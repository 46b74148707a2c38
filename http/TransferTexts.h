// The texts and arithmetic of a download's progress display, free of any window so that the
// formats and thresholds can be checked on their own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// "1023 Bytes", "1.0 KB", "1.00 MB": below 1024 bytes, below 1 MiB, from 1 MiB on.
std::string SizeText(std::uint64_t bytes);
// "59 sec", "1 min", "2 min 5 sec".
std::string TimeLeftText(std::uint64_t seconds);
// A rate in bytes per millisecond: "512 Bytes/Sec" below 1, "2.50 KB/Sec" below 10,
// "13 KB/Sec" from 10 on.
std::string TransferRateText(double bytesPerMs);
// The text beside "Estimated time left:": "<time> (<so far> of <total> copied)".
std::string TimeLeftAndCopiedText(std::uint64_t seconds, std::uint64_t soFar, std::uint64_t total);

// The file name a URL's object shows: what follows its last "/" (or, without one, its last
// "\"); the whole object when there is neither or it is shorter than 2 characters.
std::string FileNameFromObject(std::string_view object);

// Turns progress reports into the updates the dialog shows. Rate and time left are
// recomputed at most once per interval of more than 1000 ms; the percentage only when the
// whole percentage changes.
class TransferMeter {
public:
    struct Update {
        std::optional<int> percentage;
        std::optional<double> rate;  // bytes per millisecond
        struct TimeLeft {
            std::uint64_t seconds, soFar, total;
        };
        std::optional<TimeLeft> timeLeft;
    };

    // `bytes` of this transfer so far, whether the size is known, the total (content length
    // plus offset), the offset at which this transfer's body starts, and the time in ms.
    Update Report(std::uint64_t bytes, bool sizeKnown, std::uint64_t total, std::uint64_t offset,
                  std::uint64_t nowMs);

private:
    int m_lastPercentage = -1;
    std::uint64_t m_bytesAtLastRate = 0;
    std::uint64_t m_lastRateTick = 0;
    std::uint64_t m_startTick = 0;
};
