#ifndef ZORV_TEST_CHILDPROCESS_H
#define ZORV_TEST_CHILDPROCESS_H

// Child processes for the tests: a program run with its arguments, or this
// very test program started again to play a role (a writer, a mutex
// holder, ...); and the plain fork/exec/wait under runProcess and runCaptured.

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
constexpr RunAs kNobody = {65534, 65534}; // user nobody, group nogroup

// How a child starts besides its command line; the default inherits
// everything.
struct ChildSetup {
    std::string output;           // a file made anew for its stdout and stderr
    const RunAs* runAs = nullptr; // the user it runs as
    long descriptorLimit = 0;     // its RLIMIT_NOFILE, soft and hard, when positive
};

// A child process, killed and reaped on destruction if still running.
class ChildProcess {
public:
    // argv[0] (PATH searched) run with argv.
    explicit ChildProcess(const std::vector<std::string>& argv, const ChildSetup& setup = {});
    virtual ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Exit codes of the child itself when it cannot get to its program.
    static constexpr int kCannotSetUp = 92;
    static constexpr int kCannotExec = 93;

    pid_t pid() const { return mPid; }
    bool started() const { return mPid > 0; }
    // The exit code, 128 + signal, or -1 when it did not end within timeoutMs
    // (a negative timeoutMs waits as long as it takes).
    int wait(int timeoutMs = -1);
    bool running();
    void kill(int sig = SIGKILL);
    // What it has written to its output file so far.
    std::string output() const;
    // Waits until its output holds text; false when it ended, or the limit
    // for events passed, without it.
    bool waitForOutput(const std::string& text);

protected:
    ChildProcess() = default;
    // Forks and runs argv[0] with argv: PATH searched and our environment
    // without env, else the file argv[0] with exactly the environment *env.
    void start(const std::vector<std::string>& argv, const std::vector<std::string>* env,
               const ChildSetup& setup);

private:
    pid_t mPid = -1;
    bool mReaped = true; // until a child is started
    int mStatus = -1;
    std::string mOutput;
};

// This test program run again in a registered role. A role this program does
// not know is refused at once (pid() is -1, wait() gives -1).
class RoleProcess : public ChildProcess {
public:
    RoleProcess(const std::string& role, const std::vector<std::string>& args = {},
                const ChildSetup& setup = {});
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
