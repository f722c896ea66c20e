#include "LineFormat.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zorv_detail {

const char* const kPerfColumnNames[kPerfColumnCount] = {
    "os", "computerName", "utilVersion", "first:second", "third:fourth", "component", "fifth"};

namespace {

const char* digitsFrom(const char* at, const char* end) {
    while (at < end && static_cast<unsigned char>(*at - '0') < 10) {
        ++at;
    }
    return at;
}

// Three fields of digits, each after an optional minus, joined by joiner,
// from `at`: where they end, or null. Made part of matchSection, which every
// line read passes.
[[gnu::always_inline]] inline const char* threeFields(const char* at, const char* end,
                                                      char joiner) {
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (at == end || *at != joiner) {
                return nullptr;
            }
            ++at;
        }
        if (at < end && *at == '-') {
            ++at;
        }
        const char* digits = digitsFrom(at, end);
        if (digits == at) {
            return nullptr;
        }
        at = digits;
    }
    return at;
}

// The section as the writer lays it out, "PID S YYYY/MM/DD S HH:MM:SS[:MS] S",
// told from where the digits stand among the line's first bytes, a few steps
// for the whole section rather than a few for each byte: every line read
// passes here. False when the line is laid out otherwise (wider fields, a
// minus, no section at all), which the byte-by-byte reading then decides.
bool matchWrittenSection(const char* begin, const char* end, SectionMatch& match) {
#if defined(__SSE2__)
    const std::size_t size = static_cast<std::size_t>(end - begin);
    if (size < 32) {
        return false;
    }
    // Bit i set: byte i is no digit (or lies beyond the bytes looked at).
    const std::size_t covered = size >= 64 ? 64 : size >= 48 ? 48 : 32;
    std::uint64_t nonDigit = covered == 64 ? 0 : ~std::uint64_t(0) << covered;
    const __m128i belowZero = _mm_set1_epi8('0' - 1), aboveNine = _mm_set1_epi8('9' + 1);
    for (std::size_t at = 0; at < covered; at += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin + at));
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(x, belowZero), _mm_cmplt_epi8(x, aboveNine));
        nonDigit |=
            static_cast<std::uint64_t>(static_cast<unsigned>(~_mm_movemask_epi8(digit)) & 0xffffu)
            << at;
    }
    if (nonDigit == 0) {
        return false; // sixty-four digits: no section of the writer's
    }
    const std::size_t pidEnd = static_cast<std::size_t>(__builtin_ctzll(nonDigit));
    const std::size_t date = pidEnd + 1, time = date + 11;
    if (pidEnd == 0 || time + 9 >= covered) {
        return false;
    }
    const char separator = begin[pidEnd];
    // Joiners at date + 4, 7 and 10, at time + 2, 5 and 8, digits between.
    if ((separator != '\t' && separator != ',') || ((nonDigit >> date) & 0x7ff) != 0x490 ||
        begin[date + 4] != kDateJoiner || begin[date + 7] != kDateJoiner ||
        begin[date + 10] != separator || ((nonDigit >> time) & 0x1ff) != 0x124 ||
        begin[time + 2] != kTimeJoiner || begin[time + 5] != kTimeJoiner) {
        return false;
    }
    std::size_t timeEnd = time + 8;
    if (begin[timeEnd] == kTimeJoiner) {
        const std::uint64_t after = nonDigit >> (timeEnd + 1);
        timeEnd += 1 + (after != 0 ? static_cast<std::size_t>(__builtin_ctzll(after)) : covered);
        if (timeEnd >= covered) {
            return false;
        }
    }
    if (begin[timeEnd] != separator) {
        return false;
    }
    match.pid = std::string_view(begin, pidEnd);
    match.date = std::string_view(begin + date, 10);
    match.time = std::string_view(begin + time, timeEnd - time);
    match.separator = separator;
    match.payload = timeEnd + 1;
    return true;
#else
    (void)begin;
    (void)end;
    (void)match;
    return false;
#endif
}

} // namespace

bool matchSection(std::string_view line, SectionMatch& match) {
    const char* const begin = line.data();
    const char* const end = begin + line.size();
    if (matchWrittenSection(begin, end, match)) {
        return true;
    }
    const char* const pidEnd = digitsFrom(begin, end);
    if (pidEnd == begin || pidEnd == end || (*pidEnd != '\t' && *pidEnd != ',')) {
        return false;
    }
    const char separator = *pidEnd;
    const char* const date = pidEnd + 1;
    const char* const dateEnd = threeFields(date, end, kDateJoiner);
    if (dateEnd == nullptr || dateEnd == end || *dateEnd != separator) {
        return false;
    }
    const char* const time = dateEnd + 1;
    const char* timeEnd = threeFields(time, end, kTimeJoiner);
    if (timeEnd == nullptr) {
        return false;
    }
    if (timeEnd < end && *timeEnd == kTimeJoiner) {
        // Milliseconds: digits, or none at all for a negative reading.
        timeEnd = digitsFrom(timeEnd + 1, end);
    }
    if (timeEnd == end || *timeEnd != separator) {
        return false;
    }
    match.pid = std::string_view(begin, static_cast<std::size_t>(pidEnd - begin));
    match.date = std::string_view(date, static_cast<std::size_t>(dateEnd - date));
    match.time = std::string_view(time, static_cast<std::size_t>(timeEnd - time));
    match.separator = separator;
    match.payload = static_cast<std::size_t>(timeEnd - begin) + 1;
    return true;
}

namespace {

// Fields of digits, each with an optional minus, joined by joiner, from
// text[pos] to its end: at most `count` of them into out; how many there
// were, 0 when the text is not such fields. With lastMayBeEmpty the last of
// more than one may be empty (read as 0).
std::size_t readFields(std::string_view text, char joiner, long* out, std::size_t count,
                       bool lastMayBeEmpty) {
    std::size_t n = 0, pos = 0;
    for (;;) {
        const bool negative = pos < text.size() && text[pos] == '-';
        pos += negative ? 1 : 0;
        const std::size_t start = pos;
        long value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (value > 100000000L) {
                return 0;
            }
            value = value * 10 + (text[pos++] - '0');
        }
        const bool empty = pos == start;
        if (n == count || (empty && (negative || !lastMayBeEmpty || n == 0 || pos < text.size()))) {
            return 0;
        }
        out[n++] = negative ? -value : value;
        if (pos == text.size()) {
            return n;
        }
        if (text[pos] != joiner) {
            return 0;
        }
        ++pos;
        if (pos == text.size() && !lastMayBeEmpty) {
            return 0;
        }
    }
}

} // namespace

bool readSectionDate(std::string_view date, SectionFields& fields) {
    long d[3];
    if (readFields(date, kDateJoiner, d, 3, false) != 3) {
        return false;
    }
    fields.year = d[0];
    fields.month = d[1];
    fields.day = d[2];
    return true;
}

bool readSectionTime(std::string_view time, SectionFields& fields) {
    long t[4];
    const std::size_t n = readFields(time, kTimeJoiner, t, 4, true);
    if (n != 3 && n != 4) {
        return false;
    }
    fields.hour = t[0];
    fields.minute = t[1];
    fields.second = t[2];
    fields.hasMilliseconds = n == 4;
    fields.millisecond = n == 4 ? t[3] : 0;
    return true;
}

bool splitDescribed(std::string_view value, std::string_view& text, std::string_view& description) {
    const std::size_t open = value.find(kDescriptionOpen);
    if (open == std::string_view::npos || value.back() != kDescriptionClose) {
        text = value;
        description = std::string_view();
        return false;
    }
    text = value.substr(0, open);
    description = value.substr(open + kDescriptionOpen.size(),
                               value.size() - open - kDescriptionOpen.size() - 1);
    return true;
}

} // namespace zorv_detail
