#ifndef ZORV_ERRORLOG_DELIMITEDFILESTATE_H
#define ZORV_ERRORLOG_DELIMITEDFILESTATE_H

// The part of ZorvDelimitedFile its interface does not name, behind its one
// private pointer, so that the exported class keeps its size.

#include "FileRecord.h"

#include <zorv/TStr.h>

#include <string>

namespace zorv_detail {

// What the file keeps besides the members its interface names.
struct DelimitedFileState {
    // The record being written, and the file and lock it goes to.
    FileRecord record;
    // The name of the file's named mutex, as the logger derived it for the
    // last record; its room is kept from one record to the next.
    TStr mutexName;
    // The section as text with the separator it was built with, made on the
    // first line after each new section (kTab may be pointed elsewhere between
    // two lines, so the separator is compared every time).
    std::string sectionText;
    std::string sectionSeparator;
    // What is known of mFilename as a name: one with a NUL or without a UTF-8
    // form is never opened.
    enum class Path {
        Unjudged,
        Unusable,
        Usable,
    };
    Path path = Path::Unjudged;
    // What is known of where it leads. Only a yes is kept until the name
    // changes; a directory refused (or missing) is judged again at the next
    // open, so that one put right, or made, is written into.
    PathMemo memo;
};

} // namespace zorv_detail

#endif
