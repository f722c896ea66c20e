#ifndef ZORV_XMLNESTINGSCAN_H
#define ZORV_XMLNESTINGSCAN_H

#include <cstddef>

// Internal to the library. TinyXML parses an element by recursing once per
// level of nesting, so a small file nested a few hundred thousand levels deep
// overflows the stack. Before a file reaches the parser, this scan measures
// how deep its elements go, cheaply and without recursion.
namespace zorv_detail {

// The deepest element nesting in the bytes, counted the way TinyXML will see
// them: comments, CDATA sections, declarations, processing instructions and
// other "<!" or "<?" constructs hold no elements, quoted attribute values may
// hold '<' and '>', and a self-closing tag opens nothing. The scan stops as
// soon as the depth exceeds stopAbove and then returns stopAbove + 1.
//
// Where the bytes are not well-formed the result may be larger than what the
// parser would reach before it gives up, never smaller.
std::size_t xmlNestingDepth(const char* data, std::size_t size, std::size_t stopAbove);

} // namespace zorv_detail

#endif
