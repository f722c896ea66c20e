#ifndef ZORVLOG_FOLLOWEDLOG_H
#define ZORVLOG_FOLLOWEDLOG_H

#include "follow/FollowState.h"
#include "follow/Generation.h"
#include "follow/GenerationChain.h"
#include "follow/GenerationOpen.h"
#include "follow/Watches.h"
#include "read/RotationNames.h"

#include <chrono>
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
// minute (GenerationChain.h); the next one is read at once meanwhile. Only
// the log's own files are read (GenerationOpen.h); damage is reported and
// passed.
//
// Where the follower stands in the log is its phase:
// - kResuming: a state kept positions for the log. The first next() looks
//   for the files they were taken in (resume()) and reads on from there:
//   kAtPath, kCatchingUp, or kWaiting when none of them is found.
// - kBeforeLog: started while the log did not exist; the generations beside
//   it then are older than anything it is to read. When the file at the path
//   appears, the oldest generation rotated away meanwhile is read first
//   (kCatchingUp), else the file itself (kAtPath).
// - kWaiting: no generation held; the file at the path is read from its
//   start when it appears (kAtPath).
// - kLastRecords: as kWaiting, but the file is read from its last N records.
// - kAtPath: reading the file at the path. Found at its end no longer at the
//   path, it was rotated away: kCatchingUp, and on to the next generation if
//   there is one. Found with bytes read changed: a copy beside it that holds
//   them is read on (kInCopy); otherwise it was changed in place (damage,
//   still kAtPath) or emptied, and its new content is read (kAtPath, or
//   kWaiting while it is gone).
// - kCatchingUp: reading a generation rotated away; at its end the one after
//   it in the rotation's order is taken up, and last the file at the path
//   (kAtPath).
// - kInCopy: reading the copy of the file at the path that was made before
//   the file was emptied; at its end, as kCatchingUp.
// Every move from one generation to the next goes through takeOver(), which
// sets the phase from where the new one is; the other moves are named above.
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
    Clock::time_point wakeAt() const { return mChain.wakeAt(); }
    // Whether the positions changed without a record (a generation begun or
    // left) since the last call.
    bool moved();

    // The memory its inputs' buffers take, most of it lines not yet whole;
    // and letting go of them, to be read again when the files grow.
    std::size_t held() const { return mChain.held(); }
    void letGo() { mChain.letGo(); }

    const std::string& path() const { return mPath; }
    // The generation read, the one before it and those watched, for the state.
    std::vector<FollowPosition> positions() const { return mChain.positions(); }
    // What a status report shows of it.
    const LogStatus& status();

private:
    using GenerationPtr = GenerationChain::GenerationPtr;
    enum class Phase {
        kResuming,
        kBeforeLog,
        kWaiting,
        kLastRecords,
        kAtPath,
        kCatchingUp,
        kInCopy
    };

    GenerationPtr start(GenerationPtr first);
    GenerationPtr lastRecords(GenerationPtr first);
    void rememberOldGenerations();
    GenerationPtr oldestNewGeneration();
    void resume();
    int openCompressed(const RotatedFile& file, struct stat& st) const;
    void readOnWithout(const FollowPosition& at, const std::vector<RotatedFile>& chain);
    GenerationPtr find(const std::vector<std::string>& candidates, const FollowPosition& at,
                       bool* changed);
    void placeAfterPrevious(const std::vector<RotatedFile>& chain);
    void readFirstOf(const std::vector<RotatedFile>& chain, std::size_t from);
    bool lookAtPath(Clock::time_point now);
    bool moveOn(Clock::time_point now);
    std::vector<std::string> successors(const std::vector<RotatedFile>& chain);
    int locate(const std::vector<RotatedFile>& chain) const;
    void takeOver(GenerationPtr next, Clock::time_point now);
    Phase phaseOfCurrent() const;
    void followCopy(Clock::time_point now);
    void damaged(Generation& generation);
    GenerationPtr open(const std::string& file, bool quiet);
    void watchDirectory();
    std::vector<RotatedFile> chain(std::vector<std::pair<std::string, std::string>>* unreadable);
    void note(const std::string& file, const std::string& text);

    std::string mPath;
    TrustedOwners mOwners;
    bool mAccepted = false; // a generation was accepted: its owner is trusted
    Stopping mStopping;
    LogWatch mWatch;
    std::string mOlddir;
    int mDirectory = -1; // the log's directory, as opened and watched
    Phase mPhase = Phase::kWaiting;
    long mLastN;                         // in kLastRecords: how many
    std::vector<FollowPosition> mResume; // in kResuming: the positions kept
    // In kBeforeLog: the generations beside the log at the start, by
    // identity and head.
    std::vector<FollowPosition> mOld;
    GenerationChain mChain;
    Generation* mFrom = nullptr; // the generation of the record next() gave
    bool mMore = false, mMoved = false;
    LogStatus mStatus;
    bool mTaken = false; // a record was taken since status() was asked
    // What was said about the generation read, each said once.
    std::set<std::string> mSaid;
    bool mSaidWaiting = false; // "waiting for it to appear", said once however often
};

} // namespace zorvlog

#endif
