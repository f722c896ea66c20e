#ifndef ZORVLOG_TIMEARGUMENT_H
#define ZORVLOG_TIMEARGUMENT_H

#include <cstdint>
#include <string>

namespace zorvlog {

// A time the user gives (--since, --until), to the second, in this
// process's time zone as the records' sections are written:
//
//   2026-12-08 09:30:00, 2026-12-08 09:30, 2026-12-08T09:30:00, 2026-12-08
//   (midnight); the date also as the log writes it, 2026/12/08; seconds may
//   carry a fraction (.250 or the log's :250), which is passed over
//   09:30, 09:30:00            that time today
//   now, today, yesterday, tomorrow (midnight)
//   -1h, +30min, -1h30min, -2d, 1h ago   relative to now: s, sec, second(s),
//                              m, min, minute(s), h, hour(s), d, day(s), w,
//                              week(s)
//   @1765187400                seconds since the epoch
//
// Returns the second in seconds since the epoch; false when the text is none
// of these. `now` is the current time in seconds since the epoch.
bool parseTimeArgument(const std::string& text, std::int64_t now, std::int64_t& seconds);

// What parseTimeArgument takes, in a few words for a message.
extern const char* const kTimeForms;

} // namespace zorvlog

#endif
