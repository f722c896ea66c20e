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
// time where the processor compares that many at once (every x86-64 does);
// the last few are looked at in words that overlap bytes already looked at,
// never past the end: log text is mostly such runs, and mostly short ones.
// With `blank`, also whether a space stands in the text looked at (all of it
// when the whole is plain), which decides whether a terminal's value is
// quoted.
#if defined(__SSE2__)
inline std::size_t plainRun(const char* data, std::size_t size, bool quoteIsPlain,
                            bool* blank = nullptr) {
    const __m128i space = _mm_set1_epi8(0x20), del = _mm_set1_epi8(0x7f);
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i quote = _mm_set1_epi8(quoteIsPlain ? '\\' : '"');
    unsigned spaces = 0;
    // A mask of the bytes that are not plain: signed, those above 0x7f read
    // as below the space.
    auto odd = [&](__m128i x, unsigned lanes) {
        const __m128i bad =
            _mm_or_si128(_mm_or_si128(_mm_cmplt_epi8(x, space), _mm_cmpeq_epi8(x, del)),
                         _mm_or_si128(_mm_cmpeq_epi8(x, backslash), _mm_cmpeq_epi8(x, quote)));
        if (blank != nullptr) {
            spaces |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, space))) & lanes;
        }
        return static_cast<unsigned>(_mm_movemask_epi8(bad)) & lanes;
    };
    auto done = [&](std::size_t run) {
        if (blank != nullptr) {
            *blank = spaces != 0;
        }
        return run;
    };
    auto load = [](const char* at, auto word) {
        std::memcpy(&word, at, sizeof word);
        return word;
    };
    if (size >= 16) {
        std::size_t i = 0;
        for (; i + 16 <= size; i += 16) {
            const unsigned mask =
                odd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)), 0xffff);
            if (mask != 0) {
                return done(i + static_cast<std::size_t>(__builtin_ctz(mask)));
            }
        }
        if (i == size) {
            return done(size);
        }
        // The last sixteen bytes; those before i are plain.
        const unsigned mask =
            odd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + size - 16)), 0xffff);
        return done(mask != 0 ? size - 16 + static_cast<std::size_t>(__builtin_ctz(mask)) : size);
    }
    if (size >= 8) {
        // The first eight bytes in the low half, the last eight in the high.
        const __m128i x =
            _mm_set_epi64x(static_cast<long long>(load(data + size - 8, std::uint64_t())),
                           static_cast<long long>(load(data, std::uint64_t())));
        const unsigned mask = odd(x, 0xffff);
        return done((mask & 0xff) != 0 ? static_cast<std::size_t>(__builtin_ctz(mask))
                    : mask != 0 ? size - 8 + static_cast<std::size_t>(__builtin_ctz(mask >> 8))
                                : size);
    }
    if (size >= 4) {
        const __m128i x =
            _mm_set_epi32(0, 0, static_cast<int>(load(data + size - 4, std::uint32_t())),
                          static_cast<int>(load(data, std::uint32_t())));
        const unsigned mask = odd(x, 0xff);
        return done((mask & 0xf) != 0 ? static_cast<std::size_t>(__builtin_ctz(mask))
                    : mask != 0 ? size - 4 + static_cast<std::size_t>(__builtin_ctz(mask >> 4))
                                : size);
    }
    std::size_t i = 0;
    for (; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        spaces |= c == ' ' ? 1 : 0;
        if (c < 0x20 || c >= 0x7f || c == '\\' || (c == '"' && !quoteIsPlain)) {
            break;
        }
    }
    return done(i);
}
#else
inline std::size_t plainRun(const char* data, std::size_t size, bool quoteIsPlain,
                            bool* blank = nullptr) {
    if (blank != nullptr) {
        *blank = std::memchr(data, ' ', size) != nullptr;
    }
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
