// The certificate authorities the converter and the player check servers against. They take
// one file (-ca_file), and a file given replaces the system's authorities instead of adding to
// them: the setting TlsCaFile is joined to the system's in a private bundle.
#pragma once

#include <cstddef>
#include <string>

// Debian's bundle of the system's authorities (package ca-certificates).
inline constexpr const char* kSystemAuthorityFile = "/etc/ssl/certs/ca-certificates.crt";

// Largest authority file that is read.
inline constexpr std::size_t kMaxAuthorityFileBytes = 16u << 20;

struct AuthorityFile {
    std::string path;     // the file to name in -ca_file; empty when there is none
    std::string failure;  // why there is none
};

// The system's file alone when `extraFile` is empty. Otherwise `bundlePath`, written afresh
// (mode 0600) with the system's authorities and those of `extraFile`, which must be a readable
// regular file of PEM certificates (at least one, each of them whole); when it is not, `failure`
// names it and says why.
AuthorityFile ConverterAuthorityFile(const std::string& extraFile, const std::string& bundlePath,
                                     const std::string& systemFile = kSystemAuthorityFile);
