#ifndef ZORVLOG_RECORDGROUPER_H
#define ZORVLOG_RECORDGROUPER_H

#include "read/LogEntry.h"
#include "read/LogInput.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvlog {

// Turns the lines of a log into entries as they arrive, for a file read once
// and for a file followed as it grows alike. Every line the library writes
// starts with a section (zorvshared/LineFormat.h); a line that does not is the
// tail of a value that held a line break and belongs to the line before it.
// The format escapes nothing, so a payload is split the only way it can be:
// key/value lines at "," and the first "=", item lines at their separator.
// The lines of one error record, consecutive and under one section, become
// one entry.
//
// An empty line is passed over: a writer that finds the file's last line
// without its LF starts its record on a line of its own, which leaves an empty
// line when that line was being completed at the time. Between two lines of
// one value it is the value's, so only a value's trailing line breaks are lost.
//
// An entry is handed on once the lines after it show that it is whole, so
// at most one error record's lines are held: memory is bounded by the
// longest record, which is cut (LogEntry::truncated) at kMaxRecord bytes.
// Which entries the lines make depends on no more than the few entries
// before them (an error record's seven lines): a reader that starts in the
// middle of a file groups alike from kContext entries on.
class RecordGrouper {
public:
    // The entry is the grouper's: it is emptied and filled again once the
    // sink returns.
    using Sink = std::function<void(LogEntry&)>;

    static constexpr std::size_t kMaxRecord = LogInput::kMaxLine;
    static constexpr std::size_t kContext = 16;

    // Entries go to sink in input order; firstLine numbers the first line
    // added (a reader that resumes in the middle of a file says where; 0
    // numbers none).
    explicit RecordGrouper(Sink sink, std::uint64_t firstLine = 1);

    // One line as the input gave it. Its text is taken (the line gets a
    // buffer back).
    void addLine(LogInput::Line& line);

    // The input ended, or went quiet for good: everything held is whole.
    // Lines added afterwards start afresh.
    void finish();

    // The input paused at a line's end: the last line is handed on too when
    // it shows its own end (a debug record or performance row, which end in
    // their separator; the version line that completes an error record),
    // rather than waiting for the line after it.
    void handOnVisible();

    bool holding() const { return mOpen || mHeldCount > 0; }
    // The bytes of the lines held.
    std::size_t holdingBytes() const { return heldBytes() + (mOpen ? mOpenEntry.text.size() : 0); }
    // The lines added so far, from the first line's number on.
    std::uint64_t linesAdded() const { return mLinesAdded; }

private:
    void closeOpen();
    // Moves the open entry to the held ones.
    void hold();
    void settle(bool final);
    void emitRecord(std::size_t count, bool hasReason, bool hasVersion);
    std::size_t heldBytes() const;

    Sink mSink;
    std::uint64_t mNextLine;
    std::uint64_t mLinesAdded = 0;
    // The entry of the last line with a section, still open to tails, and
    // where its payload starts.
    bool mOpen = false;
    LogEntry mOpenEntry;
    std::size_t mPayload = 0;
    char mSeparator = 0;
    // Empty lines since the last line.
    std::size_t mBlank = 0;
    // Closed entries that may still be the start of an error record: the
    // first mHeldCount; the others are spare, with their buffers.
    std::vector<LogEntry> mHeld;
    std::size_t mHeldCount = 0;
    // Of the held entries, how many are known to fit the start of an error
    // record (matchRecord).
    std::size_t mFitting = 0;
};

// Whether a line starts with a section (process id, date and time).
bool startsWithSection(std::string_view line);

} // namespace zorvlog

#endif
