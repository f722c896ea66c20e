#include "Utf8.h"

#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace zorv_detail {

namespace {

// U+FFFD REPLACEMENT CHARACTER.
constexpr char kReplacement[] = "\xEF\xBF\xBD";

const unsigned char* bytesOf(const char* data) {
    return reinterpret_cast<const unsigned char*>(data);
}

// The first byte from p on that is not ASCII (or, when nulStops, that is NUL),
// or end; the bytes from first to end may be read. Most text is plain ASCII,
// so sixteen bytes are looked at at once (every x86-64 processor has SSE2),
// the last ones in one look that may see some bytes again; else eight, a word
// holding such a byte exactly when one of its bytes has its top bit set (or
// is zero).
const unsigned char* skipAscii(const unsigned char* first, const unsigned char* p,
                               const unsigned char* end, bool nulStops) {
#ifdef __SSE2__
    // The bytes of 16 from q on that stop the skip, as bits.
    auto stopsAt = [nulStops](const unsigned char* q) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        unsigned stops = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (nulStops) {
            stops |= static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
        }
        return stops;
    };
    while (end - p >= 16) {
        if (const unsigned stops = stopsAt(p)) {
            return p + __builtin_ctz(stops);
        }
        p += 16;
    }
    if (p < end && end - first >= 16) {
        const unsigned char* last = end - 16;
        const unsigned stops = stopsAt(last) >> (p - last);
        return stops != 0 ? p + __builtin_ctz(stops) : end;
    }
#else
    static_cast<void>(first);
#endif
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kTops = 0x8080808080808080ull;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        const std::uint64_t zeros = nulStops ? ((word - kOnes) & ~word) : 0;
        if (((word | zeros) & kTops) != 0) {
            break;
        }
        p += 8;
    }
    while (p < end && *p < 0x80 && !(nulStops && *p == 0)) {
        ++p;
    }
    return p;
}

// utf8SequenceAt, with a NUL counted as ill-formed.
long lineSequenceAt(const unsigned char* p, const unsigned char* end) {
    return *p == 0 ? -1 : utf8SequenceAt(p, end);
}

} // namespace

long utf8SequenceAt(const unsigned char* p, const unsigned char* end) {
    const unsigned char b = *p;
    if (b < 0x80) {
        return 1;
    }
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    long need;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3;
        if (b == 0xE0) {
            lo = 0xA0; // no overlong forms
        } else if (b == 0xED) {
            hi = 0x9F; // no surrogates
        }
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4;
        if (b == 0xF0) {
            lo = 0x90; // no overlong forms
        } else if (b == 0xF4) {
            hi = 0x8F; // nothing above U+10FFFF
        }
    } else {
        return -1; // a continuation byte or a byte that never leads
    }
    for (long i = 1; i < need; ++i) {
        if (p + i >= end || p[i] < lo || p[i] > hi) {
            return -i;
        }
        lo = 0x80;
        hi = 0xBF;
    }
    return need;
}

bool isValidUtf8(const char* data, std::size_t size) {
    const unsigned char* begin = bytesOf(data);
    const unsigned char* end = begin + size;
    for (const unsigned char* p = skipAscii(begin, begin, end, false); p < end;) {
        const long n = utf8SequenceAt(p, end);
        if (n < 0) {
            return false;
        }
        p = skipAscii(begin, p + n, end, false);
    }
    return true;
}

std::size_t unfitLineByte(const char* text, std::size_t from, std::size_t size) {
    const unsigned char* begin = bytesOf(text);
    const unsigned char* end = begin + size;
    const unsigned char* q = skipAscii(begin, begin + from, end, true);
    while (q < end) {
        const long n = lineSequenceAt(q, end);
        if (n < 0) {
            break;
        }
        q = skipAscii(begin, q + n, end, true);
    }
    return static_cast<std::size_t>(q - begin);
}

std::string repairedLineText(const char* text, std::size_t size) {
    const unsigned char* q = bytesOf(text);
    const unsigned char* end = q + size;
    std::string repaired;
    repaired.reserve(size + 8);
    while (q < end) {
        const long n = lineSequenceAt(q, end);
        if (n > 0) {
            repaired.append(reinterpret_cast<const char*>(q), static_cast<std::size_t>(n));
            q += n;
        } else {
            repaired += kReplacement;
            q += -n;
        }
    }
    return repaired;
}

} // namespace zorv_detail
