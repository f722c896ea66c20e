#ifndef ZORVLOG_SECTIONTIME_H
#define ZORVLOG_SECTIONTIME_H

#include <string>

namespace zorvlog {

// The instant a section's date and time name, as RFC 3339 text with the
// milliseconds padded to three digits and the offset of this process's time
// zone: "2026/12/06" and "17:05:09:7" give "2026-12-06T17:05:09.007+01:00".
// Lines carry local time without an offset, so the writer's zone is taken to
// be ours. In the hour repeated when clocks go back the same text names two
// instants: the first is given (the offset in force before the change); a
// time in the hour skipped when they go forward gets that offset too. Empty
// when the text is no date and time (month 13, hour 24, day 31 of April).
std::string sectionTimestamp(const std::string& date, const std::string& time);

} // namespace zorvlog

#endif
