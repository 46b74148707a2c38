#include "http/StreamFetcher.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "http/HttpDownloader.h"
#include "mediarules/BodyDecoding.h"
#include "mediarules/Playlist.h"

namespace {

constexpr int kTries = 3;
constexpr std::size_t kKeyBytes = 16;
constexpr auto kReportInterval = std::chrono::milliseconds(100);
constexpr std::size_t kMaxShownUrl = 160;
constexpr std::size_t kHeadBytes = 16;
constexpr auto kMinPoll = std::chrono::milliseconds(500);
constexpr auto kMaxPoll = std::chrono::milliseconds(30000);

// A URL as a message shows it: long ones cut in the middle of nothing important.
std::string ShownUrl(const std::string& url) {
    if (url.size() <= kMaxShownUrl)
        return url;
    return url.substr(0, kMaxShownUrl - 3) + "...";
}

// Answers worth asking again for: the server is busy or briefly broken.
bool TransientStatus(long status) {
    return status == 408 || status == 429 || (status >= 500 && status <= 599);
}

// Transfer failures worth trying again: the connection, not the server's answer or its
// certificate.
bool TransientError(unsigned code) {
    switch (code) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return true;
        default:
            return false;
    }
}

std::string Numbered(char letter, std::size_t number, const std::string& extension) {
    char name[48];
    std::snprintf(name, sizeof name, "%c%06zu.%s", letter, number, extension.c_str());
    return name;
}

bool WriteAllTo(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes a new file of the work folder (which is ours alone) whole; false with errno set.
bool WriteNewFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = WriteAllTo(fd, text.data(), text.size());
    const int error = errno;
    const bool closed = ::close(fd) == 0;
    errno = error;
    return written && closed;
}

std::string FetchErrorText(int error) {
    return std::string(std::strerror(error)) + ".";
}

}  // namespace

// Where the bytes of one piece go: a new file of the work folder, or text in memory; AES-128
// pieces are decrypted on the way.
class StreamFetcher::Sink {
public:
    explicit Sink(std::size_t textLimit) : m_textLimit(textLimit), m_text(true) {}
    Sink() = default;
    ~Sink() {
        Close();
        if (m_cipher)
            EVP_CIPHER_CTX_free(m_cipher);
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    bool Open(const std::string& path) {
        m_path = path;
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (m_fd < 0) {
            m_error = FetchErrorText(errno) + " (" + path + ")";
            return false;
        }
        return true;
    }
    void SetKey(const std::string& key, const std::array<unsigned char, 16>& iv) {
        m_key = key;
        m_iv = iv;
        m_keyed = true;
    }
    // Starts afresh (a new try of the transfer).
    bool Reset() {
        m_error.clear();
        m_bytes = 0;
        m_headSize = 0;
        m_textBytes.clear();
        if (m_fd >= 0 && (::ftruncate(m_fd, 0) != 0 || ::lseek(m_fd, 0, SEEK_SET) != 0)) {
            m_error = FetchErrorText(errno) + " (" + m_path + ")";
            return false;
        }
        if (!m_keyed)
            return true;
        if (!m_cipher)
            m_cipher = EVP_CIPHER_CTX_new();
        if (!m_cipher || EVP_DecryptInit_ex(m_cipher, EVP_aes_128_cbc(), nullptr,
                                            reinterpret_cast<const unsigned char*>(m_key.data()),
                                            m_iv.data()) != 1) {
            m_error = "The decryption could not start.";
            return false;
        }
        return true;
    }
    bool Write(const char* data, std::size_t length) {
        if (!m_keyed)
            return Put(data, length);
        // At most one block more comes out than goes in.
        m_plain.resize(length + kKeyBytes);
        int out = 0;
        if (EVP_DecryptUpdate(m_cipher, m_plain.data(), &out,
                              reinterpret_cast<const unsigned char*>(data),
                              static_cast<int>(length)) != 1) {
            m_error = "It could not be decrypted.";
            return false;
        }
        return Put(reinterpret_cast<const char*>(m_plain.data()), static_cast<std::size_t>(out));
    }
    // The end of the piece: the last block of a decrypted one (its padding checked), the file
    // closed. False when the piece is not whole.
    bool Finish() {
        if (m_keyed) {
            unsigned char last[kKeyBytes * 2];
            int out = 0;
            if (EVP_DecryptFinal_ex(m_cipher, last, &out) != 1) {
                m_error = "It could not be decrypted (the key is wrong, or it is cut short).";
                return false;
            }
            if (!Put(reinterpret_cast<const char*>(last), static_cast<std::size_t>(out)))
                return false;
        }
        return Close();
    }
    bool Close() {
        if (m_fd < 0)
            return true;
        const bool closed = ::close(m_fd) == 0;
        if (!closed && m_error.empty())
            m_error = FetchErrorText(errno) + " (" + m_path + ")";
        m_fd = -1;
        return closed;
    }

    const std::string& Error() const { return m_error; }
    const std::string& Text() const { return m_textBytes; }
    std::uint64_t Bytes() const { return m_bytes; }
    const unsigned char* Head() const { return m_head; }
    std::size_t HeadSize() const { return m_headSize; }

private:
    bool Put(const char* data, std::size_t length) {
        if (m_headSize < kHeadBytes) {
            const std::size_t take = std::min(length, kHeadBytes - m_headSize);
            std::memcpy(m_head + m_headSize, data, take);
            m_headSize += take;
        }
        m_bytes += length;
        if (m_text) {
            if (m_textBytes.size() + length > m_textLimit) {
                m_error = m_textLimit >= (1u << 20)
                              ? "It is larger than " + std::to_string(m_textLimit >> 20) + " MiB."
                              : "It is longer than " + std::to_string(m_textLimit) + " bytes.";
                return false;
            }
            m_textBytes.append(data, length);
            return true;
        }
        if (!WriteAllTo(m_fd, data, length)) {
            m_error = FetchErrorText(errno) + " (" + m_path + ")";
            return false;
        }
        return true;
    }

    std::size_t m_textLimit = 0;
    bool m_text = false;
    std::string m_textBytes;
    std::string m_path;
    int m_fd = -1;
    bool m_keyed = false;
    std::string m_key;
    std::array<unsigned char, 16> m_iv{};
    EVP_CIPHER_CTX* m_cipher = nullptr;
    std::vector<unsigned char> m_plain;
    std::string m_error;
    std::uint64_t m_bytes = 0;
    unsigned char m_head[kHeadBytes] = {};
    std::size_t m_headSize = 0;
};

// The transfer engine for one piece: its body goes to a sink, its abort follows the fetcher's.
class StreamFetcher::Engine : public HttpDownloader {
public:
    Engine(StreamFetcher& owner, Sink& sink, ByteRange range)
        : m_owner(owner), m_sink(sink), m_range(range) {}
    ~Engine() override = default;

    long Status() const { return LastStatusCode(); }
    unsigned LastError() const { return m_lastError; }
    std::string Header(std::string_view name) const { return AnswerHeader(name); }
    // Why the body was refused on the way, when it was (empty otherwise).
    const std::string& BodyFailure() const { return m_bodyFailure; }
    std::uint64_t BodyBytes() const { return m_body; }

    bool IsAborted() const override { return m_owner.IsAborted() || HttpDownloader::IsAborted(); }

protected:
    std::string GetRequestHeaders() override {
        if (m_range.length == 0)
            return {};
        return "Range: bytes=" + std::to_string(m_range.offset) + "-" +
               std::to_string(m_range.offset + m_range.length - 1) + "\r\n";
    }
    void OnSystemError(int, unsigned code) override { m_lastError = code; }
    bool WriteData(const char* data, std::size_t length) override {
        if (m_range.length > 0 && m_body == 0) {
            const std::string expected = "bytes " + std::to_string(m_range.offset) + "-" +
                                         std::to_string(m_range.offset + m_range.length - 1) + "/";
            if (Status() != 206 || !Header("Content-Range").starts_with(expected)) {
                m_bodyFailure = "The server did not answer with the byte range asked for.";
                return false;
            }
        }
        const std::uint64_t limit = m_range.length > 0 ? m_range.length : kMaxPieceBytes;
        if (length > limit - m_body) {
            m_bodyFailure = "The server sent more than " + std::to_string(limit) + " bytes.";
            return false;
        }
        if (!m_sink.Write(data, length)) {
            m_bodyFailure = m_sink.Error();
            return false;
        }
        m_body += length;
        m_owner.m_bytes += length;
        m_owner.Report(false);
        return !IsAborted();
    }

private:
    StreamFetcher& m_owner;
    Sink& m_sink;
    ByteRange m_range;
    std::uint64_t m_body = 0;
    unsigned m_lastError = 0;
    std::string m_bodyFailure;
};

struct StreamFetcher::Track {
    char letter = 'v';
    std::string playlistUrl;   // HLS: the media playlist as named
    bool steppedDown = false;  // the playlist came over http after https
    MediaTrack media;
    bool started = false;
    std::uint64_t next = 0;  // where the next segment to fetch stands
    struct Entry {
        std::string name;
        double seconds = 0;
        std::string init;  // the file of its initialisation section, empty for none
        bool discontinuity = false;
    };
    std::vector<Entry> entries;
    std::map<std::pair<std::string, std::pair<std::uint64_t, std::uint64_t>>, std::string> inits;
    double longest = 0;
};

StreamFetcher::StreamFetcher(StreamFetchSettings settings)
    : m_settings(std::move(settings)), m_share(nullptr, [](void* share) {
          if (share != nullptr)
              curl_share_cleanup(share);
      }) {}

StreamFetcher::~StreamFetcher() {
    RemoveWorkFolder();
}

void StreamFetcher::AddLocalPiece(const std::string& url, ByteRange range, std::string path) {
    m_localPieces[{url, {range.offset, range.length}}] = std::move(path);
}

void StreamFetcher::Abort() {
    m_aborted = true;
    std::lock_guard lock(m_wakeLock);
    m_wake.notify_all();
}

bool StreamFetcher::Pause(std::chrono::milliseconds time) {
    std::unique_lock lock(m_wakeLock);
    m_wake.wait_for(lock, time, [this] { return m_aborted.load(); });
    return !m_aborted;
}

void StreamFetcher::RemoveWorkFolder() {
    if (m_folder.empty())
        return;
    std::error_code error;
    std::filesystem::remove_all(m_folder, error);
    m_folder.clear();
}

void StreamFetcher::Fail(std::string reason) {
    if (m_failureReason.empty())
        m_failureReason = std::move(reason);
}

void StreamFetcher::Report(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!m_report || (!force && now - m_lastReport < kReportInterval))
        return;
    m_lastReport = now;
    StreamProgress progress;
    progress.live = m_live;
    progress.segmentsDone = m_segmentsDone;
    progress.segmentsTotal = m_live ? 0 : m_segmentsTotal;
    progress.bytes = m_bytes;
    progress.seconds = m_seconds;
    progress.totalSeconds = m_live ? 0 : m_totalSeconds;
    m_report(progress);
}

bool StreamFetcher::MakeFolder() {
    std::string pattern = m_settings.workParent + "/.pelnix-stream-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        Fail("The work folder cannot be made: " + FetchErrorText(errno) + " (" +
             m_settings.workParent + ")");
        return false;
    }
    m_folder = pattern;
    return true;
}

bool StreamFetcher::CopyLocal(const std::string& path, ByteRange range, Sink& sink,
                              const std::string& what) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) > kMaxPieceBytes ||
        (range.length > 0 && static_cast<std::uint64_t>(st.st_size) != range.length)) {
        if (fd >= 0)
            ::close(fd);
        Fail(what + ": the piece at hand (" + path + ") is not a file of its size.");
        return false;
    }
    std::vector<char> buffer(1 << 16);
    bool ok = sink.Reset();
    while (ok) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = sink.Write(buffer.data(), static_cast<std::size_t>(got));
        m_bytes += static_cast<std::uint64_t>(got);
    }
    ::close(fd);
    if (ok)
        ok = sink.Finish();
    if (!ok)
        Fail(what + ": " +
             (sink.Error().empty() ? std::string("It cannot be read.") : sink.Error()));
    return ok;
}

bool StreamFetcher::Fetch(const std::string& url, ByteRange range, Sink& sink,
                          const std::string& what, bool steppedDown) {
    FetchResult unused;
    return FetchInto(url, range, sink, what, steppedDown, unused);
}

bool StreamFetcher::FetchInto(const std::string& url, ByteRange range, Sink& sink,
                              const std::string& what, bool steppedDown, FetchResult& result) {
    if (const auto local = m_localPieces.find({url, {range.offset, range.length}});
        local != m_localPieces.end()) {
        result.finalUrl = url;
        result.steppedDown = steppedDown;
        return CopyLocal(local->second, range, sink, what);
    }
    for (int attempt = 1;; ++attempt) {
        if (IsAborted())
            return false;
        if (!sink.Reset()) {
            Fail(what + ": " + sink.Error());
            return false;
        }
        Engine engine(*this, sink, range);
        engine.SetUrl(url);
        engine.SetUserAgent(m_settings.userAgent);
        engine.SetExtraAuthorityFile(m_settings.extraAuthorityFile);
        engine.SetCapturedSession(m_settings.captured, m_settings.capturedUrl, steppedDown);
        engine.SetShare(m_share.get());
        engine.SetConnectTimeout(m_settings.connectTimeout);
        engine.SetLowSpeedLimit(1, m_settings.lowSpeedTime);
        bool ok = engine.Download() && engine.BodyFailure().empty();
        std::string reason = engine.BodyFailure();
        if (ok && range.length > 0 && engine.BodyBytes() != range.length)
            reason = "The server sent " + std::to_string(engine.BodyBytes()) + " of " +
                     std::to_string(range.length) + " bytes.";
        else if (ok && engine.BodyBytes() == 0)
            reason = "The server sent nothing.";
        else if (ok && !sink.Finish())
            reason = sink.Error();
        ok = ok && reason.empty();
        if (ok) {
            result.finalUrl = engine.FinalUrl();
            result.steppedDown = engine.SteppedDown();
            result.contentEncoding = engine.Header("Content-Encoding");
            return true;
        }
        if (IsAborted())
            return false;
        if (reason.empty())
            reason = engine.FailureReason();
        if (reason.empty())
            reason = "The transfer failed.";
        const long status = engine.Status();
        const bool transient =
            engine.BodyFailure().empty() &&
            (status >= 300 ? TransientStatus(status) : TransientError(engine.LastError()));
        if (!transient || attempt == kTries) {
            Fail(what + " (" + ShownUrl(url) + "): " + reason);
            return false;
        }
        if (!Pause(m_settings.retryPause * attempt))
            return false;
    }
}

bool StreamFetcher::FetchText(const std::string& url, std::string& text, std::string& finalUrl,
                              bool& steppedDown, const std::string& what) {
    Sink sink(kMaxPlaylistBytes);
    FetchResult result;
    if (!FetchInto(url, {}, sink, what, steppedDown, result))
        return false;
    finalUrl = result.finalUrl;
    steppedDown = result.steppedDown;
    if (result.contentEncoding.empty()) {
        text = sink.Text();
        return true;
    }
    const std::optional<DecodedBody> decoded =
        DecodeContentCodings(result.contentEncoding, sink.Text(), kMaxPlaylistBytes + 1);
    if (!decoded || decoded->cut) {
        Fail(what + " (" + ShownUrl(url) + "): its coding (" + ShownUrl(result.contentEncoding) +
             ") cannot be undone, or it is larger than 8 MiB.");
        return false;
    }
    text = decoded->bytes;
    return true;
}

bool StreamFetcher::FetchKey(const std::string& url, std::string& key, const std::string& what) {
    if (const auto known = m_keys.find(url); known != m_keys.end()) {
        key = known->second;
        return true;
    }
    Sink sink(kKeyBytes);
    if (!Fetch(url, {}, sink, what))
        return false;
    if (sink.Text().size() != kKeyBytes) {
        Fail(what + " (" + ShownUrl(url) + "): it is not 16 bytes long.");
        return false;
    }
    key = sink.Text();
    m_keys[url] = key;
    return true;
}

bool StreamFetcher::FetchInit(Track& track, int index) {
    const InitSection& section = track.media.inits[static_cast<std::size_t>(index)];
    const auto id =
        std::make_pair(section.url, std::make_pair(section.range.offset, section.range.length));
    if (track.inits.count(id) != 0)
        return true;
    const std::string what = "The initialisation section";
    Sink sink;
    const std::string part =
        m_folder + "/" + std::string(1, track.letter) + "init" + std::to_string(track.inits.size());
    if (!sink.Open(part + ".part")) {
        Fail(what + ": " + sink.Error());
        return false;
    }
    if (section.key >= 0) {
        const SegmentKey& key = track.media.keys[static_cast<std::size_t>(section.key)];
        std::string bytes;
        if (!FetchKey(key.url, bytes, "The key of the initialisation section"))
            return false;
        sink.SetKey(bytes, key.iv);
    }
    if (!Fetch(section.url, section.range, sink, what, track.steppedDown))
        return false;
    const std::string name = std::string(1, track.letter) + "init" +
                             std::to_string(track.inits.size()) + "." +
                             LocalSegmentExtension(sink.Head(), sink.HeadSize(), true);
    if (::rename((part + ".part").c_str(), (m_folder + "/" + name).c_str()) != 0) {
        Fail(what + ": " + FetchErrorText(errno) + " (" + m_folder + ")");
        return false;
    }
    track.inits[id] = name;
    return true;
}

bool StreamFetcher::FetchSegment(Track& track, const MediaSegment& segment) {
    const std::size_t number = track.entries.size();
    std::string what =
        (track.letter == 'a' ? "Sound segment " : "Segment ") + std::to_string(number + 1);
    if (!m_live)
        what += " of " + std::to_string(track.media.segments.size());
    Track::Entry entry;
    if (segment.init >= 0) {
        if (!FetchInit(track, segment.init))
            return false;
        const InitSection& section = track.media.inits[static_cast<std::size_t>(segment.init)];
        entry.init = track.inits[{section.url, {section.range.offset, section.range.length}}];
    }
    Sink sink;
    const std::string part = m_folder + "/" + Numbered(track.letter, number, "part");
    if (!sink.Open(part)) {
        Fail(what + ": " + sink.Error());
        return false;
    }
    if (segment.key >= 0) {
        const SegmentKey& key = track.media.keys[static_cast<std::size_t>(segment.key)];
        std::string bytes;
        if (!FetchKey(key.url, bytes, "The key of " + what))
            return false;
        std::array<unsigned char, 16> iv = key.iv;
        if (!key.explicitIv) {
            // The media sequence number, big-endian in the IV's last eight bytes.
            iv.fill(0);
            for (int i = 0; i < 8; ++i)
                iv[15 - static_cast<std::size_t>(i)] =
                    static_cast<unsigned char>(segment.position >> (8 * i));
        }
        sink.SetKey(bytes, iv);
    }
    if (!Fetch(segment.url, segment.range, sink, what, track.steppedDown))
        return false;
    entry.name =
        Numbered(track.letter, number, LocalSegmentExtension(sink.Head(), sink.HeadSize(), false));
    if (::rename(part.c_str(), (m_folder + "/" + entry.name).c_str()) != 0) {
        Fail(what + ": " + FetchErrorText(errno) + " (" + m_folder + ")");
        return false;
    }
    entry.seconds = segment.seconds;
    entry.discontinuity = segment.discontinuity;
    track.entries.push_back(std::move(entry));
    track.longest = std::max(track.longest, segment.seconds);
    track.started = true;
    track.next = segment.next;
    ++m_segmentsDone;
    if (&track == m_tracks.front().get())
        m_seconds += segment.seconds;
    Report(true);
    return true;
}

bool StreamFetcher::ReadTracks(bool first) {
    if (m_settings.dash) {
        std::string text;
        std::string finalUrl;
        bool steppedDown = false;
        if (!FetchText(m_settings.url, text, finalUrl, steppedDown, "The manifest"))
            return false;
        std::optional<DashTracks> tracks = ReadDashSegments(text, finalUrl);
        if (!tracks) {
            Fail("The manifest (" + ShownUrl(m_settings.url) + ") is not a DASH manifest.");
            return false;
        }
        if (!tracks->refusal.empty()) {
            Fail(tracks->refusal);
            return false;
        }
        if (first) {
            m_live = tracks->live;
            m_updateSeconds = tracks->updateSeconds;
            m_tracks.push_back(std::make_unique<Track>());
            if (tracks->audio) {
                m_tracks.push_back(std::make_unique<Track>());
                m_tracks.back()->letter = 'a';
            }
        } else if ((tracks->audio.has_value()) != (m_tracks.size() > 1)) {
            Fail("The manifest changed its sound while it was recorded.");
            return false;
        }
        m_tracks.front()->media = std::move(tracks->main);
        m_tracks.front()->steppedDown = steppedDown;
        if (tracks->audio) {
            m_tracks.back()->media = std::move(*tracks->audio);
            m_tracks.back()->steppedDown = steppedDown;
        }
        return true;
    }
    if (first) {
        std::string text;
        std::string finalUrl;
        bool steppedDown = false;
        if (!FetchText(m_settings.url, text, finalUrl, steppedDown, "The playlist"))
            return false;
        auto track = std::make_unique<Track>();
        track->playlistUrl = m_settings.url;
        track->steppedDown = steppedDown;
        if (std::optional<MediaTrack> media = ReadHlsSegments(text, finalUrl)) {
            if (!media->refusal.empty()) {
                Fail(media->refusal);
                return false;
            }
            track->media = std::move(*media);
            m_live = track->media.live;
            m_tracks.push_back(std::move(track));
            return true;
        }
        // A multivariant playlist: the best variant, and its sound when that is apart.
        const std::optional<StreamPlaylist> playlist = ParseHlsPlaylist(text, finalUrl);
        if (!playlist || !playlist->master || playlist->variants.empty()) {
            Fail("The playlist (" + ShownUrl(m_settings.url) + ") is not an HLS playlist.");
            return false;
        }
        const StreamVariant& best = playlist->variants.front();
        track->playlistUrl = best.url;
        m_tracks.push_back(std::move(track));
        if (best.separateAudio) {
            m_tracks.push_back(std::make_unique<Track>());
            m_tracks.back()->letter = 'a';
            m_tracks.back()->playlistUrl = best.audioUrl;
            m_tracks.back()->steppedDown = steppedDown;
        }
    }
    for (auto& track : m_tracks) {
        if (!first && !track->media.live)
            continue;
        std::string text;
        std::string finalUrl;
        bool steppedDown = track->steppedDown;
        const std::string what =
            track->letter == 'a' ? "The sound's playlist" : "The variant's playlist";
        if (!FetchText(track->playlistUrl, text, finalUrl, steppedDown, what))
            return false;
        std::optional<MediaTrack> media = ReadHlsSegments(text, finalUrl);
        if (!media) {
            Fail(what + " (" + ShownUrl(track->playlistUrl) + ") names no segments.");
            return false;
        }
        if (!media->refusal.empty()) {
            Fail(media->refusal);
            return false;
        }
        track->media = std::move(*media);
        track->steppedDown = steppedDown;
        if (first)
            m_live = m_live || track->media.live;
    }
    return true;
}

bool StreamFetcher::FetchNew(Track& track, bool& gap) {
    gap = false;
    bool firstNew = true;
    for (const MediaSegment& segment : track.media.segments) {
        if (track.started && segment.position < track.next)
            continue;
        if (track.started && firstNew && segment.position > track.next) {
            gap = true;
            return true;
        }
        firstNew = false;
        if (!FetchSegment(track, segment))
            return false;
        if (m_live &&
            (m_seconds >= m_settings.maxLiveSeconds || m_bytes >= m_settings.maxLiveBytes ||
             m_segmentsDone >= m_settings.maxLiveSegments))
            return true;
    }
    return true;
}

bool StreamFetcher::WritePlaylists() {
    std::string master = "#EXTM3U\n#EXT-X-VERSION:7\n";
    std::string variant = "#EXT-X-STREAM-INF:BANDWIDTH=1000000";
    for (const auto& track : m_tracks) {
        const std::string name = std::string(1, track->letter) + ".m3u8";
        std::string text = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:" +
                           std::to_string(std::max<long long>(
                               1, static_cast<long long>(std::ceil(track->longest)))) +
                           "\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n";
        std::string init;
        for (const Track::Entry& entry : track->entries) {
            if (entry.discontinuity)
                text += "#EXT-X-DISCONTINUITY\n";
            if (entry.init != init) {
                init = entry.init;
                if (!init.empty())
                    text += "#EXT-X-MAP:URI=\"" + init + "\"\n";
            }
            char extinf[64];
            std::snprintf(extinf, sizeof extinf, "#EXTINF:%.6f,\n", entry.seconds);
            text += extinf + entry.name + "\n";
        }
        text += "#EXT-X-ENDLIST\n";
        if (!WriteNewFile(m_folder + "/" + name, text)) {
            Fail("The stream's playlist cannot be written: " + FetchErrorText(errno) + " (" +
                 m_folder + ")");
            return false;
        }
        if (track->letter == 'a') {
            master +=
                "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"sound\",NAME=\"sound\",DEFAULT=YES,"
                "AUTOSELECT=YES,URI=\"" +
                name + "\"\n";
            variant += ",AUDIO=\"sound\"";
        }
    }
    master += variant + "\n" + std::string(1, m_tracks.front()->letter) + ".m3u8\n";
    m_playlist = m_folder + "/stream.m3u8";
    if (!WriteNewFile(m_playlist, master)) {
        Fail("The stream's playlist cannot be written: " + FetchErrorText(errno) + " (" + m_folder +
             ")");
        m_playlist.clear();
        return false;
    }
    return true;
}

StreamFetcher::Outcome StreamFetcher::Run() {
    m_failureReason.clear();
    CURLSH* share = curl_share_init();
    if (share != nullptr) {
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    m_share.reset(share);
    if (!MakeFolder())
        return Outcome::Failed;
    Report(true);
    if (!ReadTracks(true))
        return IsAborted() ? Outcome::Cancelled : Outcome::Failed;
    if (m_live)
        return RunLive();
    for (const auto& track : m_tracks) m_segmentsTotal += track->media.segments.size();
    m_totalSeconds = m_tracks.front()->media.seconds;
    Report(true);
    for (auto& track : m_tracks) {
        bool gap = false;
        if (!FetchNew(*track, gap))
            return IsAborted() ? Outcome::Cancelled : Outcome::Failed;
    }
    if (!WritePlaylists())
        return Outcome::Failed;
    Report(true);
    return Outcome::Complete;
}

// Records until the stream ends (Complete) or the recording stops early: Recorded with the
// reason when something usable was recorded, else Cancelled or Failed.
StreamFetcher::Outcome StreamFetcher::RunLive() {
    auto lastNew = std::chrono::steady_clock::now();
    std::string stop;
    for (;;) {
        const std::size_t before = m_segmentsDone;
        m_failureReason.clear();
        for (auto& track : m_tracks) {
            bool gap = false;
            if (!FetchNew(*track, gap)) {
                stop = IsAborted() ? "The recording was stopped." : m_failureReason;
                break;
            }
            if (gap) {
                stop =
                    "Segments of the live stream left its playlist before they could be "
                    "fetched.";
                break;
            }
        }
        if (stop.empty() && m_seconds >= m_settings.maxLiveSeconds) {
            stop = "The recording reached its bound of " +
                   std::to_string(static_cast<long long>(m_settings.maxLiveSeconds)) + " seconds.";
        } else if (stop.empty() && m_bytes >= m_settings.maxLiveBytes) {
            stop = "The recording reached its bound of " +
                   std::to_string(m_settings.maxLiveBytes >> 20) + " MiB.";
        } else if (stop.empty() && m_segmentsDone >= m_settings.maxLiveSegments) {
            stop = "The recording reached its bound of " +
                   std::to_string(m_settings.maxLiveSegments) + " segments.";
        }
        if (!stop.empty())
            break;
        bool ended = true;
        double target = 0;
        for (const auto& track : m_tracks) {
            ended = ended && !track->media.live;
            target = std::max(target, track->media.targetSeconds);
        }
        if (ended) {
            // The stream's end arrived, and with it every segment since the recording began.
            m_failureReason.clear();
            return WritePlaylists() ? Outcome::Complete : Outcome::Failed;
        }
        const auto now = std::chrono::steady_clock::now();
        const bool changed = m_segmentsDone != before;
        if (changed)
            lastNew = now;
        if (target <= 0)
            target = 2;
        const auto silence = std::max<std::chrono::milliseconds>(
            m_settings.liveSilence,
            std::chrono::milliseconds(static_cast<long long>(target * 3000)));
        if (now - lastNew > silence) {
            stop =
                "The live stream sent no new segment for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(silence).count()) +
                " seconds.";
            break;
        }
        // RFC 8216, 6.3.4: ask again after a target duration, half of one when nothing changed.
        double wait = m_settings.dash && m_updateSeconds > 0 ? m_updateSeconds
                                                             : (changed ? target : target / 2);
        auto interval = std::chrono::milliseconds(static_cast<long long>(wait * 1000));
        interval = std::clamp<std::chrono::milliseconds>(interval, kMinPoll, kMaxPoll);
        if (m_settings.pollInterval.count() > 0)
            interval = m_settings.pollInterval;
        if (!Pause(interval)) {
            stop = "The recording was stopped.";
            break;
        }
        m_failureReason.clear();
        if (!ReadTracks(false)) {
            stop = IsAborted() ? "The recording was stopped." : m_failureReason;
            break;
        }
    }
    m_failureReason.clear();
    if (m_tracks.front()->entries.empty()) {
        // Nothing usable: a failure with its reason, or a plain cancel.
        if (IsAborted())
            return Outcome::Cancelled;
        m_failureReason = stop;
        return Outcome::Failed;
    }
    if (!WritePlaylists())
        return Outcome::Failed;
    m_failureReason = stop;
    return Outcome::Recorded;
}
