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
std::string tableHeading();

// What to say of an entry cut at its size limit (LogEntry::truncated).
std::string truncationNote(const LogEntry& entry);

// The machine the record came from: its ComputerName where it names one,
// else this machine's name.
std::string_view entryHost(const LogEntry& entry);

// "err" for an error record, "debug", "info" for a performance row, "notice"
// for every other entry (syslog's names).
const char* entrySeverity(const LogEntry& entry);

// The entry's kind as the output names it: "error", "pairs", "debug",
// "perf" or "text".
const char* entryKindName(LogEntry::Kind kind);

} // namespace zorvlog

#endif
