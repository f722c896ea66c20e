#include "follow/LogFinder.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// Descriptors a log may hold (its directory, the generation read, one
// watched) and those the follower keeps for itself (output, state, signals,
// inotify, a generation opened to be looked at).
const long kPerLog = 3;
const long kSpare = 32;

long openDescriptors() {
    long count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

} // namespace

LogFinder::LogFinder(std::vector<LogPattern> patterns, const std::vector<std::string>& known,
                     std::string exclude)
    : mPatterns(std::move(patterns)), mKnown(known.begin(), known.end()),
      mExclude(std::move(exclude)) {
    if (mPatterns.empty()) {
        return;
    }
    mFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    mPolled = mFd < 0;
    for (const LogPattern& pattern : mPatterns) {
        mPolled = mPolled || ::inotify_add_watch(mFd, pattern.directory().c_str(),
                                                 IN_CREATE | IN_MOVED_TO | IN_DELETE |
                                                     IN_MOVED_FROM | IN_ONLYDIR) < 0;
    }
}

LogFinder::~LogFinder() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

void LogFinder::drain() {
    char events[4096];
    while (::read(mFd, events, sizeof events) > 0) {
        mDue = true;
    }
}

bool LogFinder::due(bool pollTime) {
    const bool now = mDue || (pollTime && polled());
    mDue = false;
    return now;
}

std::vector<std::string> LogFinder::newLogs() {
    std::vector<std::string> found;
    for (const LogPattern& pattern : mPatterns) {
        for (const std::string& log : pattern.logs()) {
            if (log != mExclude && mKnown.count(log) == 0) {
                found.push_back(log);
            }
        }
    }
    struct rlimit files;
    if (found.empty() || ::getrlimit(RLIMIT_NOFILE, &files) != 0 ||
        files.rlim_cur == RLIM_INFINITY) {
        mKnown.insert(found.begin(), found.end());
        return found;
    }
    const long room = (static_cast<long>(files.rlim_cur) - kSpare - openDescriptors()) / kPerLog;
    if (room < static_cast<long>(found.size())) {
        const std::size_t left = found.size() - static_cast<std::size_t>(room > 0 ? room : 0);
        found.resize(found.size() - left);
        if (!mLimitSaid) {
            std::fprintf(stderr,
                         "zorvlog follow: %zu more logs found are not followed: this follower's "
                         "%lu descriptors are taken; raise the limit of open files (LimitNOFILE=, "
                         "ulimit -Hn) or follow the logs in groups\n",
                         left, static_cast<unsigned long>(files.rlim_cur));
            mLimitSaid = true;
        }
    }
    mKnown.insert(found.begin(), found.end());
    return found;
}

void LogFinder::forget(const std::vector<std::string>& logs) {
    for (const std::string& log : logs) {
        mKnown.erase(log);
    }
}

} // namespace zorvlog
