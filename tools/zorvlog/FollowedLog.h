#ifndef ZORVLOG_FOLLOWEDLOG_H
#define ZORVLOG_FOLLOWEDLOG_H

#include "FollowState.h"
#include "LogEntry.h"
#include "RecordGrouper.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace zorvlog {

// One log followed across rotation. A log goes through generations: the file
// at its path until it is renamed (or removed, or emptied), then the next one.
// Generations are told apart by file identity (device and inode), so a
// generation renamed away is read to its end through the descriptor already
// open on it, whatever it is called by then; its successor is opened as soon
// as it shows at the path, and read once the old one has gone 2 s without a
// change, time for the writes of writers that opened it before the rename.
//
// A generation's place is kept as a FollowPosition. On a restart the
// generation it names is looked for at the path and among the rotated files
// beside it (same name with a suffix: "a.log.1", "a.log-20261206.gz"), plain
// or gzip-compressed, and recognised by the CRC-32 of the bytes read; the
// rotated files written after it are read next, oldest first, then the file
// at the path.
class FollowedLog {
public:
    using Clock = std::chrono::steady_clock;
    // Each record with its key, once position() has moved past it.
    using Emit = std::function<void(const LogEntry&, const std::string& key)>;
    // The position moved on to another generation without a record.
    using Moved = std::function<void()>;

    FollowedLog(const std::string& path, Emit emit, Moved moved, const FollowPosition* resume);
    ~FollowedLog();

    // Reads what has come, follows a rotation. False when there was nothing
    // to do (the caller may sleep).
    bool poll();

    const std::string& path() const { return mPath; }
    const FollowPosition& position() const { return mPosition; }

private:
    struct Generation;
    struct LineEnd {
        std::uint64_t end = 0, line = 0;
        std::uint32_t crc = 0;
    };

    std::unique_ptr<Generation> openGeneration(const std::string& file, bool quiet);
    void resumeAt(const FollowPosition& resume);
    void startOn(std::unique_ptr<Generation> generation, bool announce);
    bool readSome(Clock::time_point now);
    void feed(const std::string& line, std::uint64_t offset, bool terminated,
              Clock::time_point now);
    void handOut(const LogEntry& entry);
    void watchPath();
    void followCopy();
    bool rewritten();
    bool mayFinish() const;
    void finishCurrent();
    bool atPath(const Generation& generation) const;
    void note(const std::string& text);

    std::string mPath;
    Emit mEmit;
    Moved mMoved;
    RecordGrouper mGrouper;
    std::unique_ptr<Generation> mCurrent;
    bool mAtPath = false; // the current generation is the file at the path
    bool mAtEnd = false;  // the last read reached the end of what there is
    bool mBroken = false; // the current generation cannot be read further
    std::deque<std::unique_ptr<Generation>> mQueue; // seen, to be read after it
    // Where records may end: the line just added, the one before it, and
    // the ends of entries still held by the grouper.
    LineEnd mLastLine, mLineBefore;
    std::deque<LineEnd> mEntryEnds;
    FollowPosition mPosition;
    Clock::time_point mLastData;
    dev_t mRefusedDev = 0;
    ino_t mRefusedIno = 0;
    std::string mLastNote;
};

} // namespace zorvlog

#endif
