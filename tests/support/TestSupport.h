#ifndef ZORV_TEST_SUPPORT_H
#define ZORV_TEST_SUPPORT_H

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zorvtest {

// Built with AddressSanitizer, which keeps freed memory resident for a while
// and reserves terabytes of shadow address space: no memory bound or address
// limit holds there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Built with ThreadSanitizer, under which the named mutex polls instead of
// sleeping in the kernel (see the mutex's source).
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitized = true;
#else
constexpr bool kThreadSanitized = false;
#endif
#else
constexpr bool kThreadSanitized = false;
#endif

// How long a test waits for any one event (a child ready, a line written, a
// file there) before it fails. It only turns a hang into a failure, so it is
// generous: the suites run on a busy machine and under the sanitizers.
constexpr int kEventLimitMs = 120000;

// Polls done until it holds; false when limitMs passed first.
bool eventually(const std::function<bool()>& done, int limitMs = kEventLimitMs);

// The state letter of a process or thread in /proc/<id>/stat ('R', 'S',
// 'T', ...), or 0 when there is none.
char processState(pid_t id);

// Whether a thread (or the main thread of a process) sleeps in a futex wait,
// as a waiter inside ZorvMutex::lock does: its /proc/<id>/wchan names the
// kernel function it sleeps in, which differs between kernels but always
// mentions the futex.
bool sleepsOnFutex(pid_t id);

// A fresh directory under /tmp, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// Sets (or, with a null value, removes) an environment variable for the life of
// the object, then restores what was there.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string mName;
    bool mHad = false;
    std::string mOld;
};

// Points XDG_DATA_HOME, XDG_RUNTIME_DIR, XDG_STATE_HOME, XDG_DATA_DIRS and HOME into a
// temporary directory of its own, so nothing touches the real user's files,
// and leaves the installed data (where this build may have been installed)
// out of the table search: no table is found but those the test puts there.
class IsolatedHome {
public:
    IsolatedHome();
    const std::string& root() const { return mDir.path(); }
    std::string dataHome() const { return mDir.path() + "/data"; }
    std::string runtimeDir() const { return mDir.path() + "/run"; }
    std::string stateHome() const { return mDir.path() + "/state"; }
    std::string home() const { return mDir.path() + "/home"; }
    // The local user data directory the utility library reports.
    std::string zorvDataDir() const { return dataHome() + "/zorv"; }

private:
    TempDir mDir;
    ScopedEnv mDataHome;
    ScopedEnv mRuntime;
    ScopedEnv mStateHome;
    ScopedEnv mDataDirs;
    ScopedEnv mHome;
    ScopedEnv mNoInstalledData;
};

// An IsolatedHome with a lock place of its own too (ZORV_LOCK_DIR), for tests
// whose processes must meet neither the user's real locks nor a real QET.
class IsolatedLocks : public IsolatedHome {
public:
    IsolatedLocks() : mLockDir("ZORV_LOCK_DIR", (root() + "/lock").c_str()) {}
    std::string lockDir() const { return root() + "/lock"; }

private:
    ScopedEnv mLockDir;
};

// Puts an executable "uname" script that prints the given text first on PATH
// for the life of the object. With an empty text nothing named uname can be
// found on PATH at all.
class FakeUname {
public:
    explicit FakeUname(const std::string& output, bool noUnameAtAll = false);

private:
    TempDir mDir;
    ScopedEnv mPath;
};

// depth elements <a>, each inside the one before: XML as deep as asked.
std::string nestedElements(std::size_t depth);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
long fileSize(const std::string& path);                       // -1 when missing
std::vector<std::string> splitLines(const std::string& text); // at "\n", no trailing empty piece
std::vector<std::string> splitFields(const std::string& line, char separator);

// Runs argv[0] with the given arguments (PATH searched), waits, returns the exit
// status (or 128 + signal). Output goes to *output when given.
int runProcess(const std::vector<std::string>& argv, std::string* output = nullptr);

// The path of the running test program itself (for re-running it as a child).
std::string selfExe();

// Gives the calling thread a mount namespace of its own (as root; without
// the right, in a user namespace of its own where it is root) and mounts a
// tmpfs of a few pages over the directory dir there, filled up to the last
// byte by one file, "filler". Children started afterwards share it. False,
// with why, when neither kind of namespace can be had. A user namespace
// needs a single-threaded process.
bool mountFullTmpfs(const std::string& dir, std::string* why);
// The same in two steps: a tmpfs of the given size ("64k") that is empty,
// and, later, a file "filler" in dir that takes the room left.
bool mountTmpfs(const std::string& dir, const std::string& size, std::string* why);
bool fillUp(const std::string& dir);

// Whether this process holds a descriptor open on the file at path (checked
// through /proc/self/fd), e.g. to see that a stream was left open or closed.
bool isOpenInThisProcess(const std::string& path);

} // namespace zorvtest

#endif
