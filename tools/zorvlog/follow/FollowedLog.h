#ifndef ZORVLOG_FOLLOWEDLOG_H
#define ZORVLOG_FOLLOWEDLOG_H

#include "follow/FollowState.h"
#include "follow/Generation.h"
#include "follow/GenerationOpen.h"
#include "follow/Watches.h"
#include "read/RotationNames.h"

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace zorvlog {

// One log followed across rotation, as a chain of generations: the file at
// its path until it is rotated away, then the next one. Whenever it looks,
// however late, the generation it read last is found in the chain by its
// identity (GenerationMark.h: the fingerprint of its first line and the
// window before the position; device and inode only say that a file held
// open is the same), and every generation after it is read to its end in the
// rotation's order (RotationNames.h), oldest first, then the file at the
// path. A generation of which nothing was read is placed by the one read
// before it. A generation rotated away is watched for late writes for a
// minute; the next one is read at once meanwhile. Only the log's own files
// are read (GenerationOpen.h); damage is reported and passed.
class FollowedLog {
public:
    using Clock = Generation::Clock;
    // Whether the follower is asked to stop, for the long reads of a restart.
    using Stopping = std::function<bool()>;

    // Resumes at the positions kept for the log, when there are any;
    // otherwise reads the file at the path from its start, or, with lastN of
    // 0 or more, from its last lastN records. The log's directory and
    // every generation held open are watched through `watch`. Generations
    // are looked for beside the log and in `olddir` (see rotatedFiles()).
    FollowedLog(const std::string& path, const TrustedOwners& owners,
                const std::vector<FollowPosition>* resume, Stopping stopping,
                LogWatch watch = LogWatch(), long lastN = -1,
                const std::string& olddir = std::string());
    ~FollowedLog();

    // The next whole record of the chain, read as far as needed, across a
    // rotation; null when none is ready now (more() then says whether there
    // is more to read at once). It stays the next one until taken.
    const ReadyRecord* next();
    // The record next() gave is handed out: the positions move past it.
    void take();
    bool more() const { return mMore; }
    // Makes ready what quiet shows to be whole, and ends the watches of
    // generations whose time is up; at the times wakeAt() names.
    void settle();
    // When settle() has something to do; max() when nothing.
    Clock::time_point wakeAt() const;
    // Whether the positions changed without a record (a generation begun or
    // left) since the last call.
    bool moved();

    // The memory its inputs' buffers take, most of it lines not yet whole;
    // and letting go of them, to be read again when the files grow.
    std::size_t held() const;
    void letGo();

    const std::string& path() const { return mPath; }
    // The generation read, the one before it and those watched, for the state.
    std::vector<FollowPosition> positions() const;
    // What a status report shows of it.
    const LogStatus& status();

private:
    using GenerationPtr = std::unique_ptr<Generation>;

    void resume();
    GenerationPtr lastRecords(GenerationPtr first);
    void rememberOldGenerations();
    GenerationPtr oldestNewGeneration();
    GenerationPtr find(const std::vector<std::string>& candidates, const FollowPosition& at,
                       bool* changed);
    void placeAfterPrevious(const std::vector<RotatedFile>& chain);
    void damaged(Generation& generation);
    GenerationPtr open(const std::string& file, bool quiet);
    bool lookAtPath(Clock::time_point now);
    bool moveOn(Clock::time_point now);
    std::vector<std::string> successors(const std::vector<RotatedFile>& chain);
    int locate(const std::vector<RotatedFile>& chain) const;
    bool known(const Generation& generation) const;
    void takeOver(GenerationPtr next, Clock::time_point now);
    void retire(GenerationPtr generation, Clock::time_point now);
    void followCopy(Clock::time_point now);
    void watchDirectory();
    std::vector<RotatedFile> chain(std::vector<std::pair<std::string, std::string>>* unreadable);
    void note(const std::string& file, const std::string& text);

    std::string mPath;
    TrustedOwners mOwners;
    bool mAccepted = false; // a generation was accepted: its owner is trusted
    Stopping mStopping;
    LogWatch mWatch;
    long mLastN;
    std::string mOlddir;
    int mDirectory = -1;         // the log's directory, as opened and watched
    Generation* mFrom = nullptr; // the generation of the record next() gave
    bool mMore = false, mMoved = false;
    std::vector<FollowPosition> mResume;
    bool mResumePending = false;
    GenerationPtr mCurrent;
    bool mAtPath = false;
    std::deque<GenerationPtr> mWatched; // rotated away, watched for late writes
    // The generation read to its end before mCurrent (previous set once known).
    FollowPosition mPrevious;
    LogStatus mStatus;
    bool mTaken = false; // a record was taken since status() was asked
    // Started before the log existed: the generations rotated away meanwhile
    // are read first. Those that were there already, by identity and head.
    bool mFresh = false;
    std::vector<FollowPosition> mOld;
    std::set<std::string> mSaid;
    bool mWaitingSaid = false; // "waiting for it to appear", said once
};

} // namespace zorvlog

#endif
