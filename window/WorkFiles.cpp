#include "window/WorkFiles.h"

std::string WorkFileExtension(std::string_view type) {
    constexpr std::size_t kMaxLength = 16;
    std::string extension;
    for (const char c : type) {
        const bool letterOrDigit =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!letterOrDigit || extension.size() == kMaxLength)
            break;
        extension.push_back(c);
    }
    return extension.empty() ? std::string("bin") : extension;
}

WorkFiles MakeWorkFiles(const std::string& folder, int index, std::uint64_t size,
                        std::string_view type) {
    const std::string stem =
        folder + "/Sniffer_" + std::to_string(index) + "_" + std::to_string(size) + ".";
    return WorkFiles{stem + "txt", stem + "bat", stem + WorkFileExtension(type)};
}
