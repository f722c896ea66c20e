#include "follow/StopSignals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace zorvlog {

StopSignals::StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&set, sig);
    }
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    mFd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (mFd < 0) {
        throw std::runtime_error(std::string("cannot wait for signals: ") + std::strerror(errno));
    }
}

StopSignals::~StopSignals() {
    ::close(mFd);
}

bool StopSignals::stopped() {
    struct signalfd_siginfo info;
    while (!mStopped && ::read(mFd, &info, sizeof info) == sizeof info) {
        mStopped = true;
    }
    return mStopped;
}

} // namespace zorvlog
