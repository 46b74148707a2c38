// The program's string table (ids 1600 to 1628) and "%1"/"%2" message formatting.
#pragma once

#include <string>
#include <string_view>

// The text of string `id`, or an empty view for an id the table does not hold.
std::string_view LoadResourceString(int id);

// Fills "%1" .. "%9" in `format` in one pass: an argument's own text is never substituted
// again, so a file name holding "%2" stays as it is. "%%" stands for "%". A placeholder whose
// argument is missing, and any other "%", are kept literally.
std::string FormatMessageText(std::string_view format, std::initializer_list<std::string_view> args);

// LoadResourceString followed by FormatMessageText.
std::string FormatResourceString(int id, std::initializer_list<std::string_view> args);
