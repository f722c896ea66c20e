#include "LineFormat.h"

namespace zorv_detail {

const char* const kPerfColumnNames[kPerfColumnCount] = {
    "os", "computerName", "utilVersion", "first:second", "third:fourth", "component", "fifth"};

namespace {

// The length of the digits at pos (after a minus, when one is allowed), or 0.
std::size_t digitsAt(std::string_view s, std::size_t pos, bool allowMinus) {
    const std::size_t start = pos;
    if (allowMinus && pos < s.size() && s[pos] == '-') {
        ++pos;
    }
    const std::size_t digits = pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        ++pos;
    }
    return pos == digits ? 0 : pos - start;
}

// Three fields of digits joined by joiner: the length matched, or 0.
std::size_t threeFields(std::string_view s, std::size_t pos, char joiner) {
    const std::size_t start = pos;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= s.size() || s[pos] != joiner) {
                return 0;
            }
            ++pos;
        }
        const std::size_t length = digitsAt(s, pos, true);
        if (length == 0) {
            return 0;
        }
        pos += length;
    }
    return pos - start;
}

} // namespace

bool matchSection(std::string_view line, SectionMatch& match) {
    const std::size_t pidEnd = digitsAt(line, 0, false);
    if (pidEnd == 0 || pidEnd >= line.size() || (line[pidEnd] != '\t' && line[pidEnd] != ',')) {
        return false;
    }
    const char separator = line[pidEnd];
    const std::size_t dateAt = pidEnd + 1;
    const std::size_t dateLength = threeFields(line, dateAt, kDateJoiner);
    if (dateLength == 0 || dateAt + dateLength >= line.size() ||
        line[dateAt + dateLength] != separator) {
        return false;
    }
    const std::size_t timeAt = dateAt + dateLength + 1;
    const std::size_t timeLength = threeFields(line, timeAt, kTimeJoiner);
    if (timeLength == 0) {
        return false;
    }
    std::size_t end = timeAt + timeLength;
    if (end < line.size() && line[end] == kTimeJoiner) {
        // Milliseconds: digits, or none at all for a negative reading.
        ++end;
        while (end < line.size() && line[end] >= '0' && line[end] <= '9') {
            ++end;
        }
    }
    if (end >= line.size() || line[end] != separator) {
        return false;
    }
    match.pid = line.substr(0, pidEnd);
    match.date = line.substr(dateAt, dateLength);
    match.time = line.substr(timeAt, end - timeAt);
    match.separator = separator;
    match.payload = end + 1;
    return true;
}

namespace {

// Decimal digits with an optional minus, the whole text; an empty text is 0
// when `emptyIsZero`.
bool readNumber(std::string_view text, long& value, bool emptyIsZero) {
    value = 0;
    if (text.empty()) {
        return emptyIsZero;
    }
    const bool negative = text[0] == '-';
    std::size_t i = negative ? 1 : 0;
    if (i == text.size()) {
        return false;
    }
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9' || value > 100000000L) {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    value = negative ? -value : value;
    return true;
}

// Up to `count` fields joined by joiner into out; how many there were.
std::size_t readFields(std::string_view text, char joiner, long* out, std::size_t count,
                       bool lastMayBeEmpty) {
    std::size_t n = 0;
    for (std::size_t from = 0; n < count; ++n) {
        std::size_t end = text.find(joiner, from);
        const bool last = end == std::string_view::npos;
        end = last ? text.size() : end;
        if (!readNumber(text.substr(from, end - from), out[n], lastMayBeEmpty && last && n > 0)) {
            return 0;
        }
        if (last) {
            return n + 1;
        }
        from = end + 1;
    }
    return 0; // more fields than count
}

} // namespace

bool readSectionFields(std::string_view date, std::string_view time, SectionFields& fields) {
    long d[3], t[4];
    if (readFields(date, kDateJoiner, d, 3, false) != 3) {
        return false;
    }
    const std::size_t n = readFields(time, kTimeJoiner, t, 4, true);
    if (n != 3 && n != 4) {
        return false;
    }
    fields.year = d[0];
    fields.month = d[1];
    fields.day = d[2];
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
