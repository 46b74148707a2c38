#include "tls/KeyLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include <openssl/crypto.h>

#include "base/RegularFile.h"

namespace {

constexpr std::size_t kReadChunk = 64u << 10;

struct Label {
    std::string_view text;
    TlsSecretKind kind;
};
constexpr Label kLabels[] = {
    {"CLIENT_RANDOM", TlsSecretKind::MasterSecret},
    {"CLIENT_EARLY_TRAFFIC_SECRET", TlsSecretKind::ClientEarlyTraffic},
    {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", TlsSecretKind::ClientHandshakeTraffic},
    {"SERVER_HANDSHAKE_TRAFFIC_SECRET", TlsSecretKind::ServerHandshakeTraffic},
    {"CLIENT_TRAFFIC_SECRET_0", TlsSecretKind::ClientTraffic0},
    {"SERVER_TRAFFIC_SECRET_0", TlsSecretKind::ServerTraffic0},
};

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes exactly 2 * size hex digits.
bool DecodeHex(std::string_view hex, std::uint8_t* out, std::size_t size) {
    if (hex.size() != 2 * size)
        return false;
    for (std::size_t i = 0; i < size; ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Splits a line into at most `max` fields separated by blanks; the count found (max + 1 when
// there are more).
std::size_t SplitFields(std::string_view line, std::string_view* fields, std::size_t max) {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        if (i == line.size())
            break;
        const std::size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        if (count == max)
            return max + 1;
        fields[count++] = line.substr(start, i - start);
    }
    return count;
}

}  // namespace

TlsSecret::TlsSecret(const std::uint8_t* bytes, std::size_t size) {
    m_size = size < kMaxSize ? size : kMaxSize;
    std::memcpy(m_bytes.data(), bytes, m_size);
}

TlsSecret& TlsSecret::operator=(const TlsSecret& other) {
    if (this != &other) {
        Clear();
        std::memcpy(m_bytes.data(), other.m_bytes.data(), other.m_size);
        m_size = other.m_size;
    }
    return *this;
}

void TlsSecret::Clear() {
    OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
    m_size = 0;
}

std::size_t KeyLog::RandomHash::operator()(const TlsClientRandom& random) const {
    std::uint64_t hash = key;
    for (std::size_t i = 0; i < random.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, random.data() + i, 8);
        hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
        hash ^= hash >> 29;
    }
    return static_cast<std::size_t>(hash);
}

KeyLog::KeyLog(std::string path, KeyLogLimits limits)
    : m_path(std::move(path)),
      m_limits(limits),
      m_line(new char[limits.maxLineLength + 1]),
      m_secrets(16, RandomHash{(static_cast<std::uint64_t>(std::random_device{}()) << 32) |
                               std::random_device{}()}) {}

KeyLog::~KeyLog() {
    CloseFile();
    ForgetTail();
    ForgetPartialLine();
}

void KeyLog::CloseFile() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void KeyLog::ForgetTail() {
    OPENSSL_cleanse(m_tail.data(), m_tail.size());
    m_tailLength = 0;
}

void KeyLog::ForgetPartialLine() {
    // Only the bytes the line holds were ever written: wiping the whole buffer for every line
    // made a file of empty lines cost seconds per 16 MiB.
    OPENSSL_cleanse(m_line.get(), m_lineLength);
    m_lineLength = 0;
    m_skippingLine = false;
}

bool KeyLog::Poll() {
    if (m_path.empty())
        return false;
    std::vector<std::string> notices;
    bool added;
    {
        std::lock_guard lock(m_readMutex);
        added = PollLocked(notices);
    }
    if (m_noticeSink) {
        for (const std::string& notice : notices) m_noticeSink(notice);
    }
    return added;
}

bool KeyLog::PollLocked(std::vector<std::string>& notices) {
    m_behind.store(false, std::memory_order_relaxed);
    struct stat now;
    const bool named = ::stat(m_path.c_str(), &now) == 0;
    const bool exists = named && S_ISREG(now.st_mode);
    bool added = false;
    const auto notRegular = [&](mode_t mode) {
        if (m_toldNotRegular)
            return;
        m_toldNotRegular = true;
        notices.push_back("the key log '" + m_path + "' is " + NotRegularFileText(mode) +
                          ": TLS keys are read from a regular file only, so HTTPS is not "
                          "decrypted");
    };
    if (named && !exists)
        notRegular(now.st_mode);

    // Reads from m_offset on, at most maxReadPerPoll bytes; true when it stopped at that bound
    // before the end of the file.
    auto readMore = [&] {
        std::unique_ptr<char[]> chunk(new char[kReadChunk]);
        std::size_t total = 0;
        while (total < m_limits.maxReadPerPoll) {
            const std::size_t want = std::min(kReadChunk, m_limits.maxReadPerPoll - total);
            const ssize_t got = ::pread(m_fd, chunk.get(), want, m_offset);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            m_offset += got;
            total += static_cast<std::size_t>(got);
            m_bytesRead += static_cast<std::uint64_t>(got);
            RememberTail(chunk.get(), static_cast<std::size_t>(got));
            added |= TakeBytes(chunk.get(), static_cast<std::size_t>(got));
        }
        OPENSSL_cleanse(chunk.get(), kReadChunk);
        if (!m_toldNoKey && m_bytesRead >= m_limits.noKeyNoticeBytes &&
            m_generation.load(std::memory_order_relaxed) == 0) {
            m_toldNoKey = true;
            notices.push_back("the key log '" + m_path + "' holds no TLS key in its first " +
                              std::to_string(m_bytesRead >> 20) +
                              " MiB: HTTPS is decrypted only once the browser writes its keys "
                              "there (SSLKEYLOGFILE)");
        }
        const bool behind = total >= m_limits.maxReadPerPoll;
        m_behind.store(behind, std::memory_order_relaxed);
        return behind;
    };

    if (m_fd >= 0) {
        if (exists && now.st_dev == m_device && now.st_ino == m_inode) {
            if (now.st_size == m_offset)
                return false;
            if (now.st_size < m_offset || !TailStillThere()) {  // cut short: start over
                m_offset = 0;
                ForgetTail();
                ForgetPartialLine();
            }
            readMore();
            return added;
        }
        // Replaced or removed: take what the old file still holds (a step at a time), then
        // move on.
        if (readMore())
            return added;
        CloseFile();
    }
    if (!exists)
        return added;
    // Non-blocking, so that a FIFO put in the file's place cannot hold the capture thread.
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return added;
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        ::close(fd);
        return added;
    }
    if (!S_ISREG(opened.st_mode)) {
        notRegular(opened.st_mode);
        ::close(fd);
        return added;
    }
    m_fd = fd;
    m_device = opened.st_dev;
    m_inode = opened.st_ino;
    m_offset = 0;
    ForgetTail();
    ForgetPartialLine();
    readMore();
    return added;
}

void KeyLog::RememberTail(const char* bytes, std::size_t size) {
    const std::size_t keep = std::min(m_tail.size(), m_tailLength + size);
    const std::size_t fromBytes = std::min(keep, size);
    const std::size_t fromOld = keep - fromBytes;
    std::memmove(m_tail.data(), m_tail.data() + m_tailLength - fromOld, fromOld);
    std::memcpy(m_tail.data() + fromOld, bytes + size - fromBytes, fromBytes);
    m_tailLength = keep;
}

bool KeyLog::TailStillThere() {
    if (m_tailLength == 0)
        return true;
    std::array<char, 32> found;
    ssize_t got;
    do {
        got =
            ::pread(m_fd, found.data(), m_tailLength, m_offset - static_cast<off_t>(m_tailLength));
    } while (got < 0 && errno == EINTR);
    const bool same = got == static_cast<ssize_t>(m_tailLength) &&
                      std::memcmp(found.data(), m_tail.data(), m_tailLength) == 0;
    OPENSSL_cleanse(found.data(), found.size());
    return same;
}

bool KeyLog::AddText(std::string_view text) {
    std::lock_guard lock(m_readMutex);
    bool added = false;
    // Whole lines only, read where they stand: the followed file's partial line is not touched.
    for (std::size_t end; (end = text.find('\n')) != std::string_view::npos;
         text.remove_prefix(end + 1)) {
        if (end <= m_limits.maxLineLength)
            added |= TakeLine(text.data(), end);
    }
    return added;
}

bool KeyLog::TakeBytes(const char* bytes, std::size_t size) {
    bool added = false;
    while (size > 0) {
        // Empty lines cost nothing but a look.
        if (m_lineLength == 0 && !m_skippingLine && *bytes == '\n') {
            ++bytes;
            --size;
            continue;
        }
        const char* end = static_cast<const char*>(std::memchr(bytes, '\n', size));
        const std::size_t piece = end ? static_cast<std::size_t>(end - bytes) : size;
        if (!m_skippingLine) {
            if (m_lineLength + piece > m_limits.maxLineLength) {
                m_skippingLine = true;
            } else {
                std::memcpy(m_line.get() + m_lineLength, bytes, piece);
                m_lineLength += piece;
            }
        }
        if (!end)
            break;
        if (!m_skippingLine)
            added |= TakeLine(m_line.get(), m_lineLength);
        ForgetPartialLine();
        bytes += piece + 1;
        size -= piece + 1;
    }
    return added;
}

bool KeyLog::TakeLine(const char* text, std::size_t length) {
    std::string_view line(text, length);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string_view fields[3];
    if (SplitFields(line, fields, 3) != 3 || fields[0].front() == '#')
        return false;
    const Label* label = nullptr;
    for (const Label& candidate : kLabels) {
        if (fields[0] == candidate.text)
            label = &candidate;
    }
    if (!label)
        return false;
    TlsClientRandom random;
    if (!DecodeHex(fields[1], random.data(), random.size()))
        return false;
    // TLS 1.2 master secrets are 48 bytes; TLS 1.3 secrets are as long as the suite's hash:
    // 32 bytes (SHA-256) or 48 (SHA-384).
    const std::size_t size = fields[2].size() / 2;
    const bool sizeFits =
        label->kind == TlsSecretKind::MasterSecret ? size == 48 : (size == 32 || size == 48);
    if (!sizeFits)
        return false;
    std::uint8_t secret[TlsSecret::kMaxSize];
    bool added = false;
    if (DecodeHex(fields[2], secret, size))
        added = Store(random, label->kind, secret, size);
    OPENSSL_cleanse(secret, sizeof secret);
    return added;
}

bool KeyLog::Store(const TlsClientRandom& random, TlsSecretKind kind, const std::uint8_t* secret,
                   std::size_t size) {
    std::unique_lock lock(m_secretsMutex);
    auto found = m_secrets.find(random);
    if (found == m_secrets.end()) {
        while (!m_order.empty() && m_secrets.size() >= m_limits.maxConnections) {
            m_secrets.erase(m_order.front());  // the entry's secrets wipe themselves
            m_order.pop_front();
        }
        if (m_limits.maxConnections == 0)
            return false;
        found = m_secrets.emplace(random, Entry{}).first;
        m_order.push_back(random);
    }
    TlsSecret& slot = found->second.secrets[static_cast<std::size_t>(kind)];
    if (slot.Size() == size && CRYPTO_memcmp(slot.Data(), secret, size) == 0)
        return false;
    slot = TlsSecret(secret, size);
    m_generation.fetch_add(1, std::memory_order_release);
    return true;
}

bool KeyLog::Find(const TlsClientRandom& clientRandom, TlsSecretKind kind, TlsSecret& out) const {
    std::shared_lock lock(m_secretsMutex);
    const auto found = m_secrets.find(clientRandom);
    if (found == m_secrets.end())
        return false;
    const TlsSecret& secret = found->second.secrets[static_cast<std::size_t>(kind)];
    if (secret.Empty())
        return false;
    out = secret;
    return true;
}

std::size_t KeyLog::ConnectionCount() const {
    std::shared_lock lock(m_secretsMutex);
    return m_secrets.size();
}
