#ifndef ZORVLOG_BACKWARDREADER_H
#define ZORVLOG_BACKWARDREADER_H

#include "read/LogEntry.h"
#include "read/LogInput.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zorvlog {

// The entries of a regular file of plain text, newest first, read from its
// end: "the last ten records" of a log of gigabytes costs a few blocks.
//
// The file is taken in pieces from its end. The entries that start in a
// piece are grouped by reading forward from RecordGrouper::kContext lines
// with a section before it (so that an error record's lines come together as
// they do for a reader from the start) to where the first entry of the piece
// after it starts, and handed out last first. Their line numbers are not
// known (0). Memory is bounded by a piece (at most kMaxPiece) and the
// longest record. Holes (a sparse file) are passed over, never read.
class BackwardReader {
public:
    // An entry; false stops the reading.
    using Sink = std::function<bool(LogEntry&)>;

    static constexpr std::size_t kFirstPiece = 64 * 1024;
    static constexpr std::size_t kMaxPiece = 1024 * 1024;

    // Takes a descriptor of the file (closed with the object) and its size;
    // the first piece is firstPiece bytes, each further one twice the last.
    BackwardReader(int fd, std::uint64_t size, LogInput::ZerosSeen zeros,
                   std::size_t firstPiece = kFirstPiece);
    ~BackwardReader();
    BackwardReader(const BackwardReader&) = delete;
    BackwardReader& operator=(const BackwardReader&) = delete;

    // Hands out the entries until the sink says stop or the start is
    // reached; false, with error() set, when the file cannot be read.
    bool read(const Sink& sink);
    const std::string& error() const { return mError; }

private:
    // The start of the line that holds the byte before `offset`, or offset
    // itself when a line starts there.
    bool lineStart(std::uint64_t offset, std::uint64_t& start);
    // Where grouping starts for entries from `start` on.
    bool contextStart(std::uint64_t start, std::uint64_t& from);
    // The entries that start in [start, end), oldest first, into mPiece.
    bool group(std::uint64_t from, std::uint64_t start, std::uint64_t end);
    bool block(std::uint64_t offset);
    // The end of the data at or before offset: holes hold no line break, so
    // a look back for one passes over them without reading them.
    std::uint64_t dataEnd(std::uint64_t offset);

    int mFd;
    std::uint64_t mSize;
    LogInput::ZerosSeen mZeros;
    std::size_t mFirstPiece;
    // A block of the file, for looking back for line starts.
    std::vector<char> mBlock;
    std::uint64_t mBlockAt = 0;
    // The file's data, as [start, end) ranges in order (the whole file where
    // the file system does not tell its holes); made at the first look back.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> mData;
    bool mMapped = false;
    std::vector<LogEntry> mPiece;
    std::size_t mPieceCount = 0;
    std::string mError;
};

} // namespace zorvlog

#endif
