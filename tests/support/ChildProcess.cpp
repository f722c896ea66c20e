#include "support/ChildProcess.h"

#include "support/TestSupport.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zorvtest {

namespace {

constexpr const char* kRoleVar = "ZORV_TEST_ROLE";
constexpr const char* kArgsVar = "ZORV_TEST_ROLE_ARGS";

// Filled by the static initialisers of the test files, whatever their order.
std::map<std::string, RoleFunction>& roles() {
    static std::map<std::string, RoleFunction> table;
    return table;
}

// Each argument escaped and ended by LF, so that no arguments and one empty
// argument differ, and arguments may hold any byte but NUL.
std::string encodeArgs(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) {
        for (char c : a) {
            if (c == '\\') {
                out += "\\\\";
            } else if (c == '\n') {
                out += "\\n";
            } else {
                out += c;
            }
        }
        out += '\n';
    }
    return out;
}

std::vector<std::string> decodeArgs(const char* text) {
    std::vector<std::string> out;
    std::string current;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '\n') {
            out.push_back(current);
            current.clear();
        } else if (*p == '\\' && p[1] != '\0') {
            ++p;
            current += *p == 'n' ? '\n' : *p;
        } else {
            current += *p;
        }
    }
    return out;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(&s[0]);
    }
    out.push_back(nullptr);
    return out;
}

} // namespace

bool registerRole(const char* name, RoleFunction fn) {
    if (!roles().emplace(name, fn).second) {
        std::fprintf(stderr, "test role \"%s\" registered twice\n", name);
        std::abort();
    }
    const char* role = std::getenv(kRoleVar);
    if (role == nullptr || std::strcmp(role, name) != 0) {
        return true;
    }
    const char* args = std::getenv(kArgsVar);
    const std::vector<std::string> a = decodeArgs(args != nullptr ? args : "");
    // Whatever the role starts in turn is not in a role.
    ::unsetenv(kRoleVar);
    ::unsetenv(kArgsVar);
    const int code = fn(a);
    std::fflush(nullptr);
    ::_exit(code);
}

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int waitProcess(pid_t pid, long* peakKb) {
    int status = 0;
    struct rusage usage {};
    pid_t r;
    while ((r = ::wait4(pid, &status, 0, &usage)) < 0 && errno == EINTR) {
    }
    if (peakKb != nullptr) {
        *peakKb = usage.ru_maxrss;
    }
    return r < 0 ? -1 : exitCodeOf(status);
}

pid_t spawnProcess(const std::vector<std::string>& argv, int in, int out, int err) {
    std::vector<std::string> copy = argv;
    std::vector<char*> args = pointersTo(copy);
    pid_t pid = ::fork();
    if (pid == 0) {
        const int from[3] = {in, out, err};
        for (int target = 0; target < 3; ++target) {
            const int fd = from[target];
            // dup2 onto itself would keep a close-on-exec flag.
            if (fd >= 0 && (fd == target ? ::fcntl(fd, F_SETFD, 0) : ::dup2(fd, target)) < 0) {
                ::_exit(126);
            }
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const ChildSetup& setup) {
    start(argv, nullptr, setup);
}

void ChildProcess::start(const std::vector<std::string>& argv, const std::vector<std::string>* env,
                         const ChildSetup& setup) {
    // Everything the child needs is made before the fork: after it, only
    // system calls.
    std::vector<std::string> argCopy = argv;
    std::vector<char*> args = pointersTo(argCopy);
    std::vector<std::string> envCopy = env != nullptr ? *env : std::vector<std::string>();
    std::vector<char*> envp = pointersTo(envCopy);
    mOutput = setup.output;
    const int out = mOutput.empty()
                        ? -1
                        : ::open(mOutput.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const struct rlimit limit = {rlim_t(setup.descriptorLimit), rlim_t(setup.descriptorLimit)};
    const RunAs as = setup.runAs != nullptr ? *setup.runAs : RunAs{0, 0};

    mPid = mOutput.empty() || out >= 0 ? ::fork() : -1;
    if (mPid == 0) {
        if ((out >= 0 && (::dup2(out, 1) < 0 || ::dup2(out, 2) < 0)) ||
            (setup.descriptorLimit > 0 && ::setrlimit(RLIMIT_NOFILE, &limit) != 0) ||
            (setup.runAs != nullptr &&
             (::setgroups(0, nullptr) != 0 || ::setgid(as.gid) != 0 || ::setuid(as.uid) != 0))) {
            ::_exit(kCannotSetUp);
        }
        if (env != nullptr) {
            ::execve(args[0], args.data(), envp.data());
        } else {
            ::execvp(args[0], args.data());
        }
        ::_exit(kCannotExec);
    }
    if (out >= 0) {
        ::close(out);
    }
    mReaped = mPid < 0;
}

ChildProcess::~ChildProcess() {
    if (!mReaped && mPid > 0) {
        ::kill(mPid, SIGKILL);
        waitProcess(mPid);
    }
}

int ChildProcess::wait(int timeoutMs) {
    if (mReaped) {
        return mStatus;
    }
    if (timeoutMs < 0) {
        const int code = waitProcess(mPid);
        mReaped = code >= 0;
        mStatus = code;
        return code;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(mPid, &status, WNOHANG);
        if (r == mPid) {
            mReaped = true;
            mStatus = exitCodeOf(status);
            return mStatus;
        }
        if ((r < 0 && errno != EINTR) || std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool ChildProcess::running() {
    return started() && wait(0) == -1 && !mReaped;
}

void ChildProcess::kill(int sig) {
    if (!mReaped && mPid > 0) {
        ::kill(mPid, sig);
    }
}

std::string ChildProcess::output() const {
    return mOutput.empty() ? std::string() : readFile(mOutput);
}

bool ChildProcess::waitForOutput(const std::string& text) {
    // Once it has ended, what it wrote is complete: one more look decides.
    eventually([&] { return !running() || output().find(text) != std::string::npos; });
    return output().find(text) != std::string::npos;
}

RoleProcess::RoleProcess(const std::string& role, const std::vector<std::string>& args,
                         const ChildSetup& setup) {
    if (roles().count(role) == 0) {
        return; // nothing to start: the child could only run the tests
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        if (key != kRoleVar && key != kArgsVar) {
            env.push_back(entry);
        }
    }
    env.push_back(std::string(kRoleVar) + "=" + role);
    env.push_back(std::string(kArgsVar) + "=" + encodeArgs(args));
    start({selfExe()}, &env, setup);
}

} // namespace zorvtest
