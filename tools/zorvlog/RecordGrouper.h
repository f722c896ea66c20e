#ifndef ZORVLOG_RECORDGROUPER_H
#define ZORVLOG_RECORDGROUPER_H

#include "LogEntry.h"
#include "LogInput.h"

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
// An empty line is passed over: a writer that finds the file's last line
// without its LF starts its record on a line of its own, which leaves an empty
// line when that line was being completed at the time. Between two lines of
// one value it is the value's, so only a value's trailing line breaks are lost.
//
// An entry is handed on once the lines after it show that it is whole, so
// at most one error record's lines are held: memory is bounded by the
// longest record, which is cut (LogEntry::truncated) at kMaxRecord bytes.
class RecordGrouper {
public:
    using Sink = std::function<void(LogEntry&)>;

    static constexpr std::size_t kMaxRecord = LogInput::kMaxLine;

    // Entries go to sink in input order; firstLine numbers the first line
    // added (a reader that resumes in the middle of a file says where).
    explicit RecordGrouper(Sink sink, std::uint64_t firstLine = 1);

    // One line as the input gave it. The text of a long line is taken.
    void addLine(LogInput::Line& line);

    // The input ended, or went quiet for good: everything held is whole.
    // Lines added afterwards start afresh.
    void finish();

    bool holding() const { return mOpen || !mHeld.empty(); }
    // The lines added so far, from the first line's number on.
    std::uint64_t linesAdded() const { return mNextLine - 1; }

private:
    void closeOpen();
    // Moves the open entry to the held ones.
    void hold();
    void settle(bool final);
    // Appends to mPayload what fits in a record.
    void appendPayload(const char* text, std::size_t size);

    Sink mSink;
    std::uint64_t mNextLine;
    // The entry of the last line with a section, still open to tails.
    bool mOpen = false;
    LogEntry mOpenEntry;
    char mSeparator = 0;
    std::string mPayload;
    // Empty lines since the last line.
    std::size_t mBlank = 0;
    // Closed entries that may still be the start of an error record, and
    // the bytes of their values.
    std::vector<LogEntry> mHeld;
    std::vector<std::size_t> mHeldSizes;
    std::size_t mHeldBytes = 0;
};

// Whether a line starts with a section (process id, date and time).
bool startsWithSection(const std::string& line);

} // namespace zorvlog

#endif
