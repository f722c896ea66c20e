#include "XmlNestingScan.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

// The scan walks the bytes with TinyXML's own reading, step for step: the
// same pointer moves, in the same order, on the same buffer. Wherever a
// shortcut of its own would read a construct differently (a quoted '>' in a
// declaration, a UTF-8 lead byte that swallows the '<' or the quote after it,
// an entity that runs to the next ';'), the parser would see elements that
// the scan does not, and a few thousand of those overflow the stack. Each
// function below mirrors the parser function named in its comment. The
// parser's recursion, one call per open element, becomes the stack of open
// element names.
namespace zorv_detail {

namespace {

enum class Encoding {
    Unknown, // no byte-order mark and no declaration seen yet
    Utf8,    // multi-byte characters are stepped over whole
    Legacy,  // a declaration named another encoding: byte by byte
};

enum class Node { Declaration, Comment, CData, Unknown, Element };

// The parser's table of UTF-8 sequence lengths by lead byte.
int utf8Length(unsigned char lead) {
    if (lead >= 0xc2 && lead <= 0xdf) {
        return 2;
    }
    if (lead >= 0xe0 && lead <= 0xef) {
        return 3;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        return 4;
    }
    return 1;
}

// The parser's character classes: isspace (and CR, LF), its letters and
// digits, for which every byte from 127 up counts, and tolower. Taken from
// the C library in the current locale, as the parser's are; the parse
// follows on the same thread, so both read the same. Looked up once per
// scan: the calls would cost more than the rest of the scan.
class CharClasses {
public:
    CharClasses() {
        for (int c = 0; c < 256; ++c) {
            mClasses[c] = static_cast<unsigned char>(
                (std::isspace(c) || c == '\n' || c == '\r' ? kSpace : 0) |
                (c >= 127 || std::isalpha(c) ? kLetter : 0) |
                (c >= 127 || std::isalnum(c) ? kLetterOrDigit : 0));
        }
        // The parser hands tolower a plain char, negative for bytes from 0x80
        // on where char is signed; glibc's tolower takes -128 to 255.
        for (int c = -128; c < 256; ++c) {
            mLower[c + 128] = std::tolower(c);
        }
    }
    bool isWhiteSpace(char c) const { return (of(c) & kSpace) != 0; }
    bool startsName(char c) const { return (of(c) & kLetter) != 0 || c == '_'; }
    bool continuesName(char c) const {
        return (of(c) & kLetterOrDigit) != 0 || c == '_' || c == '-' || c == '.' || c == ':';
    }
    // ToLower: UTF-8 leaves bytes from 128 up alone (only where char is
    // unsigned can a char be that large).
    int toLower(char c, Encoding encoding) const {
        const int v = c;
        return encoding == Encoding::Utf8 && v >= 128 ? v : mLower[v + 128];
    }

private:
    enum : unsigned char { kSpace = 1, kLetter = 2, kLetterOrDigit = 4 };
    unsigned char of(char c) const { return mClasses[static_cast<unsigned char>(c)]; }
    unsigned char mClasses[256];
    int mLower[384];
};

struct NamedEntity {
    const char* text;
    std::size_t length;
    char value;
};
const NamedEntity kEntities[] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''},
};

class Scan {
public:
    // text: the buffer as the parser holds it, ending at end, a zero byte,
    // with at least three more zero bytes after it.
    Scan(const char* text, const char* end, const XmlLimits& limits)
        : mText(text), mEnd(end), mLimits(limits) {}

    XmlScan run();

private:
    bool startsWith(const char* text, const char* tag, bool ignoreCase, Encoding encoding) const;
    const char* skipWhiteSpace(const char* p) const;
    Node identify(const char* p) const;
    const char* character(const char* p, std::string* value);
    const char* entity(const char* p, std::string* value) const;
    const char* readText(const char* p, const char* endTag, bool condense, std::string* value);
    const char* readName(const char* p) const;
    const char* attribute(const char* p, std::string_view* name, std::string* value);
    const char* declaration(const char* p, bool atTopLevel);
    const char* startTag(const char* p, std::string_view& name, bool& opened);

    const char* mText;
    const char* mEnd;
    const XmlLimits mLimits;
    const CharClasses mClasses;
    Encoding mEncoding = Encoding::Unknown;
    XmlRefusal mRefusal = XmlRefusal::None;
    std::unordered_set<std::string_view> mAttributeNames; // of the start tag being read
};

// StringEqual: whether text starts with tag.
bool Scan::startsWith(const char* text, const char* tag, bool ignoreCase, Encoding encoding) const {
    while (*text != '\0' && *tag != '\0' &&
           (ignoreCase ? mClasses.toLower(*text, encoding) == mClasses.toLower(*tag, encoding)
                       : *text == *tag)) {
        ++text;
        ++tag;
    }
    return *tag == '\0';
}

// SkipWhiteSpace. In UTF-8 it also passes over the byte-order mark and the
// two non-characters EF BF BE and EF BF BF. Null at the end of the text.
const char* Scan::skipWhiteSpace(const char* p) const {
    if (p == nullptr || *p == '\0') {
        return nullptr;
    }
    while (*p != '\0') {
        const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
        if (mEncoding == Encoding::Utf8 && u[0] == 0xef &&
            ((u[1] == 0xbb && u[2] == 0xbf) || (u[1] == 0xbf && (u[2] == 0xbe || u[2] == 0xbf)))) {
            p += 3;
        } else if (mClasses.isWhiteSpace(*p)) {
            ++p;
        } else {
            break;
        }
    }
    return p;
}

// Identify, at a '<'.
Node Scan::identify(const char* p) const {
    if (startsWith(p, "<?xml", true, mEncoding)) {
        return Node::Declaration;
    }
    if (startsWith(p, "<!--", false, mEncoding)) {
        return Node::Comment;
    }
    if (startsWith(p, "<![CDATA[", false, mEncoding)) {
        return Node::CData;
    }
    if (startsWith(p, "<!", false, mEncoding)) {
        return Node::Unknown;
    }
    return mClasses.startsName(p[1]) ? Node::Element : Node::Unknown;
}

// GetChar: one character of text or of an attribute value, its value added
// to value when given. A UTF-8 sequence is taken whole, by its lead byte
// alone: whatever follows (a '<', a quote, even the final zero) is part of
// it. Past the buffer's last byte the parser would read memory that is not
// the document's; the scan refuses that and ends.
const char* Scan::character(const char* p, std::string* value) {
    const int length = mEncoding == Encoding::Utf8 ? utf8Length(static_cast<unsigned char>(*p)) : 1;
    if (length > 1) {
        if (p + length > mEnd) {
            mRefusal = XmlRefusal::ReadsPastEnd;
            return nullptr;
        }
        return p + length;
    }
    if (*p == '&') {
        return entity(p, value);
    }
    if (value != nullptr) {
        *value += *p;
    }
    return p + 1;
}

// GetEntity. A numeric reference runs to the next ';' and is checked only
// back to the last 'x' (or '#') before it, so "&#x<a>x;" is one character.
// A bad digit in that stretch fails the parse (null). An unknown '&' is
// dropped from the value. Values are added as the parser adds them outside
// UTF-8, the only encoding in which the scan asks for them.
const char* Scan::entity(const char* p, std::string* value) const {
    if (p[1] == '#' && p[2] != '\0') {
        const bool hex = p[2] == 'x';
        if (hex && p[3] == '\0') {
            return nullptr;
        }
        const char* semicolon = std::strchr(p + (hex ? 3 : 2), ';');
        if (semicolon == nullptr) {
            return nullptr;
        }
        unsigned long ucs = 0;
        unsigned mult = 1;
        for (const char* q = semicolon - 1; *q != (hex ? 'x' : '#'); --q) {
            unsigned digit;
            if (*q >= '0' && *q <= '9') {
                digit = static_cast<unsigned>(*q - '0');
            } else if (hex && *q >= 'a' && *q <= 'f') {
                digit = static_cast<unsigned>(*q - 'a' + 10);
            } else if (hex && *q >= 'A' && *q <= 'F') {
                digit = static_cast<unsigned>(*q - 'A' + 10);
            } else {
                return nullptr;
            }
            ucs += mult * digit;
            mult *= hex ? 16 : 10;
        }
        if (value != nullptr) {
            *value += static_cast<char>(ucs);
        }
        return semicolon + 1;
    }
    for (const NamedEntity& e : kEntities) {
        if (std::strncmp(e.text, p, e.length) == 0) {
            if (value != nullptr) {
                *value += e.value;
            }
            return p + e.length;
        }
    }
    return p + 1;
}

// ReadText: up to and past endTag; null when the text ends first or nothing
// follows endTag. Text between elements is read condensed (white space
// skipped byte by byte), attribute values as they are.
const char* Scan::readText(const char* p, const char* endTag, bool condense, std::string* value) {
    if (value != nullptr) {
        value->clear();
    }
    if (condense) {
        p = skipWhiteSpace(p);
    }
    while (p != nullptr && *p != '\0' &&
           (*p != *endTag || !startsWith(p, endTag, false, mEncoding))) {
        p = condense && mClasses.isWhiteSpace(*p) ? p + 1 : character(p, value);
    }
    if (p != nullptr && *p != '\0') {
        p += std::strlen(endTag);
    }
    return p != nullptr && *p != '\0' ? p : nullptr;
}

// ReadName: past the name, or null when there is none.
const char* Scan::readName(const char* p) const {
    if (!mClasses.startsName(*p)) {
        return nullptr;
    }
    while (mClasses.continuesName(*p)) {
        ++p;
    }
    return p;
}

// TiXmlAttribute::Parse: name = value, the value quoted or running to white
// space, '/' or '>'. Null on failure.
const char* Scan::attribute(const char* p, std::string_view* name, std::string* value) {
    if (value != nullptr) {
        value->clear();
    }
    p = skipWhiteSpace(p);
    if (p == nullptr || *p == '\0') {
        return nullptr;
    }
    const char* start = p;
    p = readName(p);
    if (p == nullptr || *p == '\0') {
        return nullptr;
    }
    if (name != nullptr) {
        *name = std::string_view(start, static_cast<std::size_t>(p - start));
    }
    p = skipWhiteSpace(p);
    if (p == nullptr || *p != '=') {
        return nullptr;
    }
    p = skipWhiteSpace(p + 1);
    if (p == nullptr || *p == '\0') {
        return nullptr;
    }
    if (*p == '\'' || *p == '"') {
        const char quote[] = {*p, '\0'};
        return readText(p + 1, quote, false, value);
    }
    for (; *p != '\0' && !mClasses.isWhiteSpace(*p) && *p != '/' && *p != '>'; ++p) {
        if (*p == '\'' || *p == '"') {
            return nullptr;
        }
        if (value != nullptr) {
            *value += *p;
        }
    }
    return p;
}

// TiXmlDeclaration::Parse, at "<?xml". It ends at the first '>' outside the
// values of version, encoding and standalone, not at "?>". The first one at
// the top level while the encoding is unknown sets it, from the value of its
// last encoding attribute (entities decoded): none, or one that starts with
// "UTF-8" or "UTF8" in any case, is UTF-8; anything else is not.
const char* Scan::declaration(const char* p, bool atTopLevel) {
    const bool setsEncoding = atTopLevel && mEncoding == Encoding::Unknown;
    std::string encoding;
    std::string value;
    p += 5;
    while (p != nullptr && *p != '\0' && *p != '>') {
        p = skipWhiteSpace(p);
        if (p == nullptr) {
            break;
        }
        if (startsWith(p, "version", true, mEncoding) ||
            startsWith(p, "standalone", true, mEncoding)) {
            p = attribute(p, nullptr, nullptr);
        } else if (startsWith(p, "encoding", true, mEncoding)) {
            p = attribute(p, nullptr, setsEncoding ? &value : nullptr);
            encoding = value;
        } else {
            while (*p != '\0' && *p != '>' && !mClasses.isWhiteSpace(*p)) {
                ++p;
            }
        }
    }
    if (setsEncoding) {
        const char* named = encoding.c_str();
        mEncoding = *named == '\0' || startsWith(named, "UTF-8", true, Encoding::Unknown) ||
                            startsWith(named, "UTF8", true, Encoding::Unknown)
                        ? Encoding::Utf8
                        : Encoding::Legacy;
    }
    return p != nullptr && *p == '>' ? p + 1 : nullptr;
}

// TiXmlElement::Parse up to its content: the name, the attributes (a name
// twice fails the parse), then "/>" or '>'. Null on failure, and past the
// limit of attributes, which the scan refuses.
const char* Scan::startTag(const char* p, std::string_view& name, bool& opened) {
    p = skipWhiteSpace(p + 1);
    const char* start = p;
    p = p != nullptr ? readName(p) : nullptr;
    if (p == nullptr || *p == '\0') {
        return nullptr;
    }
    name = std::string_view(start, static_cast<std::size_t>(p - start));
    mAttributeNames.clear();
    for (;;) {
        p = skipWhiteSpace(p);
        if (p == nullptr || *p == '\0') {
            return nullptr;
        }
        if (*p == '/') {
            opened = false;
            return p[1] == '>' ? p + 2 : nullptr;
        }
        if (*p == '>') {
            opened = true;
            return p + 1;
        }
        std::string_view attributeName;
        p = attribute(p, &attributeName, nullptr);
        if (p == nullptr || *p == '\0' || !mAttributeNames.insert(attributeName).second) {
            return nullptr;
        }
        if (mAttributeNames.size() > mLimits.attributes) {
            mRefusal = XmlRefusal::TooManyAttributes;
            return nullptr;
        }
    }
}

// TiXmlDocument::Parse with TiXmlElement::ReadValue folded in: one loop over
// the nodes, at the top level while no element is open, else in the content
// of the innermost one. The parse ends, and so does the scan, where the
// parser fails or finds no more nodes.
XmlScan Scan::run() {
    XmlScan result;
    if (*mText == '\0') {
        return result;
    }
    const unsigned char* u = reinterpret_cast<const unsigned char*>(mText);
    if (u[0] == 0xef && u[1] == 0xbb && u[2] == 0xbf) {
        mEncoding = Encoding::Utf8;
    }
    std::vector<std::string_view> open;
    const char* p = skipWhiteSpace(mText);
    while (p != nullptr && *p != '\0') {
        if (*p != '<') {
            if (open.empty()) {
                break; // text at the top level: the document ends before it
            }
            // A text node ends before the '<' that follows it.
            p = readText(p, "<", true, nullptr);
            p = p != nullptr ? p - 1 : nullptr;
        } else if (!open.empty() && p[1] == '/') {
            // The end tag must name the element, then '>' after white space.
            const std::string_view& name = open.back();
            p = std::strncmp(p + 2, name.data(), name.size()) == 0
                    ? skipWhiteSpace(p + 2 + name.size())
                    : nullptr;
            p = p != nullptr && *p == '>' ? p + 1 : nullptr;
            open.pop_back();
        } else {
            switch (identify(p)) {
            case Node::Declaration:
                p = declaration(p, open.empty());
                break;
            case Node::Comment:
                for (p += 4; *p != '\0' && !startsWith(p, "-->", false, mEncoding); ++p) {
                }
                p = *p != '\0' ? p + 3 : p;
                break;
            case Node::CData:
                for (p += 9; *p != '\0' && !startsWith(p, "]]>", false, mEncoding); ++p) {
                }
                p = readText(p, "]]>", false, nullptr);
                break;
            case Node::Unknown:
                // Any other "<!" or '<' construct ends at its first '>'.
                for (++p; *p != '\0' && *p != '>'; ++p) {
                }
                p = *p == '>' ? p + 1 : p;
                break;
            case Node::Element: {
                // The parser has entered one more level, whatever follows.
                result.depth = std::max(result.depth, open.size() + 1);
                if (result.depth > mLimits.depth) {
                    result.refusal = XmlRefusal::TooDeep;
                    return result;
                }
                std::string_view name;
                bool opened = false;
                p = startTag(p, name, opened);
                if (p != nullptr && opened) {
                    open.push_back(name);
                }
                break;
            }
            }
        }
        p = skipWhiteSpace(p);
    }
    result.refusal = mRefusal;
    return result;
}

} // namespace

XmlScan scanForParser(const char* data, std::size_t size, const XmlLimits& limits) {
    // The buffer TiXmlDocument::LoadFile parses: the bytes read whole and one
    // zero after them; up to the first zero byte CR LF and a lone CR become
    // LF, and a zero ends the rewritten text. Bytes between that zero and the
    // final one keep their place: a UTF-8 lead byte before a zero byte lets
    // the parser read on into them. Three more zeros let the scan see where
    // the parser would step beyond the buffer without going there itself.
    std::vector<char> text(data, data + size);
    text.resize(size + 4, '\0');
    const std::size_t zero = ::strnlen(data, size);
    const void* firstCr = std::memchr(data, '\r', zero);
    std::size_t in = firstCr != nullptr
                         ? static_cast<std::size_t>(static_cast<const char*>(firstCr) - data)
                         : zero;
    std::size_t out = in;
    while (in < zero) {
        if (text[in] == '\r') {
            text[out++] = '\n';
            in += text[in + 1] == '\n' ? 2 : 1;
        } else {
            text[out++] = text[in++];
        }
    }
    text[out] = '\0';
    return Scan(text.data(), text.data() + size, limits).run();
}

} // namespace zorv_detail
