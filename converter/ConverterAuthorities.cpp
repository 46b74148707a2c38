#include "converter/ConverterAuthorities.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "converter/ConverterOutput.h"

namespace {

// The whole regular file `path`, or nothing with `error` set (EFBIG past the bound). A pipe or a
// device is refused without blocking in open.
std::optional<std::string> ReadBoundedFile(const std::string& path, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return std::nullopt;
    }
    std::optional<std::string> text;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else {
        text.emplace();
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = errno;
                text.reset();
                break;
            }
            if (n == 0)
                break;
            if (text->size() + static_cast<std::size_t>(n) > kMaxAuthorityFileBytes) {
                error = EFBIG;
                text.reset();
                break;
            }
            text->append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return text;
}

// How many PEM certificates `text` holds; nothing when a certificate block does not decode.
// Text between the blocks (a comment, a name line) is allowed, as the readers allow it.
std::optional<int> CountCertificates(const std::string& text) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), &BIO_free);
    if (!bio)
        return std::nullopt;
    ERR_clear_error();
    int count = 0;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        X509_free(certificate);
        ++count;
    }
    // The end of the text shows as "no start line"; anything else is a broken block.
    const unsigned long error = ERR_peek_last_error();
    const bool atEnd =
        ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE;
    ERR_clear_error();
    if (!atEnd)
        return std::nullopt;
    return count;
}

std::string Failure(const std::string& path, const std::string& reason) {
    return "The certificate authorities of the setting TlsCaFile cannot be used:\n\n   " + path +
           "\n\n" + reason;
}

}  // namespace

AuthorityFile ConverterAuthorityFile(const std::string& extraFile, const std::string& bundlePath,
                                     const std::string& systemFile) {
    if (extraFile.empty())
        return {systemFile, {}};
    int error = 0;
    const std::optional<std::string> extra = ReadBoundedFile(extraFile, error);
    if (!extra)
        return {{}, Failure(extraFile, std::string(std::strerror(error)) + ".")};
    const std::optional<int> count = CountCertificates(*extra);
    if (!count || *count == 0)
        return {{},
                Failure(extraFile, "It holds no PEM certificate, or one that does not decode.")};
    // Without the system's file (not installed) the bundle holds the setting's authorities alone.
    std::string bundle = ReadBoundedFile(systemFile, error).value_or(std::string());
    if (!bundle.empty() && bundle.back() != '\n')
        bundle += '\n';
    bundle += *extra;
    if (!WriteWorkFile(bundlePath, bundle))
        return {{}, WorkFileFailureText(bundlePath, errno)};
    return {bundlePath, {}};
}
