#ifndef ZORVLOG_GENERATION_H
#define ZORVLOG_GENERATION_H

#include "follow/FollowState.h"
#include "follow/GenerationMark.h"
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
// the last record taken from it ended (position()), with the marks that
// recognise it later (GenerationMark.h). Before it reads on from where it
// stopped at the end, it checks that the bytes just before are still those
// it read (changed() says when they are not).
class Generation {
public:
    using Clock = std::chrono::steady_clock;
    // Something to say about the file at `path`.
    using Note = std::function<void(const std::string& path, const std::string& text)>;
    // How a file holds the generation a position was taken in.
    enum Match { kNone, kSame, kChanged };

    // Takes the descriptor of the file found at path, which stat describes.
    Generation(int fd, const struct stat& st, const std::string& path, Note note);

    // Whether the file is the generation a position was taken in and still
    // holds the bytes before it: the same fingerprint and window (or, in a
    // position without them, the same CRC-32s); if so reading goes on from
    // there and position() is it. kChanged: the same fingerprint, other
    // bytes before the position; with `evenChanged` reading goes on from
    // there all the same (damage). kNone too when `stopping` says so.
    Match resumeAt(const FollowPosition& at, const std::function<bool()>& stopping,
                   bool evenChanged = false);

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
    // Whether bytes already read differ in the file now (it was emptied,
    // copied over, or damaged): nothing more is read until accepted.
    bool changed() const { return mChanged; }
    // The first byte found to differ.
    std::uint64_t changedAt() const { return mChangedAt; }
    // Whether the file starts with the generation's first line still.
    bool sameStart(const std::function<bool()>& stopping) const;
    // The changed bytes are damage: reading goes on after what was read.
    void acceptChange();
    // The file holds other content: what is held whole is made ready, and
    // nothing more is read from it.
    void abandon();
    const FollowPosition& position() const;
    // Everything read so far (not only what was handed out), as a position.
    FollowPosition readSoFar() const;
    LogInput& input() { return mInput; }
    const std::string& path() const { return mPath; }
    bool identified() const { return mPosition.printLength > 0; }
    // Once rotated away, it is watched for late writes for `time` from `now`
    // (zero: only until what it holds is handed out).
    void watchFor(Clock::time_point now, Clock::duration time) { mWatchUntil = now + time; }
    Clock::time_point watchedUntil() const { return mWatchUntil; }
    bool watchOver(Clock::time_point now) const { return now >= mWatchUntil; }

private:
    void feed(LogInput::Line& line);
    void ready(LogEntry& entry);
    bool stillHolds();
    void note(const std::string& text) { mNote(mPath, text); }

    LogInput mInput;
    RecordGrouper mGrouper;
    std::deque<ReadyRecord> mReady;
    ReadyRecord mSpare; // the buffers of the last record taken, for the next
    Note mNote;
    std::string mPath;
    dev_t mDev;
    ino_t mIno;
    // Its window's CRC-32 is made when asked for (once per save, not per
    // record), from the window's bytes kept when the record was taken.
    mutable FollowPosition mPosition;
    mutable bool mWindowPending = false;
    char mWindowBytes[kWindow];
    LogInput::Line mLine;
    LineWindow mWindows[2];         // of the last two lines read, the newest last
    std::uint64_t mTrustedFrom = 0; // bytes before it are not checked again
    std::uint64_t mChangedAt = 0;
    bool mAtEnd = false, mBroken = false, mMore = false, mChanged = false;
    Clock::time_point mLastData;
    Clock::time_point mWatchUntil;
};

} // namespace zorvlog

#endif
