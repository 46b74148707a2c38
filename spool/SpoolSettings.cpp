#include "spool/SpoolSettings.h"

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/Text.h"
#include "spool/CaptureSpool.h"

std::optional<std::uint64_t> ParseSpoolMiB(std::string_view text) {
    const auto value = text.size() > 10 ? std::nullopt : ParseDecimal(text);
    if (!value || *value < kMinSpoolMiB || *value > kMaxSpoolMiB)
        return std::nullopt;
    return *value << 20;
}

std::uint64_t ReadSpoolLimit(const std::string& settingsFile, std::string* problems) {
    const std::string text = ReadSettingString(settingsFile, kProductName, "CaptureSpoolMiB", "");
    if (text.empty())
        return CaptureSpool::kDefaultLimitBytes;
    if (const auto bytes = ParseSpoolMiB(text))
        return *bytes;
    if (problems != nullptr) {
        *problems += "CaptureSpoolMiB=" + text + " in " + settingsFile +
                     ": a number of mebibytes from 1 to " + std::to_string(kMaxSpoolMiB) +
                     " is wanted\n";
    }
    return CaptureSpool::kDefaultLimitBytes;
}
