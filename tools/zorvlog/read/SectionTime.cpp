#include "read/SectionTime.h"

#include <cstring>
#include <ctime>

namespace zorvlog {

namespace {

bool leapYear(long year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

long daysInMonth(long year, long month) {
    static const long kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(long year, long month, long day) {
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yearOfEra = year - era * 400;
    const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
}

long offsetAt(std::int64_t at) {
    const std::time_t instant = static_cast<std::time_t>(at);
    std::tm fields{};
    localtime_r(&instant, &fields);
    return fields.tm_gmtoff;
}

// Whether the zone's offset `offset` makes the fields of `asUtc` (local
// fields read as if UTC) local time.
bool names(std::int64_t asUtc, long offset) {
    const std::time_t instant = static_cast<std::time_t>(asUtc - offset);
    std::tm local{}, wanted{};
    localtime_r(&instant, &local);
    const std::time_t fields = static_cast<std::time_t>(asUtc);
    gmtime_r(&fields, &wanted);
    return local.tm_year == wanted.tm_year && local.tm_yday == wanted.tm_yday &&
           local.tm_hour == wanted.tm_hour && local.tm_min == wanted.tm_min &&
           local.tm_sec == wanted.tm_sec;
}

char* digits(char* to, long value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        to[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return to + width;
}

// Where formatTimestamp's milliseconds stand, counted from its end: before
// them the date and time, each field of a fixed width, after them the offset
// "+HH:MM".
constexpr std::size_t kMillisecondsFromEnd = 9;

char* twoDigits(char* to, long value) {
    to[0] = static_cast<char>('0' + value / 10);
    to[1] = static_cast<char>('0' + value % 10);
    return to + 2;
}

} // namespace

SectionClock::SectionClock() {
    tzset();
}

// The offsets in force a day before and a day after a local time: the one
// before, unless only the one after gives these fields back. Reckoned once a
// day: on a day whose neighbours have the same offset, that is the offset.
long SectionClock::offsetOf(long year, long month, long day, std::int64_t asUtc) {
    const long key = (year * 13 + month) * 32 + day;
    if (key != mDay) {
        mDay = key;
        const std::int64_t midnight = daysFromCivil(year, month, day) * 86400;
        mBefore = offsetAt(midnight - 86400 - 14 * 3600);
        mAfter = offsetAt(midnight + 2 * 86400 + 14 * 3600);
    }
    if (mBefore == mAfter) {
        return mBefore;
    }
    const long earlier = offsetAt(asUtc - 86400), later = offsetAt(asUtc + 86400);
    return !names(asUtc, earlier) && names(asUtc, later) ? later : earlier;
}

bool SectionClock::localInstant(long year, long month, long day, long hour, long minute,
                                long second, std::int64_t& seconds, long& offset) {
    if (year < 0 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > daysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 60) {
        return false;
    }
    // A leap second is read as the last second of its minute for the offset.
    const std::int64_t asUtc =
        daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    offset = offsetOf(year, month, day, second == 60 ? asUtc - 1 : asUtc);
    seconds = asUtc - offset;
    return true;
}

bool SectionClock::sectionInstant(std::string_view date, std::string_view time,
                                  SectionInstant& at) {
    // Sections follow each other within a day: the date is read once.
    if (date != mDate) {
        mDate.assign(date.data(), date.size());
        mDateValid = zorv_detail::readSectionDate(date, mDateFields);
    }
    zorv_detail::SectionFields& f = at.fields;
    f = mDateFields;
    std::int64_t seconds = 0;
    if (!mDateValid || !zorv_detail::readSectionTime(time, f) || f.millisecond < 0 ||
        f.millisecond > 999 ||
        !localInstant(f.year, f.month, f.day, f.hour, f.minute, f.second, seconds, at.offset)) {
        return false;
    }
    at.ms = seconds * 1000 + f.millisecond;
    return true;
}

std::size_t SectionClock::timestamp(std::string_view date, std::string_view time, char* text) {
    // The milliseconds, after the seconds' joiner: digits (none read as 0),
    // at most 999; anything else is read the long way.
    const std::size_t second = mStampSecond.size();
    if (mStampSize > 0 && time.size() >= second && date == mStampDate &&
        time.compare(0, second, mStampSecond) == 0 &&
        (time.size() == second || time[second] == zorv_detail::kTimeJoiner)) {
        long ms = 0;
        std::size_t i = second + 1;
        for (; i < time.size() && ms <= 999 && static_cast<unsigned char>(time[i] - '0') < 10;
             ++i) {
            ms = ms * 10 + (time[i] - '0');
        }
        if (i >= time.size() && ms <= 999) {
            std::memcpy(text, mStamp, mStampSize);
            digits(text + mStampSize - kMillisecondsFromEnd, ms, 3);
            return mStampSize;
        }
    }
    SectionInstant at;
    if (!sectionInstant(date, time, at)) {
        return 0;
    }
    mStampSize = formatTimestamp(at, text);
    std::memcpy(mStamp, text, mStampSize);
    mStampDate.assign(date.data(), date.size());
    const std::size_t joiner =
        at.fields.hasMilliseconds ? time.rfind(zorv_detail::kTimeJoiner) : time.size();
    mStampSecond.assign(time.data(), joiner);
    return mStampSize;
}

std::size_t formatTimestamp(const SectionInstant& at, char* text) {
    const zorv_detail::SectionFields& f = at.fields;
    char* p = digits(text, f.year, 4);
    *p++ = '-';
    p = twoDigits(p, f.month);
    *p++ = '-';
    p = twoDigits(p, f.day);
    *p++ = 'T';
    p = twoDigits(p, f.hour);
    *p++ = ':';
    p = twoDigits(p, f.minute);
    *p++ = ':';
    p = twoDigits(p, f.second);
    *p++ = '.';
    p = digits(p, f.millisecond, 3);
    const long minutes = (at.offset < 0 ? -at.offset : at.offset) / 60;
    *p++ = at.offset < 0 ? '-' : '+';
    p = twoDigits(p, minutes / 60);
    *p++ = ':';
    p = twoDigits(p, minutes % 60);
    return static_cast<std::size_t>(p - text);
}

std::string sectionTimestamp(std::string_view date, std::string_view time) {
    SectionInstant at;
    char text[kTimestampSize];
    return SectionClock().sectionInstant(date, time, at)
               ? std::string(text, formatTimestamp(at, text))
               : std::string();
}

} // namespace zorvlog
