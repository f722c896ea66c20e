#ifndef ZORVLOG_FOLLOWEDLOG_H
#define ZORVLOG_FOLLOWEDLOG_H

#include "follow/FollowState.h"
#include "follow/Generation.h"
#include "follow/LogFileOpen.h"
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
// identity (device and inode) or, once compressed, by the CRC-32 of what was
// read, and every generation after it is read to its end in the rotation's
// order (RotationNames.h), oldest first, then the file at the path. A
// generation rotated away is watched for late writes for a minute; the next
// one is read at once meanwhile. Only the log's own files are read
// (LogFileOpen.h); damage is reported and passed.
class FollowedLog {
public:
    using Clock = Generation::Clock;
    // The log's positions changed without a record (a generation begun or
    // left): the state is to be written.
    using Moved = std::function<void()>;
    // Whether the follower is asked to stop, for the long reads of a restart.
    using Stopping = std::function<bool()>;

    // Resumes at the positions kept for the log, when there are any;
    // otherwise reads the file at the path from its start.
    FollowedLog(const std::string& path, const TrustedOwners& owners, Generation::Emit emit,
                Moved moved, const std::vector<FollowPosition>* resume, Stopping stopping);
    ~FollowedLog();

    // Reads what has come, follows a rotation. False when there was nothing
    // to do (the caller may sleep).
    bool poll();

    const std::string& path() const { return mPath; }
    // The generation read and those watched, for the state.
    std::vector<FollowPosition> positions() const;

private:
    using GenerationPtr = std::unique_ptr<Generation>;

    void resume();
    void rememberOldGenerations();
    GenerationPtr oldestNewGeneration();
    GenerationPtr find(const std::vector<std::string>& candidates, const FollowPosition& at);
    GenerationPtr open(const std::string& file, bool quiet);
    bool lookAtPath(Clock::time_point now);
    bool moveOn(Clock::time_point now);
    std::vector<std::string> successors(const std::vector<RotatedFile>& chain);
    int locate(const std::vector<RotatedFile>& chain) const;
    bool known(const Generation& generation) const;
    void takeOver(GenerationPtr next, Clock::time_point now);
    void retire(GenerationPtr generation, Clock::time_point now);
    void followCopy(Clock::time_point now);
    bool watch(Clock::time_point now);
    void note(const std::string& file, const std::string& text);

    std::string mPath;
    TrustedOwners mOwners;
    bool mAccepted = false; // a generation was accepted: its owner is trusted
    Generation::Emit mEmit;
    Moved mMoved;
    Stopping mStopping;
    std::vector<FollowPosition> mResume;
    bool mResumePending = false;
    GenerationPtr mCurrent;
    bool mAtPath = false;
    std::deque<GenerationPtr> mWatched; // rotated away, watched for late writes
    FollowPosition mEmptied;            // the generation of a file emptied in place
    // Started before the log existed: the generations rotated away meanwhile
    // are read first. Those that were there already, by identity and head.
    bool mFresh = false;
    std::vector<FollowPosition> mOld;
    std::set<std::string> mSaid;
};

} // namespace zorvlog

#endif
