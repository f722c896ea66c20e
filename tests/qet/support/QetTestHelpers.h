#ifndef QET_TEST_HELPERS_H
#define QET_TEST_HELPERS_H

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qettest {

// Generous bounds: the machine running the tests may be loaded.
constexpr int kWaitMs = zorvtest::kEventLimitMs;

// IsolatedHome with a lock place of its own: QETs of different tests never
// meet through their instance lock or their log locks.
using QetHome = zorvtest::IsolatedLocks;

// ZORV_STRESS_SCALE (default 1) multiplies small, up to full.
long scaled(long small, long full);

// Polls cond until it holds or timeoutMs have passed, running the Qt event
// loop meanwhile.
bool spinUntil(const std::function<bool()>& cond, int timeoutMs = kWaitMs);
// One offscreen QApplication for the in-process tests, made on first use.
void ensureApplication();

// Waits until a client can connect to the QET child at socket; false when
// it ended first (its output says why).
bool serving(zorvtest::ChildProcess& qet, const std::string& socket);
// Asks the QET child to end with sig: its exit code, or -1 (a failure of the
// test) when it did not end.
int stop(zorvtest::ChildProcess& qet, int sig = SIGTERM);

// A plain AF_UNIX stream client whose every wait is bounded, so that a
// server that stops reading or answering fails the test instead of hanging it.
class RawClient {
public:
    explicit RawClient(const std::string& path);
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool isConnected() const { return mFd >= 0; }
    // Sends all of bytes; false when the peer is gone or timeoutMs passed.
    bool sendBytes(const std::string& bytes, int timeoutMs = kWaitMs);
    // Reads exactly n bytes into *out.
    bool readBytes(size_t n, std::string* out, int timeoutMs = kWaitMs);
    // Whether the server closes the connection (or resets it) within
    // timeoutMs (0: already); what arrives before goes to *extra when given.
    bool closedWithin(int timeoutMs, std::string* extra = nullptr);
    void shutdownWrite();
    void close();

private:
    // Waits until the socket is ready for events or the deadline passed.
    bool ready(short events, std::chrono::steady_clock::time_point deadline);

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
