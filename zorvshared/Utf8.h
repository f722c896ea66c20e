#ifndef ZORV_SHARED_UTF8_H
#define ZORV_SHARED_UTF8_H

// What counts as UTF-8 for the product, and how text that is not is mended
// before it reaches a log line. Overlong forms, surrogates and values above
// U+10FFFF are not UTF-8.

#include <cstddef>
#include <string>

namespace zorv_detail {

// The length of the well-formed sequence that starts at p (p < end), or, when
// there is none, minus the length of its maximal ill-formed prefix (at least
// 1): the bytes that one replacement character stands for.
long utf8SequenceAt(const unsigned char* p, const unsigned char* end);

// The same at text[pos]: the length (1 to 4), or 0 when no well-formed
// sequence starts there.
inline std::size_t utf8SequenceLength(const std::string& text, std::size_t pos) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const long n = utf8SequenceAt(begin + pos, begin + text.size());
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Whether all of the bytes are UTF-8 (a NUL is: it is U+0000).
bool isValidUtf8(const char* data, std::size_t size);
inline bool isValidUtf8(const std::string& text) {
    return isValidUtf8(text.data(), text.size());
}

// What makes a line's text fit for a log file: every ill-formed sequence, and
// every NUL (which would cut the line for many readers), becomes one U+FFFD;
// other text is left as it is. In two steps: where the first byte from
// `from` on is that a line cannot keep (size when there is none), and the
// text from there on as it is mended.
std::size_t unfitLineByte(const char* text, std::size_t from, std::size_t size);
std::string repairedLineText(const char* text, std::size_t size);

} // namespace zorv_detail

#endif
