#ifndef ZORV_SHARED_ERRORTABLERULES_H
#define ZORV_SHARED_ERRORTABLERULES_H

// How the error-code table is read: what is refused before the parser sees
// it, how it is parsed, and how a look-up walks the document. The library's
// ZorvErrorTable and zorvlog check-table both read tables through these, so
// the checker cannot come to judge a table otherwise than the look-ups use it.

#include <tinyxml.h>

#include <cstddef>
#include <string>

namespace zorv_detail {

constexpr const char* kErrorTablesElement = "ERRORTABLES";
constexpr const char* kTableElement = "TABLE";
constexpr const char* kVendorIdAttribute = "VENDORID";
constexpr const char* kNameElement = "NAME";
constexpr const char* kErrorElement = "ERROR";
constexpr const char* kCodeAttribute = "CODE";
constexpr const char* kDescriptionElement = "DESCRIPTION";

// A table of vendors and codes has no business being larger.
constexpr std::size_t kMaxTableFileBytes = 64u * 1024 * 1024;

// Reads a regular file, up to one byte past kMaxTableFileBytes (enough to
// know it is too large). Anything else (a directory, a device or pipe that
// might never end) is refused without reading it. False, with error in
// words, when nothing could be read.
bool readTableBytes(const char* path, std::string& bytes, std::string* error = nullptr);

// What keeps the bytes from the parser. Beyond the size, the parser would
// overflow the stack (nesting), take days (attributes), or read past its
// buffer: see XmlNestingScan.h.
enum class TableRefusal { None, Empty, TooLarge, TooDeep, TooManyAttributes, ReadsPastEnd };
TableRefusal refusalOf(const std::string& bytes);

// Parses the bytes as the table is parsed: from a stream over these very
// bytes (so that the file cannot change between the checks and the parse),
// the encoding left for TinyXML to detect. Only call it on bytes refusalOf
// lets through.
bool parseTable(std::string& bytes, TiXmlDocument& document);

// A key attribute ("VENDORID", "CODE") read for a look-up: a decimal int with
// an optional sign, white space around it aside. TinyXML's own reading takes
// "12abc" for 12, "0x10" for 0 and wraps numbers beyond int, each of which
// would match an entry it should not.
enum class Key { Missing, NotAnInteger, Read };
Key readKey(const TiXmlElement* element, const char* attribute, int& value);

// The first child element of that name. TinyXML's FirstChild(name) compares
// the value of any node, so a comment or a text reading "TABLE" would do.
TiXmlElement* firstChildElement(TiXmlNode* parent, const char* name);

// The node itself or the next element among its following siblings;
// comments, text and processing instructions between entries are passed over.
TiXmlElement* nextElement(TiXmlNode* node);

// The first "TABLE" under "ERRORTABLES", or null.
TiXmlElement* firstTable(TiXmlDocument& document);

// The first table at or after `table` (among its siblings) whose "VENDORID"
// is vendorId; null when the tables run out or one without "VENDORID" ends
// the search. A "VENDORID" that is not an integer matches nothing.
TiXmlElement* vendorTable(TiXmlNode* table, int vendorId);

// The "NAME" element a vendor's name is read from: that of the first of its
// tables that has one. The library answers from an index made at load
// (errorlog's ErrorTableIndex), which must give what this walk finds.
TiXmlElement* vendorNameElement(TiXmlDocument& document, int vendorId);

} // namespace zorv_detail

#endif
