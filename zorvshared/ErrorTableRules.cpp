#include "ErrorTableRules.h"

#include "XmlNestingScan.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace zorv_detail {

namespace {

// Closes a stdio stream on every way out.
class StreamCloser {
public:
    explicit StreamCloser(FILE* stream) : mStream(stream) {}
    ~StreamCloser() {
        if (mStream != nullptr) {
            std::fclose(mStream);
        }
    }
    StreamCloser(const StreamCloser&) = delete;
    StreamCloser& operator=(const StreamCloser&) = delete;

private:
    FILE* mStream;
};

void say(std::string* error, const char* text) {
    if (error != nullptr) {
        *error = text;
    }
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool readInt(const char* text, int& value) {
    const char* p = text;
    while (isSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = (*p == '-');
        ++p;
    }
    if (*p < '0' || *p > '9') {
        return false;
    }
    // Accumulate towards the negative side, which holds INT_MIN as well.
    long long magnitude = 0;
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    while (*p >= '0' && *p <= '9') {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > limit) {
            return false;
        }
        ++p;
    }
    while (isSpace(*p)) {
        ++p;
    }
    if (*p != '\0') {
        return false;
    }
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

} // namespace

bool readTableBytes(const char* path, std::string& bytes, std::string* error) {
    bytes.clear();
    FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        say(error, std::strerror(errno));
        return false;
    }
    StreamCloser closer(in);
    struct stat st;
    if (::fstat(::fileno(in), &st) != 0 || !S_ISREG(st.st_mode)) {
        say(error, "not a regular file");
        return false;
    }
    // A file that grew since fstat is taken at the size measured; one that
    // shrank gives what is there. Either way the parser sees no more than this.
    bytes.resize(
        std::min<std::size_t>(static_cast<std::size_t>(st.st_size), kMaxTableFileBytes + 1));
    const std::size_t got = bytes.empty() ? 0 : std::fread(&bytes[0], 1, bytes.size(), in);
    bytes.resize(got);
    if (std::ferror(in) != 0) {
        say(error, "read error");
        return false;
    }
    return true;
}

TableRefusal refusalOf(const std::string& bytes) {
    if (bytes.empty()) {
        return TableRefusal::Empty;
    }
    if (bytes.size() > kMaxTableFileBytes) {
        return TableRefusal::TooLarge;
    }
    switch (scanForParser(bytes.data(), bytes.size(), kErrorTableLimits).refusal) {
    case XmlRefusal::None:
        return TableRefusal::None;
    case XmlRefusal::TooDeep:
        return TableRefusal::TooDeep;
    case XmlRefusal::TooManyAttributes:
        return TableRefusal::TooManyAttributes;
    case XmlRefusal::ReadsPastEnd:
        return TableRefusal::ReadsPastEnd;
    }
    return TableRefusal::None;
}

bool parseTable(std::string& bytes, TiXmlDocument& document) {
    FILE* stream = ::fmemopen(&bytes[0], bytes.size(), "rb");
    if (stream == nullptr) {
        return false;
    }
    StreamCloser closer(stream);
    return document.LoadFile(stream, TIXML_ENCODING_UNKNOWN);
}

Key readKey(const TiXmlElement* element, const char* attribute, int& value) {
    // The attributes looked through as TinyXML's Attribute(name) does, with
    // a plain comparison of the names.
    for (const TiXmlAttribute* a = element->FirstAttribute(); a != nullptr; a = a->Next()) {
        if (std::strcmp(a->Name(), attribute) == 0) {
            return readInt(a->Value(), value) ? Key::Read : Key::NotAnInteger;
        }
    }
    return Key::Missing;
}

TiXmlElement* firstChildElement(TiXmlNode* parent, const char* name) {
    if (parent == nullptr) {
        return nullptr;
    }
    for (TiXmlNode* node = parent->FirstChild(); node != nullptr; node = node->NextSibling()) {
        TiXmlElement* element = node->ToElement();
        if (element != nullptr && std::strcmp(element->Value(), name) == 0) {
            return element;
        }
    }
    return nullptr;
}

TiXmlElement* nextElement(TiXmlNode* node) {
    for (; node != nullptr; node = node->NextSibling()) {
        if (TiXmlElement* element = node->ToElement()) {
            return element;
        }
    }
    return nullptr;
}

TiXmlElement* firstTable(TiXmlDocument& document) {
    return firstChildElement(firstChildElement(&document, kErrorTablesElement), kTableElement);
}

TiXmlElement* vendorTable(TiXmlNode* table, int vendorId) {
    for (TiXmlElement* element = nextElement(table); element != nullptr;
         element = nextElement(element->NextSibling())) {
        int id = 0;
        const Key key = readKey(element, kVendorIdAttribute, id);
        if (key == Key::Missing) {
            return nullptr;
        }
        if (key == Key::Read && id == vendorId) {
            return element;
        }
    }
    return nullptr;
}

TiXmlElement* vendorNameElement(TiXmlDocument& document, int vendorId) {
    for (TiXmlElement* table = vendorTable(firstTable(document), vendorId); table != nullptr;
         table = vendorTable(table->NextSibling(), vendorId)) {
        // A matching table without a name leaves the name to a later one.
        if (TiXmlElement* name = firstChildElement(table, kNameElement)) {
            return name;
        }
    }
    return nullptr;
}

} // namespace zorv_detail
