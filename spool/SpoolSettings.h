// The spool's size limit as the programs read it: setting CaptureSpoolMiB, option --spool-mib.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Bounds of the limit, in mebibytes.
inline constexpr std::uint64_t kMinSpoolMiB = 1;
inline constexpr std::uint64_t kMaxSpoolMiB = std::uint64_t{1} << 30;

// A decimal number of mebibytes within the bounds, as bytes.
std::optional<std::uint64_t> ParseSpoolMiB(std::string_view text);

// CaptureSpoolMiB of `settingsFile` in section [Pelnix], in bytes; unset or bad, the spool's
// default (a bad value adds a line to `problems` naming the key and the value).
std::uint64_t ReadSpoolLimit(const std::string& settingsFile, std::string* problems = nullptr);
