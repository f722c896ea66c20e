#ifndef ZORVLOG_TERMINALTEXT_H
#define ZORVLOG_TERMINALTEXT_H

#include "output/TextSink.h"

#include <cstddef>
#include <string>

namespace zorvlog {

// Text read from logs, and the names of their files, as they may reach a
// terminal: anything a terminal would act on instead of showing (a control
// that moves the cursor, starts an escape sequence, retitles the window or
// reorders the text after it) is shown as an escape. That is every C0
// control and DEL ("\n", "\t", "\r" or "\xNN"), the C1 controls U+0080 to
// U+009F ("\u0085"), the bidirectional controls U+061C, U+200E, U+200F,
// U+202A to U+202E and U+2066 to U+2069 ("\u202e"), a byte that is not part
// of UTF-8 ("\x9b", which a terminal may take for a C1 control) and the
// backslash itself ("\\"), so that every escape reads one way.

// Appends data[0, size) to out with those escaped; with `quoted`, the double
// quote too (for a value shown between quotes).
void appendForTerminal(TextBuffer& out, const char* data, std::size_t size, bool quoted);

// A file name (or any text) for a message or a heading.
std::string forTerminal(const std::string& text);

// Whether data has nothing appendForTerminal would escape between quotes.
bool terminalPlain(const char* data, std::size_t size);

} // namespace zorvlog

#endif
