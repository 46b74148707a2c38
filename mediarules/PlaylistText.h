// Pieces of playlist syntax that the media rules and the stream fetcher's segment readers share,
// so that each rule is read one way.
#pragma once

#include <optional>
#include <string_view>

// HLS: a line without blanks at either end and without the CR of a CR LF line end.
std::string_view HlsTrimLine(std::string_view text);

// HLS: the value of attribute `name` in an attribute list (NAME=VALUE pairs separated by commas;
// quoted values may hold commas), quotes removed. Nothing when absent.
std::optional<std::string_view> HlsAttribute(std::string_view list, std::string_view name);

// HLS: a segment's duration in seconds (decimal, at most a week), or a negative value when it is
// none or out of range.
double HlsSeconds(std::string_view text);

// DASH: an xs:duration ("PT1H2M3.5S", "P1DT2H") in seconds, or a negative value when it is
// none or past a billion seconds.
double DashDurationSeconds(std::string_view text);
