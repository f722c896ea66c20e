#ifndef ZORVLOG_ENTRYFORMAT_H
#define ZORVLOG_ENTRYFORMAT_H

#include "LogEntry.h"
#include "TextSink.h"

#include <string>

namespace zorvlog {

// An entry as one JSON object (members in a fixed order, documented in
// log-format.md), with "key" last when one is given, and no line end.
void writeEntryJson(TextSink& out, const LogEntry& entry, const std::string& source,
                    const std::string& key = std::string());

// An entry as one row of the plain table, under tableHeading(), without its
// line end; every value shown as it may reach a terminal (TerminalText.h).
void writeEntryRow(TextSink& out, const LogEntry& entry);
std::string tableHeading();

// What to say of an entry cut at its size limit (LogEntry::truncated).
std::string truncationNote(const LogEntry& entry);

// The machine the record came from: its ComputerName where it names one,
// else this machine's name.
std::string entryHost(const LogEntry& entry);

// "err" for an error record, "debug", "info" for a performance row, "notice"
// for every other entry (syslog's names).
const char* entrySeverity(const LogEntry& entry);

} // namespace zorvlog

#endif
