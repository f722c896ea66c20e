#ifndef QET_TEST_HELPERS_H
#define QET_TEST_HELPERS_H

#include "support/TestSupport.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qettest {

// Generous bounds: the machine running the tests may be loaded.
constexpr int kWaitMs = 20000;
constexpr int kStartTimeoutMs = kWaitMs;
constexpr int kExitTimeoutMs = kWaitMs;

// IsolatedHome with a lock place of its own: QETs of different tests never
// meet through their instance lock or their log locks.
using QetHome = zorvtest::IsolatedLocks;

// ZORV_STRESS_SCALE (default 1) multiplies small, up to full.
long scaled(long small, long full);

// Polls cond until it holds or timeoutMs have passed.
bool waitFor(const std::function<bool()>& cond, int timeoutMs = kWaitMs);
// The same, running the Qt event loop meanwhile.
bool spinUntil(const std::function<bool()>& cond, int timeoutMs = kWaitMs);
// One offscreen QApplication for the in-process tests, made on first use.
void ensureApplication();

// A child with stdout and stderr in a file, inheriting our environment. Killed
// and reaped at destruction if still running.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return mPid; }
    void signal(int sig);
    // True once exited; *status is the exit code or 128 + signal.
    bool waitForExit(int timeoutMs, int* status);
    std::string output() const;

private:
    pid_t mPid;
    bool mReaped = false;
    std::string mOutputFile;
};

// A plain AF_UNIX stream client.
class RawClient {
public:
    explicit RawClient(const std::string& path);
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool isConnected() const { return mFd >= 0; }
    bool sendBytes(const std::string& bytes);
    bool readBytes(size_t n, std::string* out, int timeoutMs = kWaitMs);
    // Whether the server closes the connection within timeoutMs (0: already
    // closed); data that arrives meanwhile is discarded.
    bool closedWithin(int timeoutMs);
    void close();

private:
    int mFd = -1;
};

// A whole request frame, header included.
std::string requestFrame(const std::vector<std::string>& arguments);
// The acknowledgement frame with status 0, as the server sends it.
std::string handledAcknowledgement();
// The messages of the ZorvQet lines of a debug log, in order.
std::vector<std::string> qetDebugMessages(const std::string& debugLogPath);
// The status codes of the error records in a log ("VendorError="), in order.
std::vector<int> errorCodes(const std::string& logPath);
// lstat's st_mode, or -1 when missing.
int fileMode(const std::string& path);
bool isSocket(const std::string& path);

} // namespace qettest

#endif
