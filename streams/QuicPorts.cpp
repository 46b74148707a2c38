#include "streams/QuicPorts.h"

#include "base/Text.h"

namespace {

// The alternatives of an Alt-Svc value, split at commas outside quoted strings.
template <typename Each>
void ForEachAlternative(std::string_view value, Each&& each) {
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i <= value.size(); ++i) {
        if (i == value.size() || (value[i] == ',' && !quoted)) {
            each(value.substr(start, i - start));
            start = i + 1;
        } else if (value[i] == '"') {
            quoted = !quoted;
        } else if (value[i] == '\\' && quoted) {
            ++i;
        }
    }
}

}  // namespace

bool QuicPorts::TakeAltSvc(std::string_view value) {
    bool added = false;
    ForEachAlternative(value, [&](std::string_view alternative) {
        // protocol-id "=" quoted alt-authority, then parameters after ";".
        const std::size_t equals = alternative.find('=');
        if (equals == std::string_view::npos)
            return;
        const std::string_view protocol = Trim(alternative.substr(0, equals));
        // "h3", and the drafts' "h3-29" and the like.
        if (protocol.substr(0, 2) != "h3" || (protocol.size() > 2 && protocol[2] != '-'))
            return;
        std::string_view authority = Trim(alternative.substr(equals + 1));
        authority = authority.substr(0, authority.find(';'));
        authority = Trim(authority);
        if (authority.size() < 2 || authority.front() != '"' || authority.back() != '"')
            return;
        authority = authority.substr(1, authority.size() - 2);
        const std::size_t colon = authority.rfind(':');
        if (colon == std::string_view::npos)
            return;
        const std::string_view digits = authority.substr(colon + 1);
        const std::optional<std::uint64_t> parsed = ParseDecimal(digits);
        const std::uint64_t port = parsed.value_or(0);
        if (port < 1024 || port > 65535 ||
            Has(static_cast<std::uint16_t>(port)) || m_named.size() == kMaxNamed)
            return;
        m_named.push_back(static_cast<std::uint16_t>(port));
        added = true;
    });
    return added;
}

std::vector<std::uint16_t> QuicPorts::All() const {
    std::vector<std::uint16_t> all{kQuicPort};
    all.insert(all.end(), m_named.begin(), m_named.end());
    return all;
}
