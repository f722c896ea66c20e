#include "read/TimeArgument.h"

#include "read/SectionTime.h"

#include <cctype>
#include <ctime>

namespace zorvlog {

const char* const kTimeForms = "give a time as 2026-12-08 09:30:00, 2026-12-08, 09:30, now, today, "
                               "yesterday, -1h, -30min or @SECONDS";

namespace {

// A cursor over the text, spaces skipped where they may stand.
struct Reader {
    const std::string& text;
    std::size_t at = 0;

    bool done() const { return at == text.size(); }
    void spaces() {
        while (at < text.size() && text[at] == ' ') {
            ++at;
        }
    }
    bool take(char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    // Decimal digits (at least min, at most max): false when there are none.
    bool number(long& value, std::size_t min, std::size_t max) {
        const std::size_t start = at;
        value = 0;
        while (at < text.size() && at - start < max &&
               std::isdigit(static_cast<unsigned char>(text[at]))) {
            value = value * 10 + (text[at++] - '0');
        }
        return at - start >= min && at > start;
    }
    std::string word() {
        const std::size_t start = at;
        while (at < text.size() && std::isalpha(static_cast<unsigned char>(text[at]))) {
            ++at;
        }
        return text.substr(start, at - start);
    }
};

long unitSeconds(const std::string& unit) {
    static const struct {
        const char* names[5];
        long seconds;
    } kUnits[] = {
        {{"s", "sec", "secs", "second", "seconds"}, 1},
        {{"m", "min", "mins", "minute", "minutes"}, 60},
        {{"h", "hr", "hour", "hours", nullptr}, 3600},
        {{"d", "day", "days", nullptr, nullptr}, 86400},
        {{"w", "week", "weeks", nullptr, nullptr}, 7 * 86400},
    };
    for (const auto& u : kUnits) {
        for (const char* name : u.names) {
            if (name != nullptr && unit == name) {
                return u.seconds;
            }
        }
    }
    return 0;
}

// "-1h30min", "+2d", "1h ago".
bool relative(Reader r, std::int64_t now, std::int64_t& seconds) {
    long sign = 0;
    if (r.take('-')) {
        sign = -1;
    } else if (r.take('+')) {
        sign = 1;
    }
    std::int64_t span = 0;
    bool any = false;
    for (r.spaces(); !r.done(); r.spaces()) {
        long count = 0;
        if (!r.number(count, 1, 9)) {
            break;
        }
        r.spaces();
        const long unit = unitSeconds(r.word());
        if (unit == 0) {
            return false;
        }
        span += static_cast<std::int64_t>(count) * unit;
        any = true;
    }
    if (!r.done() && sign == 0 && r.word() == "ago") {
        sign = -1;
        r.spaces();
    }
    if (!any || sign == 0 || !r.done()) {
        return false;
    }
    seconds = now + sign * span;
    return true;
}

// This process's date `days` days from today's.
void localDate(std::int64_t now, long days, long& year, long& month, long& day) {
    const std::time_t at = static_cast<std::time_t>(now);
    std::tm fields{};
    localtime_r(&at, &fields);
    std::tm shifted{};
    shifted.tm_year = fields.tm_year;
    shifted.tm_mon = fields.tm_mon;
    shifted.tm_mday = fields.tm_mday + static_cast<int>(days);
    timegm(&shifted); // calendar arithmetic only
    year = shifted.tm_year + 1900;
    month = shifted.tm_mon + 1;
    day = shifted.tm_mday;
}

// HH:MM[:SS[(.|:)fraction]] at r.
bool clock(Reader& r, long& hour, long& minute, long& second) {
    second = 0;
    if (!r.number(hour, 1, 2) || !r.take(':') || !r.number(minute, 2, 2)) {
        return false;
    }
    if (r.take(':')) {
        long fraction = 0;
        if (!r.number(second, 2, 2) ||
            ((r.take('.') || r.take(':')) && !r.number(fraction, 1, 9))) {
            return false;
        }
    }
    return true;
}

} // namespace

bool parseTimeArgument(const std::string& text, std::int64_t now, std::int64_t& seconds) {
    Reader r{text};
    r.spaces();
    const std::size_t start = r.at;
    long offset = 0;
    if (r.take('@')) {
        long value = 0;
        const bool negative = r.take('-');
        if (!r.number(value, 1, 12)) {
            return false;
        }
        r.spaces();
        seconds = negative ? -value : value;
        return r.done();
    }
    const std::string word = r.word();
    if (!word.empty()) {
        const char* const names[] = {"yesterday", "today", "tomorrow"};
        r.spaces();
        if (word == "now" && r.done()) {
            seconds = now;
            return true;
        }
        for (long days = -1; days <= 1; ++days) {
            if (word == names[days + 1] && r.done()) {
                long year = 0, month = 0, day = 0;
                localDate(now, days, year, month, day);
                return SectionClock().localInstant(year, month, day, 0, 0, 0, seconds, offset);
            }
        }
        return false;
    }
    if (relative(r, now, seconds)) {
        return true;
    }
    r.at = start;
    long year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    const std::size_t digits = r.at;
    long first = 0;
    r.number(first, 1, 4);
    const bool dated = r.at - digits == 4 && (r.take('-') || r.take('/'));
    if (dated) {
        const char joiner = text[r.at - 1];
        year = first;
        if (!r.number(month, 1, 2) || !r.take(joiner) || !r.number(day, 1, 2)) {
            return false;
        }
        if (r.take('T') || (r.take(' ') && (r.spaces(), !r.done()))) {
            if (!clock(r, hour, minute, second)) {
                return false;
            }
        }
    } else {
        r.at = start;
        if (!clock(r, hour, minute, second)) {
            return false;
        }
        localDate(now, 0, year, month, day);
    }
    r.spaces();
    return r.done() &&
           SectionClock().localInstant(year, month, day, hour, minute, second, seconds, offset);
}

} // namespace zorvlog
