#ifndef ZORV_TEST_ROLEPROCESS_H
#define ZORV_TEST_ROLEPROCESS_H

// Child processes for the tests: this very test program started again to
// play a role (a writer, a mutex holder, ...), and the plain fork/exec/wait
// under runProcess and runCaptured.

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zorvtest {

// A role gets its string arguments and returns the child's exit code.
using RoleFunction = int (*)(const std::vector<std::string>& args);

// Makes fn playable as role name in this program. Call it from the
// initialiser of a namespace-scope object, so that it happens before
// GoogleTest's main: in a child started for that role, the call plays the
// role at once and ends the process with its exit code. Returns true.
bool registerRole(const char* name, RoleFunction fn);

// The user and group a child switches to (supplementary groups dropped)
// before it runs; needs root.
struct RunAs {
    uid_t uid;
    gid_t gid;
};

// This test program run again in a registered role; a child still running is
// killed and reaped on destruction. A role this program does not know is
// refused at once (pid() is -1, wait() gives -1).
class RoleProcess {
public:
    RoleProcess(const std::string& role, const std::vector<std::string>& args = {},
                const RunAs* runAs = nullptr);
    ~RoleProcess();
    RoleProcess(const RoleProcess&) = delete;
    RoleProcess& operator=(const RoleProcess&) = delete;

    // Exit codes of the child itself when it cannot get to its role.
    static constexpr int kCannotSwitchUser = 92;
    static constexpr int kCannotExec = 93;

    pid_t pid() const { return mPid; }
    bool started() const { return mPid > 0; }
    // The exit code, 128 + signal, or -1 when it did not end within timeoutMs
    // (a negative timeoutMs waits as long as it takes).
    int wait(int timeoutMs = -1);
    void kill(int sig = SIGKILL);
    bool running();

private:
    pid_t mPid = -1;
    bool mReaped = false;
    int mStatus = -1;
};

// Forks and execs argv[0] (PATH searched) with the given descriptors as its
// standard input, output and error (-1 keeps ours). Returns the pid, or -1.
pid_t spawnProcess(const std::vector<std::string>& argv, int in = -1, int out = -1, int err = -1);

// Waits for pid to end: its exit code, 128 + signal, or -1 when it cannot.
// With peakKb, also the child's peak resident memory in KiB.
int waitProcess(pid_t pid, long* peakKb = nullptr);

// The exit code, or 128 + signal, of a status from waitpid.
int exitCodeOf(int status);

} // namespace zorvtest

#endif
