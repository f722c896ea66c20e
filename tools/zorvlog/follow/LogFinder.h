#ifndef ZORVLOG_LOGFINDER_H
#define ZORVLOG_LOGFINDER_H

#include "follow/LogPattern.h"

#include <set>
#include <string>
#include <vector>

namespace zorvlog {

// The follower's patterns and the logs they found: it looks at the patterns'
// directories again as soon as inotify reports a name made, moved or deleted,
// or every second where inotify cannot watch them (a directory not made
// yet, no instance or watch left). How many logs it hands out is bounded by
// the process's descriptors, each log taking a few; where that bound is
// reached it says so once and takes more as descriptors come free.
class LogFinder {
public:
    // `known`: the logs followed already; `exclude`: a file never to take
    // (the state).
    LogFinder(std::vector<LogPattern> patterns, const std::vector<std::string>& known,
              std::string exclude);
    ~LogFinder();
    LogFinder(const LogFinder&) = delete;
    LogFinder& operator=(const LogFinder&) = delete;

    // To wait on; -1 when there is nothing to wait for.
    int fd() const { return mFd; }
    // Whether the patterns are looked at every second.
    bool polled() const { return !mPatterns.empty() && mPolled; }
    // Reads what inotify reported: the patterns are to be looked at.
    void drain();
    // Whether to look at the patterns now (`pollTime`: a second passed).
    bool due(bool pollTime);
    // The logs the patterns take that were not handed out before, now held
    // as known.
    std::vector<std::string> newLogs();
    // Handed out and not taken after all: to be found again.
    void forget(const std::vector<std::string>& logs);

private:
    std::vector<LogPattern> mPatterns;
    std::set<std::string> mKnown;
    std::string mExclude;
    int mFd = -1;
    bool mPolled = false, mDue = false, mLimitSaid = false;
};

} // namespace zorvlog

#endif
