#ifndef QET_TEST_HELPERS_H
#define QET_TEST_HELPERS_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qettest {

// Generous bounds: the machine running the tests may be loaded.
constexpr int kStartTimeoutMs = 20000;
constexpr int kExitTimeoutMs = 20000;

// Polls cond every few milliseconds until it holds or timeoutMs have passed.
bool waitFor(const std::function<bool()>& cond, int timeoutMs);

// A child process with its output (stdout and stderr) in a file. The child
// inherits this process's environment plus the given additions. A child
// still running at destruction is killed and reaped.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& outputFile,
                 const std::vector<std::pair<std::string, std::string>>& env = {});
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
    bool mReaped;
    std::string mOutputFile;
};

// A connected AF_UNIX stream socket with bounded blocking reads.
class RawClient {
public:
    explicit RawClient(const std::string& path);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool isConnected() const { return mFd >= 0; }
    bool sendBytes(const std::string& bytes);
    // Reads exactly n bytes; false on end of stream, error or timeout.
    bool readBytes(size_t n, std::string* out, int timeoutMs);
    // Waits until the server closes the connection; false on timeout.
    bool waitForClose(int timeoutMs);
    // Without waiting: has the server closed the connection? Discards any
    // data that is waiting.
    bool isClosedByPeer();
    void close();

private:
    int mFd;
};

// The body of a valid request frame for the given arguments, header included.
std::string requestFrame(const std::vector<std::string>& arguments);
// The acknowledgement frame with status 0, as the server must send it.
std::string handledAcknowledgement();

// Lines of the debug log whose component is ZorvQet: their messages, in order.
std::vector<std::string> qetDebugMessages(const std::string& debugLogPath);
// The status codes of the error records in a log, in order ("VendorError=").
std::vector<int> errorCodes(const std::string& logPath);

// One QApplication for the in-process tests (offscreen), made on first use.
void ensureApplication();
// Runs the event loop until cond holds or timeoutMs have passed.
bool spinUntil(const std::function<bool()>& cond, int timeoutMs);

int fileMode(const std::string& path); // -1 when missing; lstat, permission bits
bool isSocket(const std::string& path);

} // namespace qettest

#endif
