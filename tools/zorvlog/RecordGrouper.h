#ifndef ZORVLOG_RECORDGROUPER_H
#define ZORVLOG_RECORDGROUPER_H

#include "LogEntry.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zorvlog {

// Turns the lines of a log into entries as they arrive, for a file read once
// and for a file followed as it grows alike. Every line the library writes
// starts with a section (process id, date, time, joined by a tab or a comma);
// a line that does not is the tail of a value that held a line break and
// belongs to the line before it. The format escapes nothing, so a payload is
// split the only way it can be: key/value lines at "," and the first "=",
// item lines at their separator. The lines of one error record, consecutive
// and under one section, become one entry.
//
// An entry is handed on once the lines after it show that it is whole, so
// at most one error record's lines are held: memory is bounded by the
// longest record, not by the input.
class RecordGrouper {
public:
    using Sink = std::function<void(LogEntry&)>;

    // Entries go to sink in input order; firstLine numbers the first line
    // added (a reader that resumes in the middle of a file says where).
    explicit RecordGrouper(Sink sink, std::uint64_t firstLine = 1);

    // One line without its LF, starting at byte `offset` of the input;
    // `terminated` false for a torn last line that has no LF. Returns whether
    // the line starts an entry (false: it continues the one before), so the
    // line before it may end one.
    bool addLine(const std::string& line, std::uint64_t offset, bool terminated = true);

    // The input ended, or went quiet for good: everything held is whole.
    // Lines added afterwards start afresh.
    void finish();

    bool holding() const { return mOpen || !mHeld.empty(); }

private:
    void closeOpen();
    void settle(bool final);

    Sink mSink;
    std::uint64_t mNextLine;
    // The entry of the last line with a section, still open to tails.
    bool mOpen = false;
    LogEntry mOpenEntry;
    char mSeparator = 0;
    std::string mPayload;
    // Closed entries that may still be the start of an error record.
    std::vector<LogEntry> mHeld;
};

} // namespace zorvlog

#endif
