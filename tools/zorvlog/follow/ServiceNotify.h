#ifndef ZORVLOG_SERVICENOTIFY_H
#define ZORVLOG_SERVICENOTIFY_H

#include "follow/FollowState.h"

#include <chrono>
#include <string>
#include <vector>

namespace zorvlog {

// What a service manager learns of a running follower through its notify
// socket (NOTIFY_SOCKET): READY=1 once the follower had its first look at
// its logs, a one-line STATUS= at most once a second, and WATCHDOG=1 while
// the loop comes round, when the manager asks for it (WATCHDOG_USEC).
// Without a notify socket every call does nothing.
class ServiceNotify {
public:
    ServiceNotify();

    // After each look at the logs: READY=1 the first time, the status when
    // it changed and a second passed, WATCHDOG=1 when it is due.
    // outputTrouble: why the output took no records, empty while it takes
    // them.
    void round(const std::vector<std::string>& paths,
               const std::vector<std::vector<FollowPosition>>& positions,
               const std::string& outputTrouble);
    // WATCHDOG=1 when half the manager's interval passed since the last one;
    // called by every wait too.
    void alive();
    // The longest a wait may last before alive() is due: -1 without a
    // watchdog.
    int pauseMs() const;

private:
    using Clock = std::chrono::steady_clock;

    bool mActive = false, mReady = false;
    std::chrono::microseconds mWatchdog{0};
    Clock::time_point mLastAlive, mLastStatus;
    Clock::time_point mTroubleSince;
    std::string mTrouble, mStatus;
};

} // namespace zorvlog

#endif
