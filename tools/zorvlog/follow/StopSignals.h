#ifndef ZORVLOG_STOPSIGNALS_H
#define ZORVLOG_STOPSIGNALS_H

namespace zorvlog {

// SIGTERM, SIGINT and SIGHUP, read from a descriptor so that the follower
// waits for them beside its files and its output. Made, they are blocked for
// the whole process: they stop the follower only where it looks.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // To wait on for reading.
    int fd() const { return mFd; }
    // Whether one came, now or before.
    bool stopped();

private:
    int mFd;
    bool mStopped = false;
};

} // namespace zorvlog

#endif
