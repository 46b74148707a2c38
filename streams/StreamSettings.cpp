#include "streams/StreamSettings.h"

#include <unistd.h>

#include <memory>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/Text.h"

std::optional<CaptureRules> ParseCaptureRules(std::string_view text) {
    if (EqualsNoCase(text, "packets"))
        return CaptureRules::Packets;
    if (EqualsNoCase(text, "streams"))
        return CaptureRules::Streams;
    return std::nullopt;
}

std::optional<std::uint64_t> ParseBudgetMiB(std::string_view text) {
    const auto value = text.size() > 8 ? std::nullopt : ParseDecimal(text);
    if (!value || *value < kMinStreamBudgetMiB || *value > kMaxStreamBudgetMiB)
        return std::nullopt;
    return *value << 20;
}

std::string KeyLogPath(std::string_view text) {
    if (text.empty())
        return {};
    if (text == "~" || text.substr(0, 2) == "~/")
        return HomeFolder() + std::string(text.substr(1));
    if (text.front() == '/')
        return std::string(text);
    std::unique_ptr<char, decltype(&free)> here(getcwd(nullptr, 0), &free);
    std::string folder = here ? here.get() : "/";
    if (folder.back() != '/')
        folder += '/';
    return folder + std::string(text);
}

StreamOptions ReadStreamSettings(const std::string& settingsFile, std::string* problems) {
    StreamOptions options;
    const auto bad = [problems, &settingsFile](const char* key, const std::string& value,
                                               const char* wanted) {
        if (problems != nullptr)
            *problems +=
                std::string(key) + "=" + value + " in " + settingsFile + ": " + wanted + "\n";
    };
    const std::string rules = ReadSettingString(settingsFile, kProductName, "CaptureRules", "");
    if (!rules.empty()) {
        if (const auto parsed = ParseCaptureRules(rules))
            options.rules = *parsed;
        else
            bad("CaptureRules", rules, "packets or streams is wanted");
    }
    options.keyLogFile =
        KeyLogPath(ReadSettingString(settingsFile, kProductName, "TlsKeyLogFile", ""));
    const std::string budget = ReadSettingString(settingsFile, kProductName, "StreamBudgetMiB", "");
    if (!budget.empty()) {
        if (const auto bytes = ParseBudgetMiB(budget))
            options.budgetBytes = *bytes;
        else
            bad("StreamBudgetMiB", budget, "a number of mebibytes from 1 to 1048576 is wanted");
    }
    return options;
}
