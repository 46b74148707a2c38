// A small, bounded reader of the XML that DASH manifests are written in: elements, their
// attributes and text, and nothing else. It expands no entity but the five predefined ones and
// character references, reads no DTD and fetches nothing, so hostile input can neither grow
// nor reach out; every count and depth is bounded.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct XmlElement {
    std::string name;  // local name, the namespace prefix removed
    std::vector<std::pair<std::string, std::string>> attributes;  // local names, decoded values
    std::string text;           // character data directly inside, decoded (bounded)
    int parent = -1;            // index of the parent element; -1 for the root
    std::vector<int> children;  // indices, in document order

    // The value of attribute `name`, or null.
    const std::string* Attribute(std::string_view attributeName) const;
};

struct XmlLimits {
    std::size_t maxElements = 50000;
    std::size_t maxDepth = 64;
    std::size_t maxAttributes = 64;  // per element; further ones are ignored
    std::size_t maxTotalAttributes = 200000;
    std::size_t maxValueBytes = 16384;  // per attribute value and per element's text
};

// The elements of `text`, the root first (index 0). Nothing when there is no root element or
// the markup is broken before the root ends; past maxElements, maxTotalAttributes or maxDepth
// the rest is left out and `truncated` is set. End tags that match no open element are ignored;
// elements left open at the end are closed.
std::optional<std::vector<XmlElement>> ScanXml(std::string_view text, const XmlLimits& limits,
                                               bool* truncated = nullptr);
