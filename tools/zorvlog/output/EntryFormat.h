#ifndef ZORVLOG_ENTRYFORMAT_H
#define ZORVLOG_ENTRYFORMAT_H

#include "output/TextSink.h"
#include "read/LogEntry.h"
#include "read/SectionTime.h"

#include <string>
#include <string_view>

namespace zorvlog {

// An entry as one JSON object (members in a fixed order, documented in
// log-format.md), with "key" last when one is given, and no line end; its
// timestamp reckoned by the reader's clock.
void writeEntryJson(TextSink& out, const LogEntry& entry, std::string_view source,
                    SectionClock& clock, std::string_view key = std::string_view());

// An entry as one row of the plain table, under tableHeading(), without its
// line end; every value shown as it may reach a terminal (TerminalText.h).
void writeEntryRow(TextSink& out, const LogEntry& entry);
// The row's last column alone: the record's keys and values, as
// "-o cat" prints it.
void writeEntryContent(TextSink& out, const LogEntry& entry);
std::string tableHeading();

// What to say of an entry cut at its size limit (LogEntry::truncated).
std::string truncationNote(const LogEntry& entry);

// The machine the record came from: its ComputerName where it names one,
// else this machine's name.
std::string_view entryHost(const LogEntry& entry);

// The syslog priority of an entry of that kind: 3 (err) for an error
// record, 6 (info) for a performance row, 7 (debug) for a debug record, 5
// (notice) for every other entry. The journal's PRIORITY, JSON's
// "severity" and the --priority filter all read it from here.
int entryPriority(LogEntry::Kind kind);
// syslog's name of a priority from 0 to 7: "emerg", "alert", "crit", "err",
// "warning", "notice", "info", "debug".
const char* priorityName(int priority);
// The name of the entry's priority.
const char* entrySeverity(const LogEntry& entry);

// The entry's kind as the output names it: "error", "pairs", "debug",
// "perf" or "text".
const char* entryKindName(LogEntry::Kind kind);

} // namespace zorvlog

#endif
