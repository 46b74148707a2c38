#include "mediarules/XmlScanner.h"

#include <cstdint>

namespace {

bool NameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

bool Space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string LocalName(std::string_view name) {
    const std::size_t colon = name.rfind(':');
    return std::string(colon == std::string_view::npos ? name : name.substr(colon + 1));
}

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        code = 0xFFFD;
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// Appends `raw` to `out` with the predefined entities and character references decoded; any
// other reference stays as written. Stops at `maxBytes` of output.
void AppendDecoded(std::string& out, std::string_view raw, std::size_t maxBytes) {
    struct Entity {
        std::string_view name;
        char value;
    };
    static constexpr Entity kEntities[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (std::size_t i = 0; i < raw.size() && out.size() < maxBytes;) {
        if (raw[i] != '&') {
            out.push_back(raw[i++]);
            continue;
        }
        const std::size_t semicolon = raw.find(';', i);
        if (semicolon == std::string_view::npos || semicolon - i > 12) {
            out.push_back(raw[i++]);
            continue;
        }
        const std::string_view name = raw.substr(i + 1, semicolon - i - 1);
        bool done = false;
        if (name.size() >= 2 && name[0] == '#') {
            const bool hex = name[1] == 'x';
            std::uint32_t code = 0;
            bool valid = name.size() > (hex ? 2u : 1u);
            for (std::size_t k = hex ? 2 : 1; k < name.size() && valid; ++k) {
                const char c = name[k];
                int digit = -1;
                if (c >= '0' && c <= '9')
                    digit = c - '0';
                else if (hex && c >= 'a' && c <= 'f')
                    digit = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F')
                    digit = c - 'A' + 10;
                valid = digit >= 0 && code <= 0x10FFFF;
                code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit < 0 ? 0 : digit);
            }
            if (valid) {
                AppendUtf8(out, code);
                done = true;
            }
        } else {
            for (const Entity& entity : kEntities) {
                if (name == entity.name) {
                    out.push_back(entity.value);
                    done = true;
                }
            }
        }
        if (done) {
            i = semicolon + 1;
        } else {
            out.push_back(raw[i++]);
        }
    }
    if (out.size() > maxBytes)
        out.resize(maxBytes);
}

class Scanner {
public:
    Scanner(std::string_view text, const XmlLimits& limits) : m_text(text), m_limits(limits) {}

    std::optional<std::vector<XmlElement>> Run(bool* truncated) {
        bool rootClosed = false;
        while (m_at < m_text.size() && !rootClosed) {
            const std::size_t lt = m_text.find('<', m_at);
            if (lt == std::string_view::npos)
                break;
            if (!m_open.empty())
                AddText(m_text.substr(m_at, lt - m_at));
            m_at = lt;
            const std::string_view rest = m_text.substr(m_at);
            bool ok = true;
            if (rest.substr(0, 4) == "<!--") {
                ok = SkipPast("-->");
            } else if (rest.substr(0, 9) == "<![CDATA[") {
                const std::size_t end = m_text.find("]]>", m_at + 9);
                if (end == std::string_view::npos)
                    break;
                if (!m_open.empty())
                    AddRawText(m_text.substr(m_at + 9, end - m_at - 9));
                m_at = end + 3;
            } else if (rest.substr(0, 2) == "<?") {
                ok = SkipPast("?>");
            } else if (rest.substr(0, 2) == "<!") {
                ok = SkipDeclaration();
            } else if (rest.substr(0, 2) == "</") {
                ok = EndTag(rootClosed);
            } else {
                ok = StartTag(rootClosed);
            }
            if (!ok)
                break;
            if (m_full) {
                if (truncated != nullptr)
                    *truncated = true;
                break;
            }
        }
        if (m_elements.empty())
            return std::nullopt;
        return std::move(m_elements);
    }

private:
    bool SkipPast(std::string_view end) {
        const std::size_t found = m_text.find(end, m_at);
        if (found == std::string_view::npos)
            return false;
        m_at = found + end.size();
        return true;
    }

    // <!DOCTYPE ...> and its internal subset, skipped unread (brackets and quotes counted).
    bool SkipDeclaration() {
        int brackets = 0;
        char quote = 0;
        for (std::size_t i = m_at + 2; i < m_text.size(); ++i) {
            const char c = m_text[i];
            if (quote != 0) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '[') {
                ++brackets;
            } else if (c == ']') {
                --brackets;
            } else if (c == '>' && brackets <= 0) {
                m_at = i + 1;
                return true;
            }
        }
        return false;
    }

    std::string_view Name(std::size_t& i) const {
        const std::size_t start = i;
        while (i < m_text.size() && NameChar(m_text[i]) && i - start < 256) ++i;
        return m_text.substr(start, i - start);
    }

    bool EndTag(bool& rootClosed) {
        std::size_t i = m_at + 2;
        const std::string name = LocalName(Name(i));
        const std::size_t close = m_text.find('>', i);
        if (close == std::string_view::npos)
            return false;
        m_at = close + 1;
        // Close up to the innermost open element of that name; an unmatched end tag is ignored.
        for (std::size_t depth = m_open.size(); depth > 0; --depth) {
            if (m_elements[static_cast<std::size_t>(m_open[depth - 1])].name == name) {
                m_open.resize(depth - 1);
                rootClosed = m_open.empty();
                break;
            }
        }
        return true;
    }

    bool StartTag(bool& rootClosed) {
        std::size_t i = m_at + 1;
        const std::string_view rawName = Name(i);
        if (rawName.empty()) {
            // A lone "<" in text.
            if (!m_open.empty())
                AddRawText("<");
            m_at += 1;
            return true;
        }
        XmlElement element;
        element.name = LocalName(rawName);
        bool selfClosing = false;
        for (;;) {
            while (i < m_text.size() && Space(m_text[i])) ++i;
            if (i >= m_text.size())
                return false;
            if (m_text[i] == '>') {
                ++i;
                break;
            }
            if (m_text.substr(i, 2) == "/>") {
                i += 2;
                selfClosing = true;
                break;
            }
            const std::string_view attributeName = Name(i);
            if (attributeName.empty())
                return false;
            while (i < m_text.size() && Space(m_text[i])) ++i;
            if (i >= m_text.size() || m_text[i] != '=')
                return false;
            ++i;
            while (i < m_text.size() && Space(m_text[i])) ++i;
            if (i >= m_text.size() || (m_text[i] != '"' && m_text[i] != '\''))
                return false;
            const char quote = m_text[i];
            const std::size_t close = m_text.find(quote, i + 1);
            if (close == std::string_view::npos)
                return false;
            if (element.attributes.size() < m_limits.maxAttributes) {
                if (++m_attributes > m_limits.maxTotalAttributes) {
                    m_full = true;
                    return true;
                }
                std::string value;
                AppendDecoded(value, m_text.substr(i + 1, close - i - 1), m_limits.maxValueBytes);
                element.attributes.emplace_back(LocalName(attributeName), std::move(value));
            }
            i = close + 1;
        }
        m_at = i;
        if (m_elements.size() >= m_limits.maxElements || m_open.size() >= m_limits.maxDepth) {
            m_full = true;
            return true;
        }
        if (m_open.empty() && !m_elements.empty()) {
            rootClosed = true;  // a second root: the document has ended
            return true;
        }
        element.parent = m_open.empty() ? -1 : m_open.back();
        const int index = static_cast<int>(m_elements.size());
        if (element.parent >= 0)
            m_elements[static_cast<std::size_t>(element.parent)].children.push_back(index);
        m_elements.push_back(std::move(element));
        if (!selfClosing)
            m_open.push_back(index);
        else
            rootClosed = m_open.empty();
        return true;
    }

    void AddText(std::string_view raw) {
        XmlElement& element = m_elements[static_cast<std::size_t>(m_open.back())];
        AppendDecoded(element.text, raw, m_limits.maxValueBytes);
    }

    void AddRawText(std::string_view raw) {
        XmlElement& element = m_elements[static_cast<std::size_t>(m_open.back())];
        const std::size_t room =
            m_limits.maxValueBytes - std::min(m_limits.maxValueBytes, element.text.size());
        element.text.append(raw.substr(0, room));
    }

    std::string_view m_text;
    const XmlLimits& m_limits;
    std::size_t m_at = 0;
    std::vector<XmlElement> m_elements;
    std::vector<int> m_open;
    std::size_t m_attributes = 0;
    bool m_full = false;
};

}  // namespace

const std::string* XmlElement::Attribute(std::string_view attributeName) const {
    for (const auto& [name, value] : attributes) {
        if (name == attributeName)
            return &value;
    }
    return nullptr;
}

std::optional<std::vector<XmlElement>> ScanXml(std::string_view text, const XmlLimits& limits,
                                               bool* truncated) {
    if (truncated != nullptr)
        *truncated = false;
    return Scanner(text, limits).Run(truncated);
}
