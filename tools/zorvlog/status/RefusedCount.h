#ifndef ZORVLOG_REFUSEDCOUNT_H
#define ZORVLOG_REFUSEDCOUNT_H

#include "output/Json.h"

#include <cstdint>
#include <string>

namespace zorvlog {

// The records of a log that were not written, as its writers counted them in
// a lock place (zorvshared/RefusalCount.h): the words for status's line,
// naming the lock place read and what the count covers, and the JSON object
// {"count": N, "last": "<ISO 8601>" or null, "reason": "<word>" or null}.
struct RefusedReport {
    std::string text;
    Json json;
};

// A time in seconds since the epoch in ISO 8601, UTC; empty when it cannot be
// shown.
std::string isoTime(std::int64_t seconds);

// For the log file at logPath, in the lock place of the user running zorvlog,
// or of user (a name or a number; root only) when not empty. Throws
// UsageError for an unknown user, or for another user's count asked by
// anyone but root.
RefusedReport refusedReport(const std::string& logPath, const std::string& user);

} // namespace zorvlog

#endif
