#ifndef ZORVLOG_GENERATION_H
#define ZORVLOG_GENERATION_H

#include "follow/FollowState.h"
#include "read/LogEntry.h"
#include "read/LogInput.h"
#include "read/RecordGrouper.h"

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <sys/stat.h>

namespace zorvlog {

// A whole record of a generation, ready to be handed out: its key, and where
// the generation stands once it is taken.
struct ReadyRecord {
    LogEntry entry;
    std::string key;
    FollowPosition after;
};

// One generation of a followed log, open: its lines grouped into records as
// they are read, each ready with its key once it is whole. It is read
// through its descriptor, whatever it is called meanwhile, and keeps where
// the last record taken from it ended (position()), recognisable later by
// the CRC-32s.
class Generation {
public:
    using Clock = std::chrono::steady_clock;
    // Something to say about the file at `path`.
    using Note = std::function<void(const std::string& path, const std::string& text)>;

    // Takes the descriptor of the file found at path, which stat describes.
    // `before` is mixed into the identity of the records' keys: the identity
    // of the generation that had the same file before it was emptied in place.
    Generation(int fd, const struct stat& st, const std::string& path, Note note,
               const std::string& before = std::string());

    // Whether the file starts with the bytes a position was taken in (its
    // CRC-32s); if so reading goes on from there and position() is it. False
    // too when `stopping` says so while it reads.
    bool resumeAt(const FollowPosition& at, const std::function<bool()>& stopping);

    // The next whole record, read as far as needed; null when none is ready
    // (more() then says whether reading was only paused). It stays the next
    // one until taken.
    const ReadyRecord* next(Clock::time_point now);
    // The record next() gave is handed out: position() moves past it.
    void take();
    bool more() const { return mMore; }
    // Makes ready what is held once nothing has come for a while: the record
    // waiting for the line after it, and, when `final` (nobody completes it
    // any more), a torn last line.
    void settle(Clock::time_point now, bool final);
    // When settle() would make something ready; max() when nothing is held.
    Clock::time_point quietAt() const;
    // Makes ready everything held at once: nothing more will be read.
    void finish();
    // Makes ready the records held whose lines are all there, now: the
    // generation is left for the next one.
    void leave();

    bool atEnd() const { return mAtEnd; }
    bool broken() const { return mBroken; }
    bool is(const struct stat& st) const { return st.st_dev == mDev && st.st_ino == mIno; }
    // Whether the file at the path, which this is, was emptied since it was
    // read. Bytes already read that differ now are named once as damage.
    bool emptiedInPlace(const struct stat& st);
    const FollowPosition& position() const { return mPosition; }
    // Everything read so far (not only what was handed out), as a position.
    FollowPosition readSoFar() const;
    LogInput& input() { return mInput; }
    const std::string& path() const { return mPath; }
    const std::string& id() const { return mPosition.id; }
    // Until when it is watched for late writes, once rotated away.
    Clock::time_point watchUntil;

private:
    void feed(LogInput::Line& line);
    void ready(LogEntry& entry);
    void note(const std::string& text) { mNote(mPath, text); }

    LogInput mInput;
    RecordGrouper mGrouper;
    std::deque<ReadyRecord> mReady;
    ReadyRecord mSpare;     // the buffers of the last record taken, for the next
    FollowPosition mReadTo; // where the last record made ready ends
    Note mNote;
    std::string mPath;
    dev_t mDev;
    ino_t mIno;
    std::string mSeed; // inode and birth time, and `before`, for the identity
    FollowPosition mPosition;
    LogInput::Line mLine;
    bool mAtEnd = false, mBroken = false, mMore = false, mDamageSaid = false;
    Clock::time_point mLastData;
};

} // namespace zorvlog

#endif
