#ifndef ZORVLOG_PLAINTEXT_H
#define ZORVLOG_PLAINTEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorvlog {

// The length of the run at the start of data that both a JSON string and a
// terminal take as it is: printable ASCII (0x20 to 0x7e) without the
// backslash and, unless quoteIsPlain, the double quote. Eight bytes at a
// time: log text is mostly such runs.
inline std::size_t plainRun(const char* data, std::size_t size, bool quoteIsPlain) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
    // A byte of x below n (n <= 128) sets the high bit of its lane.
    auto below = [](std::uint64_t x, std::uint64_t n) { return (x - kOnes * n) & ~x & kHighs; };
    auto equal = [&](std::uint64_t x, unsigned char c) { return below(x ^ (kOnes * c), 1); };
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t x;
        std::memcpy(&x, data + i, 8);
        const std::uint64_t odd = (x & kHighs) | below(x, 0x20) | equal(x, 0x7f) | equal(x, '\\') |
                                  (quoteIsPlain ? 0 : equal(x, '"'));
        if (odd != 0) {
            break;
        }
    }
    for (; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x20 || c >= 0x7f || c == '\\' || (c == '"' && !quoteIsPlain)) {
            break;
        }
    }
    return i;
}

} // namespace zorvlog

#endif
