// The TLS secrets a browser (or curl) writes to the file named by SSLKEYLOGFILE, in the NSS key
// log format:
//   CLIENT_RANDOM <64 hex: client random> <96 hex: TLS 1.2 master secret>
//   CLIENT_EARLY_TRAFFIC_SECRET | CLIENT_HANDSHAKE_TRAFFIC_SECRET |
//   SERVER_HANDSHAKE_TRAFFIC_SECRET | CLIENT_TRAFFIC_SECRET_0 | SERVER_TRAFFIC_SECRET_0
//       <64 hex: client random> <64 or 96 hex: TLS 1.3 secret>
// Other labels (EXPORTER_SECRET, ...), comments (#) and blank lines are skipped, and so is any
// line that does not fit (too long, wrong hex length, not hex).
//
// The file is followed live: it may not exist yet (a browser started later creates it), grows
// as the browser appends (a partial last line waits for its end), and may be replaced or cut
// short (it is then read again from its start). It is read where the last look left it, at most
// a step per Poll so that the packet loop that polls is never held long, until all of it is
// read; memory stays fixed whatever it holds (a line past the length limit is skipped to its
// end, unkept). The secrets are live: they are only read, kept in memory, never written,
// logged or printed, and wiped when dropped.
//
// A key log that cannot serve is said once each, as a notice: a name that is not a regular file
// (a FIFO, a folder), and a file that holds no key at all past its first noKeyNoticeBytes.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

using TlsClientRandom = std::array<std::uint8_t, 32>;

// The secrets of one connection, by the label that named them in the key log.
enum class TlsSecretKind : std::uint8_t {
    MasterSecret,  // CLIENT_RANDOM (TLS 1.2)
    ClientEarlyTraffic,
    ClientHandshakeTraffic,
    ServerHandshakeTraffic,
    ClientTraffic0,
    ServerTraffic0,
};
inline constexpr std::size_t kTlsSecretKinds = 6;

// One secret copied out of the key log (or derived from one); wiped when it goes.
class TlsSecret {
public:
    static constexpr std::size_t kMaxSize = 48;

    TlsSecret() = default;
    TlsSecret(const std::uint8_t* bytes, std::size_t size);
    TlsSecret(const TlsSecret& other) { *this = other; }
    TlsSecret& operator=(const TlsSecret& other);
    ~TlsSecret() { Clear(); }

    const std::uint8_t* Data() const { return m_bytes.data(); }
    std::uint8_t* Data() { return m_bytes.data(); }
    std::size_t Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    void Clear();

private:
    std::array<std::uint8_t, kMaxSize> m_bytes{};
    std::size_t m_size = 0;
};

struct KeyLogLimits {
    // Connections kept; past it the oldest is dropped.
    std::size_t maxConnections = 32768;
    // Longest line read; a longer one is skipped whole.
    std::size_t maxLineLength = 512;
    // Most bytes one Poll reads; the next Poll goes on where it stopped (see Behind).
    std::size_t maxReadPerPoll = 1u << 20;
    // Bytes read without a single key after which the key log is said to hold none.
    std::uint64_t noKeyNoticeBytes = 16u << 20;
};

class KeyLog {
public:
    // Follows the file at `path` (nothing is read before the first Poll). An empty path follows
    // no file: secrets come only from AddText.
    explicit KeyLog(std::string path = {}, KeyLogLimits limits = {});
    ~KeyLog();
    KeyLog(const KeyLog&) = delete;
    KeyLog& operator=(const KeyLog&) = delete;

    // Receives the notices (each at most once, on the thread of the Poll that found it, no lock
    // held). Set before the first Poll.
    void SetNoticeSink(std::function<void(const std::string& text)> sink) {
        m_noticeSink = std::move(sink);
    }

    // Reads what was added to the file since the last call, at most maxReadPerPoll bytes.
    // Cheap when nothing changed (one stat). True when new secrets arrived. Safe from any
    // thread: calls take turns, and the secrets one thread's call brought show in
    // Generation(), which the other threads compare with the value they saw last.
    bool Poll();
    // Whether the last Poll stopped at its bound with more of the file waiting: poll again soon.
    bool Behind() const { return m_behind.load(std::memory_order_relaxed); }

    // Takes the complete lines of `text` (a last line without its end is ignored). True when
    // new secrets arrived. Safe from any thread.
    bool AddText(std::string_view text);

    // Copies the secret of `kind` for the connection of `clientRandom` into `out`; false when
    // the key log has none. Safe against a concurrent Poll.
    bool Find(const TlsClientRandom& clientRandom, TlsSecretKind kind, TlsSecret& out) const;

    // Counts every change of the secrets held: a connection waiting for keys compares it with
    // the value it last saw before it looks again.
    std::uint64_t Generation() const { return m_generation.load(std::memory_order_acquire); }

    std::size_t ConnectionCount() const;
    const std::string& Path() const { return m_path; }

private:
    struct Entry {
        std::array<TlsSecret, kTlsSecretKinds> secrets;
    };
    // Keyed with a value of this process, so that a crafted file cannot pile its client
    // randoms into one bucket.
    struct RandomHash {
        std::uint64_t key;
        std::size_t operator()(const TlsClientRandom& random) const;
    };

    bool PollLocked(std::vector<std::string>& notices);
    // Parses one line (without its end); true when it added or changed a secret.
    bool TakeLine(const char* line, std::size_t length);
    // Hands the bytes to the line splitter; true when a secret arrived.
    bool TakeBytes(const char* bytes, std::size_t size);
    bool Store(const TlsClientRandom& random, TlsSecretKind kind, const std::uint8_t* secret,
               std::size_t size);
    void CloseFile();
    void ForgetPartialLine();
    void ForgetTail();
    void RememberTail(const char* bytes, std::size_t size);
    bool TailStillThere();

    const std::string m_path;
    const KeyLogLimits m_limits;

    // Poll and AddText, one at a time: the file position and the partial line.
    std::mutex m_readMutex;
    int m_fd = -1;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    off_t m_offset = 0;
    std::unique_ptr<char[]> m_line;  // the partial line, maxLineLength bytes, wiped after use
    std::size_t m_lineLength = 0;
    bool m_skippingLine = false;  // the current line passed maxLineLength: drop to its end
    // The last bytes read: a file cut short and written past the old end between two looks
    // no longer holds them where they were.
    std::array<char, 32> m_tail{};
    std::size_t m_tailLength = 0;
    std::atomic<bool> m_behind{false};
    std::uint64_t m_bytesRead = 0;  // of every file followed
    bool m_toldNotRegular = false;
    bool m_toldNoKey = false;
    std::function<void(const std::string& text)> m_noticeSink;

    // The secrets: many readers (the connections), one writer (the reader of the file).
    mutable std::shared_mutex m_secretsMutex;
    std::unordered_map<TlsClientRandom, Entry, RandomHash> m_secrets;
    std::deque<TlsClientRandom> m_order;  // oldest first
    std::atomic<std::uint64_t> m_generation{0};
};
