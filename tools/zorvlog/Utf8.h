#ifndef ZORVLOG_UTF8_H
#define ZORVLOG_UTF8_H

#include <string>

namespace zorvlog {

// The length of the well-formed UTF-8 sequence at bytes[pos] (1 to 4), or 0
// when none starts there (stray continuation byte, overlong form, surrogate,
// truncated sequence, beyond U+10FFFF).
std::size_t utf8SequenceLength(const std::string& bytes, std::size_t pos);

bool isValidUtf8(const std::string& bytes);

} // namespace zorvlog

#endif
