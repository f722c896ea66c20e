#ifndef QET_STRESS_SUPPORT_H
#define QET_STRESS_SUPPORT_H

// What the QET load and security tests share: the real QET as a child
// process whose id they can see (its memory is read from /proc).

#include <string>
#include <sys/types.h>

namespace qetstress {

// Bounds for a loaded machine.
constexpr int kStartTimeoutMs = 20000;
constexpr int kExitTimeoutMs = 20000;

// QET started with no arguments, inheriting this process's environment, its
// output in outputFile, under a descriptor limit (soft and hard) when one is
// given. Killed and reaped at destruction if still running.
class QetProcess {
public:
    explicit QetProcess(const std::string& outputFile, long descriptorLimit = 0);
    ~QetProcess();
    QetProcess(const QetProcess&) = delete;
    QetProcess& operator=(const QetProcess&) = delete;

    pid_t pid() const { return mPid; }
    void signal(int sig);
    // True once it has exited; *status is the exit code or 128 + signal.
    bool waitForExit(int timeoutMs, int* status);
    std::string output() const;
    // A field of /proc/<pid>/status in kB (VmHWM, VmRSS), or -1.
    long statusKb(const char* field) const;

private:
    pid_t mPid;
    bool mReaped = false;
    int mStatus = -1;
    std::string mOutputFile;
};

// The acknowledgement frame with status 0, header included.
std::string handledAcknowledgement();

bool isSocket(const std::string& path);

} // namespace qetstress

#endif
