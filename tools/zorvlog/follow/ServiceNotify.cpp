#include "follow/ServiceNotify.h"

#include "SystemCalls.h"

#include <cstdlib>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

namespace zorvlog {

namespace {

// How far the follower is from the end of a log: the live file's bytes after
// the position read in it, or all of them while an older generation is read.
std::uint64_t bytesBehind(const std::string& path, const std::vector<FollowPosition>& positions) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        return 0;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    for (const FollowPosition& position : positions) {
        if (!position.watched && position.dev == st.st_dev && position.ino == st.st_ino) {
            return position.offset < size ? size - position.offset : 0;
        }
    }
    return size;
}

} // namespace

ServiceNotify::ServiceNotify() {
    const char* socket = zorv_detail::environmentValue("NOTIFY_SOCKET");
    mActive = socket != nullptr && *socket != '\0';
    std::uint64_t usec = 0;
    if (mActive && ::sd_watchdog_enabled(0, &usec) > 0) {
        mWatchdog = std::chrono::microseconds(usec);
    }
}

void ServiceNotify::round(const std::vector<std::string>& paths,
                          const std::vector<std::vector<FollowPosition>>& positions,
                          const std::string& outputTrouble) {
    if (!mActive) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (outputTrouble != mTrouble) {
        if (mTrouble.empty()) {
            mTroubleSince = now;
        }
        mTrouble = outputTrouble;
    }
    if (!mReady || now - mLastStatus >= std::chrono::seconds(1)) {
        std::uint64_t behind = 0;
        for (std::size_t i = 0; i < paths.size() && i < positions.size(); ++i) {
            behind += bytesBehind(paths[i], positions[i]);
        }
        std::string status = "STATUS=" + std::to_string(paths.size()) +
                             (paths.size() == 1 ? " log, " : " logs, ") + std::to_string(behind) +
                             " bytes behind, output ";
        if (mTrouble.empty()) {
            status += "taking records";
        } else {
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(now - mTroubleSince).count();
            status += "retrying for " + std::to_string(seconds) + " s: " + mTrouble;
        }
        for (char& c : status) {
            c = c == '\n' ? ' ' : c;
        }
        if (!mReady || status != mStatus) {
            ::sd_notify(0, ((mReady ? "" : "READY=1\n") + status).c_str());
            mStatus = status;
            mLastStatus = now;
            mReady = true;
        }
    }
    alive();
}

void ServiceNotify::alive() {
    if (mWatchdog.count() == 0) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (now - mLastAlive >= mWatchdog / 2) {
        ::sd_notify(0, "WATCHDOG=1");
        mLastAlive = now;
    }
}

int ServiceNotify::pauseMs() const {
    if (mWatchdog.count() == 0) {
        return -1;
    }
    // A wait ends when WATCHDOG=1 is due and not before: an idle follower
    // wakes twice in the manager's interval for it, no more.
    const auto left = mLastAlive + mWatchdog / 2 - Clock::now();
    return static_cast<int>(
        std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

} // namespace zorvlog
