#include "zorv/ZorvErrorTable.h"

#include "XmlNestingScan.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace {

// Beyond this a file is refused before TinyXML sees it, as is one beyond
// zorv_detail::kErrorTableLimits: a table of vendors and codes has no business
// being larger.
constexpr long long kMaxFileBytes = 64LL * 1024 * 1024;

const char kErrorTables[] = "ERRORTABLES";
const char kTable[] = "TABLE";
const char kVendorId[] = "VENDORID";
const char kName[] = "NAME";
const char kError[] = "ERROR";
const char kCode[] = "CODE";
const char kDescription[] = "DESCRIPTION";

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

// Reads a regular file of at most kMaxFileBytes whole. Anything else (a
// directory, a device or pipe that might never end, an oversized file) is
// refused without reading it.
bool readTableFile(const char* path, std::string& bytes) {
    FILE* in = std::fopen(path, "rb");
    if (in == nullptr) {
        return false;
    }
    StreamCloser closer(in);
    struct stat st;
    if (::fstat(fileno(in), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileBytes) {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = bytes.empty() ? 0 : std::fread(&bytes[0], 1, bytes.size(), in);
    // A file that grew since fstat is taken at the size measured; one that
    // shrank gives what is there. Either way the parser sees no more than this.
    bytes.resize(got);
    return !std::ferror(in);
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// The whole attribute value as a decimal int, white space around it aside.
// TinyXML's own reading takes "12abc" for 12, "0x10" for 0 and wraps numbers
// beyond int, each of which would match an entry it should not.
bool readInt(const char* text, int& value) {
    if (text == nullptr) {
        return false;
    }
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

// The outcome of reading an entry's key attribute.
enum class Key { Missing, NotAnInteger, Read };

Key readKey(const TiXmlElement* element, const char* attribute, int& value) {
    const char* text = element->Attribute(attribute);
    if (text == nullptr) {
        return Key::Missing;
    }
    return readInt(text, value) ? Key::Read : Key::NotAnInteger;
}

// The first child element of that name. TinyXML's FirstChild(name) compares
// the value of any node, so a comment or a text reading "TABLE" would do.
TiXmlElement* firstChildElement(TiXmlNode* parent, const char* name) {
    if (parent == nullptr) {
        return nullptr;
    }
    for (TiXmlNode* node = parent->FirstChild(); node != nullptr; node = node->NextSibling()) {
        TiXmlElement* element = node->ToElement();
        if (element != nullptr && element->ValueStr() == name) {
            return element;
        }
    }
    return nullptr;
}

// The element itself or the next element among its following siblings;
// comments, text and processing instructions between entries are passed over.
TiXmlElement* nextElement(TiXmlNode* node) {
    for (; node != nullptr; node = node->NextSibling()) {
        if (TiXmlElement* element = node->ToElement()) {
            return element;
        }
    }
    return nullptr;
}

TStr textOf(const TiXmlElement* element) {
    return TStr(element != nullptr ? element->GetText() : nullptr);
}

// The first "TABLE" under "ERRORTABLES", or null.
TiXmlElement* firstTable(TiXmlDocument& document) {
    return firstChildElement(firstChildElement(&document, kErrorTables), kTable);
}

// The first table at or after `table` (among its siblings) whose "VENDORID"
// is vendorId; null when the tables run out or one without "VENDORID" ends
// the search. A "VENDORID" that is not an integer matches nothing.
TiXmlElement* vendorTable(TiXmlNode* table, int vendorId) {
    for (TiXmlElement* element = nextElement(table); element != nullptr;
         element = nextElement(element->NextSibling())) {
        int id = 0;
        const Key key = readKey(element, kVendorId, id);
        if (key == Key::Missing) {
            return nullptr;
        }
        if (key == Key::Read && id == vendorId) {
            return element;
        }
    }
    return nullptr;
}

} // namespace

ZorvErrorTable::ZorvErrorTable(const TStr& pathName) : mPathName(pathName), mLoaded(false) {}

ZorvErrorTable::~ZorvErrorTable() = default;

void ZorvErrorTable::SetPathName(const TStr& pathName) {
    mPathName = pathName;
}

bool ZorvErrorTable::Load() {
    mLoaded = false;
    if (mPathName.isEmpty()) {
        return false;
    }
    const char* path = mPathName.toUtf8();
    if (path == nullptr) {
        return false;
    }
    // Whatever happens now, the old document is no longer what the table holds.
    mDocument.Clear();
    std::string bytes;
    if (!readTableFile(path, bytes) || bytes.empty()) {
        return false;
    }
    if (zorv_detail::scanForParser(bytes.data(), bytes.size(), zorv_detail::kErrorTableLimits)
            .refusal != zorv_detail::XmlRefusal::None) {
        return false;
    }
    // The parser reads the very bytes that were measured, through a stream of
    // its own: the file cannot change in between.
    FILE* stream = ::fmemopen(&bytes[0], bytes.size(), "rb");
    if (stream == nullptr) {
        return false;
    }
    StreamCloser closer(stream);
    mLoaded = mDocument.LoadFile(stream, TIXML_ENCODING_UNKNOWN);
    if (!mLoaded) {
        mDocument.Clear();
    }
    return mLoaded;
}

TStr ZorvErrorTable::GetVendorName(int vendorId) {
    if (!mLoaded) {
        return TStr();
    }
    for (TiXmlElement* table = vendorTable(firstTable(mDocument), vendorId); table != nullptr;
         table = vendorTable(table->NextSibling(), vendorId)) {
        // A matching table without a name leaves the name to a later one.
        if (TiXmlElement* name = firstChildElement(table, kName)) {
            return textOf(name);
        }
    }
    return TStr();
}

TStr ZorvErrorTable::GetErrorDescription(int vendorId, int code) {
    if (!mLoaded) {
        return TStr();
    }
    // Only the first table of the vendor is searched.
    TiXmlElement* table = vendorTable(firstTable(mDocument), vendorId);
    return table != nullptr ? GetVendorErrorDescription(table, code) : TStr();
}

TStr ZorvErrorTable::GetVendorErrorDescription(TiXmlNode* table, int code) {
    TiXmlElement* first = firstChildElement(table, kError);
    for (TiXmlElement* error = nextElement(first); error != nullptr;
         error = nextElement(error->NextSibling())) {
        int value = 0;
        const Key key = readKey(error, kCode, value);
        if (key == Key::Missing) {
            return TStr();
        }
        if (key == Key::Read && value == code) {
            // The first entry of the code decides, with or without a description.
            return textOf(firstChildElement(error, kDescription));
        }
    }
    return TStr();
}
