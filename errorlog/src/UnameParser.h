#ifndef ZORV_UNAMEPARSER_H
#define ZORV_UNAMEPARSER_H

#include <cstddef>
#include <string>

// Internal to the library: how one piece of the output of "uname -a" is read
// for the system block of a record.
namespace zorv_detail {

struct UnameFields {
    bool hasNode = false;    // a second token was there
    std::string node;        // the second token: the computer name
    bool hasRelease = false; // a third token was there
    std::string release;     // the third token: the OS release
};

// Splits one piece (a line of at most 2047 bytes, as fgets gives it) into
// tokens. Only the space character separates; a run of spaces is one
// separator and leading spaces are skipped, so a tab or the newline that ends
// the line stays inside its token. The first token (the kernel name) is not
// kept, and nothing after the third token is looked at.
UnameFields parseUnamePiece(const char* piece, std::size_t length);

} // namespace zorv_detail

#endif
