#ifndef ZORV_ERRORLOG_DELIMITEDFILESTATE_H
#define ZORV_ERRORLOG_DELIMITEDFILESTATE_H

// The part of ZorvDelimitedFile its interface does not name, behind its one
// private pointer, so that the exported class keeps its size.

#include "AppendStream.h"

#include <string>

namespace zorv_detail {

// What the file keeps besides the members its interface names.
struct DelimitedFileState {
    AppendStream stream;
    // The line being built; keeps its room from one line to the next.
    std::string line;
    // The section as text with the separator it was built with, made on the
    // first line after each new section (kTab may be pointed elsewhere between
    // two lines, so the separator is compared every time).
    std::string sectionText;
    std::string sectionSeparator;
    // Whether mFilename is usable as a path (1), not usable (0), or has not
    // been looked at since it was set (-1).
    int pathUsable = -1;
};

} // namespace zorv_detail

#endif
