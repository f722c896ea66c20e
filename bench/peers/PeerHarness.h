#ifndef ZORV_PEER_HARNESS_H
#define ZORV_PEER_HARNESS_H

// The pieces the peer comparison is built from: the floor every logger is
// measured against, a locked floor for several processes, a record of our own
// that writes three lines, and a runner that lets several processes write one
// file at once. Kept apart from the benchmark programs so that the tests can
// check that what is measured is what the report says is measured.

#include <zorv/ZorvLoggable.h>

#include "BenchSupport.h"
#include <chrono>
#include <functional>
#include <pthread.h>

#include <string>
#include <vector>

namespace zorvpeers {

using Clock = std::chrono::steady_clock;

// The message every logger in the comparison writes, and the component our
// debug record names; the peers' layouts put the same fields on their lines.
extern const char* const kMessage;
extern const char* const kComponent;

// The directory of our debug log, where every contender's file goes: opening a
// path costs a step per component, and no contender should pay for a longer
// one. Exits when the debug logger has no file.
std::string debugLogDirectory(const std::string& debugPath);

// A fresh directory under /tmp for the run, removed with its contents.
// The floor plus what the torn-tail rule needs when another process may have
// written since: find the end, read the last byte (without touching the access
// time), and put a LF before the record when that byte is not one.
bool floorWriteCheckingTail(const std::string& path, const std::string& bytes);

// A robust, process-shared mutex in an anonymous shared mapping: every child
// forked after construction shares it, and a holder that dies does not stall
// the others (the next locker makes it consistent again).
class SharedRobustMutex {
public:
    SharedRobustMutex();
    ~SharedRobustMutex();
    SharedRobustMutex(const SharedRobustMutex&) = delete;
    SharedRobustMutex& operator=(const SharedRobustMutex&) = delete;
    bool valid() const { return mMutex != nullptr; }
    bool lock();
    void unlock();

private:
    pthread_mutex_t* mMutex = nullptr;
};

// The floor's three calls under the mutex, held from before open to after
// close, as our logger holds its named mutex.
bool lockedFloorWrite(SharedRobustMutex& mutex, const std::string& path, const std::string& bytes);
bool lockedFloorTailWrite(SharedRobustMutex& mutex, const std::string& path,
                          const std::string& bytes);

// A record as a client would write it: three key/value lines.
class ThreeLineRecord : public ZorvLoggable {
public:
    ThreeLineRecord();
    void dumpTechSupport(ZorvLogger* logger) const override;
};

// The disabled path's yardstick: what a logger that is switched off must at
// least do, a virtual call that tests a pointer and a flag. Defined in its own
// source file, so that the compiler cannot prove the call's target and turn
// it into a direct one (ours is a virtual call into the library).
class FlagTestLogger {
public:
    virtual ~FlagTestLogger();
    virtual void log(ZorvLoggable* record);
    bool mEnabled = false;
    long mWritten = 0;
};

std::string readAll(const std::string& path);
bool truncateFile(const std::string& path);

// What one log call of `logOnce` puts into the file at `path`: the file is
// emptied, the call made, and what it wrote returned. Used to hand the floor
// exactly the bytes our record writes (same section, same length).
std::string captureBytes(const std::string& path, const std::function<void()>& logOnce);

// Whether a line has the shape every logger of the comparison is set up to
// write: pid, date, time, component, message, each followed by a tab (the
// line itself without its LF).
bool isComparisonLine(const std::string& line);

struct LineCount {
    long lines = 0;     // complete lines
    long malformed = 0; // complete lines that fail the check
    bool torn = false;  // the file ends in a line without LF
};
LineCount countLines(const std::string& path, const std::function<bool(const std::string&)>& ok);

// Several processes writing one file at once. Every child is forked, builds
// its writer with `setup` (so each has its own logger, as separate programs
// would), reports ready and waits; when all are ready they are released
// together and each calls its writer `perProcess` times, then exits. The time
// runs from the release to the exit of the last child.
using Writer = std::function<bool()>;
struct ProcessRound {
    bool ok = false;         // every child set up, wrote every record and exited 0
    double seconds = 0.0;    // release to last exit
    long records = 0;        // processes * perProcess when ok
    double cpuSeconds = 0.0; // user and system time of all children together
    double recordsPerSecond() const { return ok && seconds > 0.0 ? records / seconds : 0.0; }
};
ProcessRound runProcessRound(int processes, long perProcess, const std::function<Writer()>& setup);

// Times contenders side by side: each round runs every contender once, the
// starting one moving on by one each round, so that none always runs right
// after the same other one (cache, page cache and scheduler effects even out).
// Both the elapsed time and the CPU time of the calling thread (user and
// system) are taken: on a machine loaded by other work the elapsed time also
// counts the moments this thread waited for a processor, the CPU time does not.
class Rotation {
public:
    explicit Rotation(std::vector<std::function<void()>> contenders);
    void round();
    long rounds() const { return mRounds; }
    // Mean elapsed nanoseconds per call of contender i.
    double meanNs(std::size_t i) const;
    // Mean CPU nanoseconds per call of contender i, the cost of reading the
    // CPU clock itself taken off.
    double meanCpuNs(std::size_t i) const;

private:
    std::vector<std::function<void()>> mContenders;
    std::vector<double> mTotalNs;
    std::vector<double> mTotalCpuNs;
    double mCpuClockNs = 0.0;
    long mRounds = 0;
};

// CPU time of the calling thread, user and system, in nanoseconds.
double threadCpuNs();

} // namespace zorvpeers

#endif
