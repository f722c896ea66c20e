// The depth scan against the parser it guards: for any bytes, the depth the
// scan gives must be the depth of the element tree TinyXML builds from them,
// handed over as the table loader hands them (a stream, the encoding left to
// detect). A scan that counts less lets a deeper document through to the
// recursive parser; one that counts more refuses a table that loads.
//
// Run with -max_len of at most 8192: each level costs at least three bytes
// ("<a>"), so no input can nest deep enough to exhaust the parser's stack.
#include "XmlNestingScan.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

constexpr std::size_t kMaxInput = 8192;
// Beyond what kMaxInput bytes can reach: the only refusal left is that of a
// document that would make the parser read past its end.
constexpr zorv_detail::XmlLimits kNoLimits{kMaxInput, std::numeric_limits<std::size_t>::max()};

// Elements on the deepest path of the tree, walked without recursion. A
// failed parse keeps the nodes it made, so this is the depth the parser's
// recursion reached, whether it succeeded or not.
std::size_t treeDepth(const TiXmlDocument& document) {
    std::size_t deepest = 0;
    std::size_t depth = 1;
    const TiXmlNode* node = document.FirstChild();
    while (node != nullptr) {
        if (node->ToElement() != nullptr) {
            deepest = std::max(deepest, depth);
        }
        if (node->FirstChild() != nullptr) {
            node = node->FirstChild();
            ++depth;
            continue;
        }
        while (node != &document && node->NextSibling() == nullptr) {
            node = node->Parent();
            --depth;
        }
        node = node == &document ? nullptr : node->NextSibling();
    }
    return deepest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput) {
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(data);
    const zorv_detail::XmlScan scan = zorv_detail::scanForParser(text, size, kNoLimits);
    if (scan.refusal != zorv_detail::XmlRefusal::None || size == 0) {
        return 0; // refused, or nothing for the parser to read
    }

    std::vector<char> bytes(text, text + size);
    FILE* stream = ::fmemopen(bytes.data(), bytes.size(), "rb");
    if (stream == nullptr) {
        std::abort();
    }
    TiXmlDocument document;
    document.LoadFile(stream, TIXML_ENCODING_UNKNOWN);
    std::fclose(stream);

    const std::size_t parsed = treeDepth(document);
    if (scan.depth != parsed) {
        std::fprintf(stderr, "the scan counts %zu levels, the parser built %zu\n", scan.depth,
                     parsed);
        std::abort();
    }
    return 0;
}
