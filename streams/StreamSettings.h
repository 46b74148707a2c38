// The stream engine's settings and options as the programs that start a capture read them:
// settings CaptureRules (packets or streams), TlsKeyLogFile (a path; "~/" in the user's home
// folder) and StreamBudgetMiB; options --rules, --keylog and --budget (mebibytes).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "streams/StreamOptions.h"

// Bounds of the budget, in mebibytes.
inline constexpr std::uint64_t kMinStreamBudgetMiB = 1;
inline constexpr std::uint64_t kMaxStreamBudgetMiB = std::uint64_t{1} << 20;

// "packets" or "streams", in any case.
std::optional<CaptureRules> ParseCaptureRules(std::string_view text);
// A decimal number of mebibytes within the bounds above, as bytes.
std::optional<std::uint64_t> ParseBudgetMiB(std::string_view text);
// The key log as an absolute path: "~/..." in the home folder, a relative path from the
// current folder. Empty for an empty text.
std::string KeyLogPath(std::string_view text);

// The three settings of `settingsFile` in section [Pelnix]. An unset key keeps its default; a
// bad value keeps it too and adds a line to `problems` naming the key and the value.
StreamOptions ReadStreamSettings(const std::string& settingsFile, std::string* problems = nullptr);
