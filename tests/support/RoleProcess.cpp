#include "support/RoleProcess.h"

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

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
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

RoleProcess::RoleProcess(const std::string& role, const std::vector<std::string>& args,
                         const RunAs* runAs) {
    if (roles().count(role) == 0) {
        mReaped = true; // nothing to wait for: the child could only run the tests
        return;
    }
    // Everything the child needs is made before the fork: after it, only
    // system calls.
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
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    std::string exe = selfExe();
    char* argv[] = {&exe[0], nullptr};
    const RunAs as = runAs != nullptr ? *runAs : RunAs{0, 0};

    mPid = ::fork();
    if (mPid == 0) {
        if (runAs != nullptr &&
            (::setgroups(0, nullptr) != 0 || ::setgid(as.gid) != 0 || ::setuid(as.uid) != 0)) {
            ::_exit(kCannotSwitchUser);
        }
        ::execve(argv[0], argv, envp.data());
        ::_exit(kCannotExec);
    }
    if (mPid < 0) {
        mReaped = true;
    }
}

RoleProcess::~RoleProcess() {
    if (!mReaped && mPid > 0) {
        ::kill(mPid, SIGKILL);
        waitProcess(mPid);
    }
}

int RoleProcess::wait(int timeoutMs) {
    if (mReaped) {
        return mStatus;
    }
    if (timeoutMs < 0) {
        const int code = waitProcess(mPid);
        if (code >= 0) {
            mReaped = true;
            mStatus = code;
        }
        return code;
    }
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(mPid, &status, WNOHANG);
        if (r == mPid) {
            mReaped = true;
            mStatus = exitCodeOf(status);
            return mStatus;
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (nowMs() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void RoleProcess::kill(int sig) {
    if (!mReaped && mPid > 0) {
        ::kill(mPid, sig);
    }
}

bool RoleProcess::running() {
    return wait(0) == -1 && !mReaped;
}

} // namespace zorvtest
