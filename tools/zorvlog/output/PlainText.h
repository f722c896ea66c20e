#ifndef ZORVLOG_PLAINTEXT_H
#define ZORVLOG_PLAINTEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zorvlog {

// The length of the run at the start of data that both a JSON string and a
// terminal take as it is: printable ASCII (0x20 to 0x7e) without the
// backslash and, unless quoteIsPlain, the double quote. Sixteen bytes at a
// time where the processor compares that many at once (every x86-64 does),
// the last few copied out, padded with a plain byte: log text is mostly such
// runs, and mostly short ones.
#if defined(__SSE2__)
inline std::size_t plainRun(const char* data, std::size_t size, bool quoteIsPlain) {
    const __m128i space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7f);
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i quote = _mm_set1_epi8(quoteIsPlain ? '\\' : '"');
    // A mask of the bytes that are not plain: signed, those above 0x7f read
    // as below the space.
    auto odd = [&](__m128i x) {
        const __m128i bad =
            _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(x, space), _mm_cmpeq_epi8(x, del)),
                         _mm_or_si128(_mm_cmpeq_epi8(x, backslash), _mm_cmpeq_epi8(x, quote)));
        return static_cast<unsigned>(_mm_movemask_epi8(bad));
    };
    std::size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        const unsigned mask = odd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
        if (mask != 0) {
            return i + static_cast<std::size_t>(__builtin_ctz(mask));
        }
    }
    if (i == size) {
        return size;
    }
    char tail[16];
    std::memset(tail, 'a', sizeof tail);
    std::memcpy(tail, data + i, size - i);
    const unsigned mask = odd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tail)));
    return mask != 0 ? i + static_cast<std::size_t>(__builtin_ctz(mask)) : size;
}
#else
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
#endif

} // namespace zorvlog

#endif
