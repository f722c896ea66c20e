#ifndef ZORV_XMLNESTINGSCAN_H
#define ZORV_XMLNESTINGSCAN_H

#include <cstddef>

// Internal to the library. TinyXML parses an element by recursing once per
// level of nesting, so a small file nested some ten thousand levels deep
// exhausts the stack of any process that parses it; and it checks each new
// attribute of an element against all those before it, so a crafted element
// with millions of attributes takes days. Before a file reaches the parser,
// this scan measures what the parser would do with it, without recursion and
// without building anything.
namespace zorv_detail {

struct XmlLimits {
    std::size_t depth;      // element nesting
    std::size_t attributes; // attributes on one element
};

// What the table loader hands to the parser, and zorvlog check-table with it.
// A table nests four levels and has one attribute per element.
constexpr XmlLimits kErrorTableLimits{256, 64};

enum class XmlRefusal {
    None,
    TooDeep,           // elements nest deeper than the limit
    TooManyAttributes, // an element has more attributes than the limit
    ReadsPastEnd,      // a UTF-8 lead byte at the very end: the parser would
                       // read on past its buffer, into memory not the file's
};

struct XmlScan {
    XmlRefusal refusal = XmlRefusal::None;
    std::size_t depth = 0; // past the limit: the limit + 1
};

// The deepest element nesting that TinyXML reaches in these bytes when they
// are handed to TiXmlDocument::LoadFile as a stream with the encoding left
// unknown, as the table loader hands them: the scan reads them with the
// parser's own rules (line-end rewriting, encoding detection, UTF-8 lead
// bytes, declarations, comments, CDATA, entities, attribute values, end
// tags) and stops where the parser stops, well-formed or not. Elements the
// parser enters and then fails in count too: its recursion got there.
// The scan ends at the first refusal.
//
// Call it on the thread that parses: the parser's character classes follow
// the C library's locale, and so do the scan's.
XmlScan scanForParser(const char* data, std::size_t size, const XmlLimits& limits);

} // namespace zorv_detail

#endif
