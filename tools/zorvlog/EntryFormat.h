#ifndef ZORVLOG_ENTRYFORMAT_H
#define ZORVLOG_ENTRYFORMAT_H

#include "Json.h"
#include "LogEntry.h"

#include <string>

namespace zorvlog {

// An entry as one JSON object (members in a fixed order, documented in
// log-format.md); the caller may add members before taking its text.
Json entryJson(const LogEntry& entry, const std::string& source);

// An entry as one row of the plain table, under tableHeading().
std::string entryRow(const LogEntry& entry);
std::string tableHeading();

// The machine the record came from: its ComputerName where it names one,
// else this machine's name.
std::string entryHost(const LogEntry& entry);

// "err" for an error record, "debug", "info" for a performance row, "notice"
// for every other entry (syslog's names).
const char* entrySeverity(const LogEntry& entry);

} // namespace zorvlog

#endif
