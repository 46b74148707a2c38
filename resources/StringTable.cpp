#include "resources/StringTable.h"

#include <array>
#include <utility>

namespace {

struct Entry {
    int id;
    const char* text;
};

constexpr std::array kStrings{
    Entry{1600, "%1 from %2"},
    Entry{1601, "Connected to %1"},
    Entry{1602, "Resolving name: %1"},
    Entry{1603, "Resolved name to %1"},
    Entry{1604, "Connecting to %1"},
    Entry{1605, "Redirecting to %1"},
    Entry{1606, "Getting file information"},
    Entry{1607, "An error occurred parsing the url: %s"},
    Entry{1608, "An error occurred while attempting to download the file, Error:%1"},
    Entry{1609, "An error occurred connecting to the server, Error:%1"},
    Entry{1610, "Failed to receive a valid response from the server, Error:%1"},
    Entry{1611, "Failed to receive a valid HTTP response from the server, Response Code:%1"},
    Entry{1612, "An error occurred while downloading the file, Error:%1"},
    Entry{1613, "%1% of %2 Completed"},
    Entry{1614, "Retrieving the file"},
    Entry{1615, "%1 of %2"},
    Entry{1616, "%1 sec"},
    Entry{1617, "%1 min"},
    Entry{1618, "%1 min %2 sec"},
    Entry{1619, "%1 Bytes"},
    Entry{1620, "%1 KB"},
    Entry{1621, "%1 MB"},
    Entry{1622, "%1 (%2 copied)"},
    Entry{1623, "%1 Bytes/Sec"},
    Entry{1624, "%1 KB/Sec"},
    Entry{1625, "The file '%1' already exists.\nDo you want to replace it?"},
    Entry{1626, "An error occured while opening the file to be downloaded, Error:%1"},
    Entry{1627, "Aborting transfer"},
    Entry{1628, "An error occurred while seeking to the end of the file to be downloaded, Error:%1"},
};

}  // namespace

std::string_view LoadResourceString(int id) {
    for (const Entry& e : kStrings) {
        if (e.id == id) return e.text;
    }
    return {};
}

std::string FormatMessageText(std::string_view format,
                              std::initializer_list<std::string_view> args) {
    std::string out;
    out.reserve(format.size() + 32);
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c == '%' && i + 1 < format.size()) {
            const char next = format[i + 1];
            if (next == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (next >= '1' && next <= '9') {
                const auto index = static_cast<std::size_t>(next - '1');
                if (index < args.size()) {
                    out += *(args.begin() + index);
                    ++i;
                    continue;
                }
            }
        }
        out += c;
    }
    return out;
}

std::string FormatResourceString(int id, std::initializer_list<std::string_view> args) {
    return FormatMessageText(LoadResourceString(id), args);
}
