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

} // namespace zorv_detail
