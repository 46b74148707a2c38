#include "spool/StreamIndex.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "base/Text.h"

namespace {

// Bounds of what is read: the file, one line, the pieces and playlists.
constexpr std::size_t kMaxIndexBytes = 64u << 20;
constexpr std::size_t kMaxIndexParts = 1u << 20;
constexpr std::size_t kMaxIndexPlaylists = 4096;
constexpr std::string_view kMagic = "pelnix-stream 1";

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string_view::npos ? tab : tab - at));
        if (tab == std::string_view::npos)
            return fields;
        at = tab + 1;
    }
}

std::optional<std::uint64_t> Number(std::string_view text) {
    return text.size() > 19 ? std::nullopt : ParseDecimal(text);
}

const char* RoleText(StreamPartRole role) {
    return role == StreamPartRole::Key ? "key" : "segment";
}

// A file name the spool makes: letters, digits, dots; nothing that leaves the folder.
bool SpoolFileName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

std::string EscapeIndexField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == '%') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> UnescapeIndexField(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        int value = 0;
        for (int k = 1; k <= 2; ++k) {
            const char h = text[i + static_cast<std::size_t>(k)];
            int digit = -1;
            if (h >= '0' && h <= '9')
                digit = h - '0';
            else if (h >= 'A' && h <= 'F')
                digit = h - 'A' + 10;
            else if (h >= 'a' && h <= 'f')
                digit = h - 'a' + 10;
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + digit;
        }
        out += static_cast<char>(value);
        i += 2;
    }
    return out;
}

std::string StreamIndexHeader(StreamKind kind, std::string_view url) {
    return std::string(kMagic) + "\nstream\t" + (kind == StreamKind::Dash ? "dash" : "hls") +
           "\t" + EscapeIndexField(url) + "\n";
}

std::string StreamIndexPlaylistLine(const StreamIndexPlaylist& playlist) {
    return "playlist\t" + playlist.file + "\t" + (playlist.master ? "1" : "0") + "\t" +
           EscapeIndexField(playlist.url) + "\n";
}

std::string StreamIndexPartLine(const StreamIndexPart& part) {
    return "part\t" + std::to_string(part.number) + "\t" + RoleText(part.role) + "\t" + part.file +
           "\t" + EscapeIndexField(part.url) + "\t" + EscapeIndexField(part.namer) + "\n";
}

std::string StreamIndexEndLine(const StreamIndexPart& part) {
    return "end\t" + std::to_string(part.number) + "\t" + (part.complete ? "1" : "0") + "\t" +
           std::to_string(part.bytes) + "\t" +
           (part.total ? std::to_string(*part.total) : std::string("-")) + "\n";
}

const StreamIndexPart* StreamIndex::FindPart(std::string_view url) const {
    for (const StreamIndexPart& part : parts) {
        if (part.url == url)
            return &part;
    }
    return nullptr;
}

const StreamIndexPlaylist* StreamIndex::FindPlaylist(std::string_view url) const {
    for (const StreamIndexPlaylist& playlist : playlists) {
        if (playlist.url == url)
            return &playlist;
    }
    return nullptr;
}

bool ReadStreamIndex(int folderFd, StreamIndex& index, std::string& error) {
    index = {};
    const int fd =
        openat(folderFd, std::string(kStreamIndexName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot read the stream's index: ") + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > kMaxIndexBytes)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    std::size_t at = text.find('\n');
    if (at == std::string::npos || std::string_view(text).substr(0, at) != kMagic) {
        error = "the stream's index is garbled";
        return false;
    }
    std::unordered_map<std::uint32_t, std::size_t> partAt;
    bool garbled = false;
    while (at + 1 < text.size()) {
        const std::size_t end = text.find('\n', at + 1);
        if (end == std::string::npos)
            break;  // a line the writer had not finished
        const std::vector<std::string_view> f =
            Fields(std::string_view(text).substr(at + 1, end - at - 1));
        at = end;
        if (f[0] == "stream" && f.size() == 3) {
            index.kind = f[1] == "dash" ? StreamKind::Dash : StreamKind::Hls;
            index.url = UnescapeIndexField(f[2]).value_or("");
        } else if (f[0] == "playlist" && f.size() == 4 && SpoolFileName(f[1])) {
            const auto url = UnescapeIndexField(f[3]);
            if (!url) {
                garbled = true;
                continue;
            }
            StreamIndexPlaylist playlist{*url, std::string(f[1]), f[2] == "1"};
            bool known = false;
            for (StreamIndexPlaylist& seen : index.playlists) {
                if (seen.url == playlist.url) {
                    seen = playlist;
                    known = true;
                }
            }
            if (!known && index.playlists.size() < kMaxIndexPlaylists)
                index.playlists.push_back(std::move(playlist));
        } else if (f[0] == "part" && f.size() == 6 && SpoolFileName(f[3])) {
            const auto number = Number(f[1]);
            const auto url = UnescapeIndexField(f[4]);
            const auto namer = UnescapeIndexField(f[5]);
            if (!number || !url || !namer || *number > UINT32_MAX || partAt.count(
                    static_cast<std::uint32_t>(*number)) != 0) {
                garbled = true;
                continue;
            }
            if (index.parts.size() >= kMaxIndexParts)
                continue;
            StreamIndexPart part;
            part.number = static_cast<std::uint32_t>(*number);
            part.role = f[2] == "key" ? StreamPartRole::Key : StreamPartRole::Segment;
            part.file = std::string(f[3]);
            part.url = *url;
            part.namer = *namer;
            partAt[part.number] = index.parts.size();
            index.parts.push_back(std::move(part));
        } else if (f[0] == "end" && f.size() == 5) {
            const auto number = Number(f[1]);
            const auto bytes = Number(f[3]);
            const auto found =
                number && *number <= UINT32_MAX
                    ? partAt.find(static_cast<std::uint32_t>(*number))
                    : partAt.end();
            if (found == partAt.end() || !bytes) {
                garbled = true;
                continue;
            }
            StreamIndexPart& part = index.parts[found->second];
            part.complete = f[2] == "1";
            part.bytes = *bytes;
            part.total = f[4] == "-" ? std::nullopt : Number(f[4]);
        } else {
            garbled = true;
        }
    }
    if (garbled) {
        error = "the stream's index is garbled";
        return false;
    }
    return true;
}
