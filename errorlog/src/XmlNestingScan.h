#ifndef ZORV_XMLNESTINGSCAN_H
#define ZORV_XMLNESTINGSCAN_H

#include <cstddef>

// Internal to the library. TinyXML parses an element by recursing once per
// level of nesting, so a small file nested some ten thousand levels deep
// exhausts the stack of any process that parses it. Before a file reaches
// the parser, this scan measures how deep the parser would go, without
// recursion and without building anything.
namespace zorv_detail {

// The deepest element nesting that TinyXML reaches in these bytes when they
// are handed to TiXmlDocument::LoadFile as a stream with the encoding left
// unknown, as the table loader hands them: the scan reads them with the
// parser's own rules (line-end rewriting, encoding detection, UTF-8 lead
// bytes, declarations, comments, CDATA, entities, attribute values, end
// tags) and stops where the parser stops, well-formed or not. Elements the
// parser enters and then fails in count too: its recursion got there.
//
// The scan stops as soon as the depth exceeds stopAbove and then returns
// stopAbove + 1. It returns the same for bytes that would make the parser
// read past the end of its buffer (a UTF-8 lead byte just before the end):
// what it would find there is not the document's, so no depth can be given.
//
// Call it on the thread that parses: the parser's character classes follow
// the C library's locale, and so do the scan's.
std::size_t xmlNestingDepth(const char* data, std::size_t size, std::size_t stopAbove);

} // namespace zorv_detail

#endif
