#ifndef ZORVLOG_SECTIONTIME_H
#define ZORVLOG_SECTIONTIME_H

#include "LineFormat.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zorvlog {

// Lines carry local time without an offset, so the writer's zone is taken to
// be ours. In the hour repeated when clocks go back the same text names two
// instants: the first is given (the offset in force before the change); a
// time in the hour skipped when they go forward gets that offset too.

// Room for an instant as text (formatTimestamp).
constexpr std::size_t kTimestampSize = 32;

// The instant a section's date and time name ("2026/12/06", "17:05:09:7").
struct SectionInstant {
    std::int64_t ms = 0; // since the epoch
    long offset = 0;     // of the zone, seconds east of UTC
    zorv_detail::SectionFields fields;
};

// Local date and time into instants. The zone is read when it is made (a
// reader makes one and keeps it: what it learns of a day is kept for the
// next section of that day).
class SectionClock {
public:
    SectionClock();

    // The instant local date and time fields name, in seconds since the
    // epoch, and the zone's offset from UTC then (seconds east). False when
    // the fields are no date and time (month 13, hour 24, day 31 of April; a
    // leap second, 60, counts).
    bool localInstant(long year, long month, long day, long hour, long minute, long second,
                      std::int64_t& seconds, long& offset);
    bool sectionInstant(std::string_view date, std::string_view time, SectionInstant& at);
    // The instant a section's date and time name as formatTimestamp's text,
    // into text (kTimestampSize bytes at least), its length returned; 0 when
    // they are no date and time.
    std::size_t timestamp(std::string_view date, std::string_view time, char* text);

private:
    long offsetOf(long year, long month, long day, std::int64_t asUtc);

    // The offsets around the last day looked at.
    long mDay = -1, mBefore = 0, mAfter = 0;
    // The last section's date, read.
    std::string mDate;
    bool mDateValid = false;
    zorv_detail::SectionFields mDateFields;
    // The last timestamp made, and the date and time up to its seconds it
    // was made of: sections follow each other within a second, and only the
    // milliseconds differ.
    std::string mStampDate, mStampSecond;
    char mStamp[kTimestampSize] = {};
    std::size_t mStampSize = 0;
};

// The instant as RFC 3339 text with the milliseconds padded to three digits
// and the zone's offset, into text (kTimestampSize bytes at least), its
// length returned: "2026/12/06" and "17:05:09:7" give
// "2026-12-06T17:05:09.007+01:00".
std::size_t formatTimestamp(const SectionInstant& at, char* text);
// The same for a section's date and time; empty when they are no date and time.
std::string sectionTimestamp(std::string_view date, std::string_view time);

} // namespace zorvlog

#endif
