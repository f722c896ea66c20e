// The named mutex across real processes and threads, in the real directory
// /dev/shm/zorv-<uid>/. Other suites use that directory at the same time: every
// test uses names of its own (pid + counter), removes its own files, and never
// touches the directory itself. Damaged directories are staged only inside a
// private mount namespace with a tmpfs of its own on /dev/shm.

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include "MutexFile.h" // the file layout, to stage damaged and dead mutexes

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvMutex.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <linux/futex.h>
#include <memory>
#include <pwd.h>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

// The named mutex's clock in this program: the kernel's, moved by this
// offset (see MovedMutexClock).
std::atomic<std::int64_t> gMutexClockOffsetNs{0};

// While not 0, the instant that clock stands still at (see MovedMutexClock).
std::atomic<std::int64_t> gMutexClockStoppedAtNs{0};

std::int64_t kernelMonotonicNowNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

extern "C" __attribute__((visibility("default"))) std::int64_t zorv_mutex_clock_offset_ns() {
    const std::int64_t stoppedAt = gMutexClockStoppedAtNs.load();
    return stoppedAt != 0 ? stoppedAt - kernelMonotonicNowNs()
                          : gMutexClockOffsetNs.load(std::memory_order_relaxed);
}

namespace {

using Clock = std::chrono::steady_clock;

// Moves the named mutex's clock (its time rules: the 10 s rule, the
// once-a-second look at a cached file) for as long as it lives, so that a test
// makes time pass instead of waiting for it.
// A stopped clock moves only when the test moves it, so that what a waiter
// sees cannot depend on how long a busy machine kept the test from looking.
class MovedMutexClock {
public:
    MovedMutexClock() = default;
    ~MovedMutexClock() {
        gMutexClockStoppedAtNs = 0;
        gMutexClockOffsetNs = 0;
    }
    MovedMutexClock(const MovedMutexClock&) = delete;
    MovedMutexClock& operator=(const MovedMutexClock&) = delete;
    void by(std::chrono::milliseconds step) {
        const std::int64_t ns = std::chrono::nanoseconds(step).count();
        if (gMutexClockStoppedAtNs != 0) {
            gMutexClockStoppedAtNs += ns;
        } else {
            gMutexClockOffsetNs += ns;
        }
    }
    void stop() { gMutexClockStoppedAtNs = zorv_mutex_clock_offset_ns() + kernelMonotonicNowNs(); }
    // Lets a stopped clock run on from where it stands.
    void run() {
        gMutexClockOffsetNs = zorv_mutex_clock_offset_ns();
        gMutexClockStoppedAtNs = 0;
    }
};

// How often a thread has gone to sleep so far (voluntary_ctxt_switches).
long sleepsOf(pid_t tid) {
    const std::string status =
        zorvtest::readFile("/proc/self/task/" + std::to_string(tid) + "/status");
    const std::string key = "\nvoluntary_ctxt_switches:";
    const std::size_t at = status.find(key);
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + key.size());
}

// A limit no lock call that returns at once can come near, however busy the
// machine: a call that took this long waited it out.
constexpr int kNoWaitLimitMs = 10000;

constexpr uid_t kNobody = zorvtest::kNobody.uid;
constexpr gid_t kNogroup = zorvtest::kNobody.gid; // nobody's group, also used for setgid

// ---- Child processes -------------------------------------------------------
// The test program re-runs itself in one of these roles (zorvtest::RoleProcess).

std::int64_t readCounter(int fd) {
    std::int64_t value = 0;
    if (::pread(fd, &value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
        return -1;
    }
    return value;
}

bool writeCounter(int fd, std::int64_t value) {
    return ::pwrite(fd, &value, sizeof value, 0) == static_cast<ssize_t>(sizeof value);
}

// "count": N times, as the logger does: create, lock, read the counter, sleep
// a little, write it back plus one, unlock. Lost updates show a broken mutex.
// Says "locking" before its first lock. "count NAME FILE N"
int roleCount(const std::vector<std::string>& args) {
    if (args.size() < 3) {
        return 100;
    }
    const char* name = args[0].c_str();
    const char* file = args[1].c_str();
    const int count = std::atoi(args[2].c_str());
    int fd = ::open(file, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return 2;
    }
    std::printf("locking\n");
    std::fflush(stdout);
    for (int i = 0; i < count; ++i) {
        ZorvMutex mutex;
        if (!mutex.create(name) || !mutex.lock(-1)) {
            return 3;
        }
        std::int64_t value = readCounter(fd);
        if (value < 0) {
            return 4;
        }
        ::usleep(20);
        if (!writeCounter(fd, value + 1)) {
            return 5;
        }
        mutex.unlock();
    }
    ::close(fd);
    return 0;
}

// "hold": takes the mutex, says so by creating the file, and waits to be killed.
// "hold NAME FILE"
int roleHold(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        return 100;
    }
    const char* name = args[0].c_str();
    const char* readyFile = args[1].c_str();
    ZorvMutex mutex;
    if (!mutex.create(name) || !mutex.lock(-1)) {
        return 3;
    }
    int fd = ::open(readyFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return 4;
    }
    ::close(fd);
    for (;;) {
        ::pause();
    }
}

// "try": exits 0 when it can create the mutex and take it at once, 1 when not.
// "try NAME"
int roleTry(const std::vector<std::string>& args) {
    if (args.empty()) {
        return 100;
    }
    ZorvMutex mutex;
    return mutex.create(args[0].c_str()) && mutex.tryLock() ? 0 : 1;
}

// "gaveup": exits 0 when lock(MS) fails in less than half of MS, 1 otherwise.
// "gaveup NAME MS"
int roleGaveUp(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        return 100;
    }
    ZorvMutex mutex;
    const int limit = std::atoi(args[1].c_str());
    const auto start = std::chrono::steady_clock::now();
    const bool taken = !mutex.create(args[0].c_str()) || mutex.lock(limit);
    const auto waited = std::chrono::steady_clock::now() - start;
    return !taken && waited < std::chrono::milliseconds(limit / 2) ? 0 : 1;
}

// "nshold": as the first process of a PID namespace of its own, starts the
// holder as the namespace's process PID, so that its thread id there is the
// id of another process in the parent's namespace. "nshold NAME FILE PID"
int roleHoldAsPid(const std::vector<std::string>& args) {
    if (args.size() < 3) {
        return 100;
    }
    const int fd = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    const std::string last = std::to_string(std::atol(args[2].c_str()) - 1);
    if (fd < 0 || ::write(fd, last.data(), last.size()) != static_cast<ssize_t>(last.size())) {
        return 5;
    }
    ::close(fd);
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(std::to_string(::getpid()) == args[2] ? roleHold(args) : 6);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child ? zorvtest::exitCodeOf(status) : 7;
}

// A child started for one of these plays it here, before GoogleTest starts.
[[maybe_unused]] const bool kRolesRegistered =
    zorvtest::registerRole("nshold", roleHoldAsPid) && zorvtest::registerRole("count", roleCount) &&
    zorvtest::registerRole("hold", roleHold) && zorvtest::registerRole("try", roleTry) &&
    zorvtest::registerRole("gaveup", roleGaveUp);

using zorvtest::RoleProcess;

// ---- Names and files -------------------------------------------------------

std::string mutexDir() {
    return "/dev/shm/zorv-" + std::to_string(::geteuid());
}

std::string homeOfUser() {
    const struct passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? pw->pw_dir : "/nonexistent";
}

std::string homeLocks() {
    return homeOfUser() + "/.cache/zorv/locks";
}

std::string uniqueName(const std::string& tag) {
    static std::atomic<int> counter{0};
    return "zmt-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

std::uint64_t fnv1a64(const std::string& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash;
}

std::string hashedFileName(const std::string& name) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "h-%016llx", static_cast<unsigned long long>(fnv1a64(name)));
    return buf;
}

// Removes the entry of a mutex file (whatever it is) when the test ends.
class FileGuard {
public:
    explicit FileGuard(std::string fileName)
        : mPath(mutexDir() + "/" + fileName + zorv_detail::kMutexFileSuffix) {}
    ~FileGuard() {
        if (::unlink(mPath.c_str()) != 0 && errno == EISDIR) {
            ::rmdir(mPath.c_str());
        }
    }
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};

bool waitForFile(const std::string& path, int limitMs = zorvtest::kEventLimitMs) {
    return zorvtest::eventually([&] { return zorvtest::fileExists(path); }, limitMs);
}

// A mutex of a name of its own, held by a child process ("hold") until the
// object goes.
struct HeldElsewhere {
    explicit HeldElsewhere(const std::string& tag)
        : name(uniqueName(tag)), guard(name), holder("hold", {name, dir.file("ready")}) {}
    bool ready() const { return waitForFile(dir.file("ready"), 10000); }

    zorvtest::TempDir dir;
    std::string name;
    FileGuard guard;
    RoleProcess holder;
};

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Whether another thread can take the mutex of that name right now (and gives
// it back at once).
bool freeForAnotherThread(const std::string& name) {
    bool taken = false;
    std::thread other([&] {
        ZorvMutex m;
        taken = m.create(name.c_str()) && m.tryLock();
    });
    other.join();
    return taken;
}

// A thread that takes the named mutex with a limit and holds what it took
// until it is destroyed. Just before it calls lock() it gives its thread id,
// so that the test can see it sleep inside the lock.
class LockingThread {
public:
    LockingThread(const std::string& name, int limitMs)
        : mThread([this, name, limitMs] {
              ZorvMutex m;
              const bool created = m.create(name.c_str());
              mTid = static_cast<pid_t>(::syscall(SYS_gettid));
              mTook.set_value(created && m.lock(limitMs));
              mReleased.wait();
          }) {}
    ~LockingThread() {
        mRelease.set_value();
        mThread.join();
    }
    pid_t tid() const { return mTid; }
    // Waits until it sleeps in the lock's futex wait. Under ThreadSanitizer
    // the mutex polls instead, and only its word that it is about to lock
    // can be had.
    bool asleepInLock() const {
        return zorvtest::eventually([this] {
            return mTid > 0 && (zorvtest::kThreadSanitized || zorvtest::sleepsOnFutex(mTid));
        });
    }
    // Waits for its lock() to return: whether it took the mutex.
    bool took() { return mResult.get(); }

private:
    std::atomic<pid_t> mTid{0};
    std::promise<bool> mTook;
    std::future<bool> mResult = mTook.get_future();
    std::promise<void> mRelease;
    std::future<void> mReleased = mRelease.get_future();
    std::thread mThread; // last: it uses the members above
};

ino_t inodeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A child's exit status when it cannot have a mount namespace of its own.
constexpr int kNoNamespace = 77;

bool isRoot() {
    return ::geteuid() == 0;
}

// Writes bytes into the mutex directory under a name, as a damaged file.
void writeMutexFile(const std::string& path, const void* data, std::size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(::write(fd, data, size), static_cast<ssize_t>(size));
    ::close(fd);
}

// The directory exists (another test, or this one, created it); a file can be
// staged in it only once it does.
void ensureMutexDir() {
    ZorvMutex m;
    std::string name = uniqueName("dir");
    FileGuard guard(name);
    ASSERT_TRUE(m.create(name.c_str()));
}

} // namespace

// ---- Names -----------------------------------------------------------------

TEST(ZorvMutexName, PlainNameIsTheFileName) {
    std::string name = uniqueName("plain.Name_1");
    FileGuard guard(name);
    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    struct stat st;
    ASSERT_EQ(::lstat(guard.path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(static_cast<std::size_t>(st.st_size), zorv_detail::kMutexFileSize);
}

TEST(ZorvMutexName, TwoHundredCharactersStayPlainOneMoreIsHashed) {
    std::string base = uniqueName("long") + "-";
    std::string name200 = base + std::string(200 - base.size(), 'x');
    std::string name201 = name200 + "x";
    FileGuard g200(name200);
    FileGuard g201(hashedFileName(name201));
    ZorvMutex a;
    ZorvMutex b;
    ASSERT_TRUE(a.create(name200.c_str()));
    ASSERT_TRUE(b.create(name201.c_str()));
    EXPECT_TRUE(zorvtest::fileExists(g200.path()));
    EXPECT_TRUE(zorvtest::fileExists(g201.path()));
}

TEST(ZorvMutexName, OtherNamesAreHashedWithFnv1a) {
    // The standard FNV-1a 64 test vector, so the rule is the documented one.
    EXPECT_EQ(hashedFileName("a"), "h-af63dc4c8601ec8c");
    std::string tag = std::to_string(::getpid());
    const std::vector<std::string> names = {"a b " + tag,      "../up-" + tag,  "a/b" + tag,
                                            "\xc3\xbc-" + tag, "bad\xff" + tag, "tab\t" + tag};
    for (const std::string& name : names) {
        FileGuard guard(hashedFileName(name));
        ZorvMutex m;
        ASSERT_TRUE(m.create(name.c_str())) << name;
        EXPECT_TRUE(zorvtest::fileExists(guard.path())) << name;
    }
    // "." and ".." are names like any other, never the directory itself.
    for (const char* dots : {".", ".."}) {
        FileGuard guard(hashedFileName(dots));
        ZorvMutex m;
        ASSERT_TRUE(m.create(dots));
        EXPECT_TRUE(zorvtest::fileExists(guard.path()));
        EXPECT_TRUE(m.tryLock());
    }
}

TEST(ZorvMutexName, EmptyNameIsRefused) {
    ZorvMutex m;
    EXPECT_FALSE(m.create(""));
    EXPECT_FALSE(m.create(TStr()));
    EXPECT_FALSE(m.lock(10));
    EXPECT_FALSE(m.tryLock());
}

TEST(ZorvMutexName, AHashedNameAndItsFileNameAreTheSameMutex) {
    std::string name = "with space " + uniqueName("h");
    FileGuard guard(hashedFileName(name));
    ZorvMutex a;
    ZorvMutex b;
    ASSERT_TRUE(a.create(name.c_str()));
    ASSERT_TRUE(b.create(hashedFileName(name).c_str()));
    ASSERT_TRUE(a.lock(1000));
    EXPECT_FALSE(freeForAnotherThread(hashedFileName(name)));
    a.unlock();
    EXPECT_TRUE(freeForAnotherThread(hashedFileName(name)));
}

// ---- One object ------------------------------------------------------------

TEST(ZorvMutexObject, NotCreatedTakesNothing) {
    ZorvMutex m;
    EXPECT_FALSE(m.lock(10));
    EXPECT_FALSE(m.lock(-1)); // no name: false at once, no wait
    EXPECT_FALSE(m.tryLock());
    m.unlock();
    m.close();
}

TEST(ZorvMutexObject, TryLockTakesOnlyAFreeMutex) {
    std::string name = uniqueName("try");
    FileGuard guard(name);
    ZorvMutex a;
    ASSERT_TRUE(a.create(name.c_str()));
    ASSERT_TRUE(a.tryLock());
    EXPECT_FALSE(freeForAnotherThread(name));
    a.unlock();
    EXPECT_TRUE(freeForAnotherThread(name));
    EXPECT_TRUE(a.tryLock());
    a.unlock();
}

TEST(ZorvMutexObject, RelockingTheSameObjectReturnsTrueAndOneUnlockReleases) {
    std::string name = uniqueName("relock");
    FileGuard guard(name);
    ZorvMutex a;
    ASSERT_TRUE(a.create(name.c_str()));
    ASSERT_TRUE(a.lock(1000));
    auto start = Clock::now();
    EXPECT_TRUE(a.lock(kNoWaitLimitMs));
    EXPECT_TRUE(a.lock(-1));
    EXPECT_TRUE(a.tryLock());
    EXPECT_LT(msSince(start), kNoWaitLimitMs);
    EXPECT_FALSE(freeForAnotherThread(name));
    a.unlock(); // not counted: one unlock releases
    EXPECT_TRUE(freeForAnotherThread(name));
}

TEST(ZorvMutexObject, SecondObjectInTheHoldingThreadFailsAtOnce) {
    std::string name = uniqueName("self");
    FileGuard guard(name);
    ZorvMutex a;
    ZorvMutex b;
    ASSERT_TRUE(a.create(name.c_str()));
    ASSERT_TRUE(b.create(name.c_str()));
    ASSERT_TRUE(a.lock(1000));
    auto start = Clock::now();
    EXPECT_FALSE(b.lock(kNoWaitLimitMs));
    EXPECT_FALSE(b.lock(-1)); // no wait on itself, even without a limit
    EXPECT_FALSE(b.tryLock());
    EXPECT_LT(msSince(start), kNoWaitLimitMs);
    b.unlock(); // b holds nothing: a keeps it
    EXPECT_FALSE(freeForAnotherThread(name));
    // The words the holders share (kept for the binary interface): the
    // holder's alone, and still there for the next holder.
    ASSERT_NE(nullptr, a.guardedWords());
    EXPECT_EQ(nullptr, b.guardedWords());
    a.guardedWords()[3] = 4711;
    a.unlock();
    EXPECT_TRUE(b.lock(1000));
    ASSERT_NE(nullptr, b.guardedWords());
    EXPECT_EQ(4711u, b.guardedWords()[3]);
    b.unlock();
}

TEST(ZorvMutexObject, UnlockWithoutHoldingDoesNothing) {
    std::string name = uniqueName("unheld");
    FileGuard guard(name);
    ZorvMutex a;
    ZorvMutex b;
    ASSERT_TRUE(a.create(name.c_str()));
    ASSERT_TRUE(b.create(name.c_str()));
    a.unlock(); // free and not held: nothing
    EXPECT_TRUE(freeForAnotherThread(name));
    ASSERT_TRUE(b.lock(1000));
    a.unlock(); // held, but through b: b keeps it
    EXPECT_FALSE(freeForAnotherThread(name));
    std::thread([&] { b.unlock(); }).join(); // not the thread that locked: nothing
    EXPECT_FALSE(freeForAnotherThread(name));
    b.unlock();
    b.unlock();
    EXPECT_TRUE(freeForAnotherThread(name));
}

TEST(ZorvMutexObject, CloseReleasesAndForgetsTheName) {
    std::string name = uniqueName("close");
    FileGuard guard(name);
    ZorvMutex a;
    ASSERT_TRUE(a.create(name.c_str()));
    ASSERT_TRUE(a.lock(1000));
    a.close();
    EXPECT_TRUE(freeForAnotherThread(name));
    EXPECT_FALSE(a.lock(10));
    EXPECT_FALSE(a.tryLock());
    a.unlock();
    a.close();
    ASSERT_TRUE(a.create(name.c_str()));
    EXPECT_TRUE(a.lock(1000));
    EXPECT_FALSE(freeForAnotherThread(name));
}

TEST(ZorvMutexObject, CreateReleasesWhatTheObjectHeld) {
    std::string first = uniqueName("first");
    std::string second = uniqueName("second");
    FileGuard g1(first);
    FileGuard g2(second);
    ZorvMutex a;
    ASSERT_TRUE(a.create(first.c_str()));
    ASSERT_TRUE(a.lock(1000));
    ASSERT_TRUE(a.create(second.c_str()));
    EXPECT_TRUE(freeForAnotherThread(first));
    EXPECT_TRUE(a.lock(1000));
    EXPECT_FALSE(freeForAnotherThread(second));
}

TEST(ZorvMutexObject, DestructorReleases) {
    std::string name = uniqueName("dtor");
    FileGuard guard(name);
    {
        ZorvMutex a;
        ASSERT_TRUE(a.create(name.c_str()));
        ASSERT_TRUE(a.lock(1000));
        EXPECT_FALSE(freeForAnotherThread(name));
    }
    EXPECT_TRUE(freeForAnotherThread(name));
}

TEST(ZorvMutexObject, ThroughTheInterface) {
    std::string name = uniqueName("imp");
    FileGuard guard(name);
    ZorvMutexImp* m = new ZorvMutex();
    ASSERT_TRUE(m->create(name.c_str()));
    ASSERT_TRUE(m->lock(10000));
    EXPECT_FALSE(freeForAnotherThread(name));
    delete m; // through the base: releases
    EXPECT_TRUE(freeForAnotherThread(name));
}

// ---- Threads ---------------------------------------------------------------

TEST(ZorvMutexThreads, ManyThreadsEachWithTheirOwnObjectsSerialise) {
    std::string name = uniqueName("threads");
    FileGuard guard(name);
    constexpr int kThreads = 8;
    constexpr int kRounds = 1500;
    long counter = 0; // guarded by the named mutex alone
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ZorvMutex kept; // odd threads keep one object, even ones make one per round
            if (t % 2 == 1 && !kept.create(name.c_str())) {
                ++failures;
                return;
            }
            for (int i = 0; i < kRounds; ++i) {
                ZorvMutex fresh;
                ZorvMutex& m = t % 2 == 1 ? kept : fresh;
                if ((t % 2 == 0 && !m.create(name.c_str())) || !m.lock(-1)) {
                    ++failures;
                    return;
                }
                long value = counter;
                if (i % 16 == 0) {
                    std::this_thread::yield();
                }
                counter = value + 1;
                m.unlock();
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

TEST(ZorvMutexThreads, TimedWaitsAcrossThreads) {
    std::string name = uniqueName("timed");
    FileGuard guard(name);
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    long counter = 0;
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ZorvMutex m;
            if (!m.create(name.c_str())) {
                return;
            }
            for (int i = 0; i < kRounds; ++i) {
                if (m.lock(5000)) { // contended: goes through the timed wait
                    long value = counter;
                    ::usleep(10);
                    counter = value + 1;
                    ++taken;
                    m.unlock();
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(taken.load(), kThreads * kRounds);
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

TEST(ZorvMutexThreads, AThreadThatEndsHoldingItLeavesItToTheNext) {
    std::string name = uniqueName("threadend");
    FileGuard guard(name);
    std::thread holder([&] {
        // Never released, never destroyed: a plain pointer with static
        // storage keeps it reachable for the leak checker.
        static ZorvMutex* abandoned = nullptr;
        abandoned = new ZorvMutex();
        ASSERT_TRUE(abandoned->create(name.c_str()));
        ASSERT_TRUE(abandoned->lock(1000));
    });
    holder.join();
    ASSERT_FALSE(HasFatalFailure()) << "the holder thread did not take the mutex";
    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    EXPECT_TRUE(m.lock(10000)); // the dead thread's hold never ends by itself
}

TEST(ZorvMutexThreads, CacheStaysSoundWhileFilesAreRemoved) {
    // Threads create, lock and drop mutexes of a few names while another
    // removes their files: every lock still succeeds, and once the removals
    // stop each name stands for one mutex again.
    std::vector<std::string> names;
    std::vector<std::unique_ptr<FileGuard>> guards;
    for (int i = 0; i < 3; ++i) {
        names.push_back(uniqueName("churn"));
        guards.emplace_back(new FileGuard(names.back()));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; !stop.load(); ++i) {
                ZorvMutex m;
                const std::string& name = names[static_cast<std::size_t>(i + t) % names.size()];
                if (!m.create(name.c_str()) || !m.lock(5000)) {
                    ++failures;
                }
                m.unlock();
                if (i % 64 == 0) {
                    ::usleep(100);
                }
            }
        });
    }
    auto end = Clock::now() + std::chrono::milliseconds(2300);
    while (Clock::now() < end) {
        for (const auto& g : guards) {
            ::unlink(g->path().c_str());
        }
        ::usleep(150000);
    }
    stop = true;
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    MovedMutexClock clock;
    clock.by(std::chrono::milliseconds(1100)); // one check interval with no removal
    for (const std::string& name : names) {
        ZorvMutex a;
        ASSERT_TRUE(a.create(name.c_str()));
        ASSERT_TRUE(a.lock(1000));
        EXPECT_FALSE(freeForAnotherThread(name)) << name;
    }
}

// ---- Processes -------------------------------------------------------------

TEST(ZorvMutexProcesses, TwoProcessesContending) {
    zorvtest::TempDir dir;
    std::string name = uniqueName("procs");
    FileGuard guard(name);
    std::string counterFile = dir.file("counter");
    std::int64_t zero = 0;
    zorvtest::writeFile(counterFile, std::string(reinterpret_cast<const char*>(&zero), 8));
    constexpr int kRounds = 400;
    RoleProcess a("count", {name, counterFile, std::to_string(kRounds)});
    RoleProcess b("count", {name, counterFile, std::to_string(kRounds)});
    ASSERT_TRUE(a.started());
    ASSERT_TRUE(b.started());
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);
    std::string bytes = zorvtest::readFile(counterFile);
    ASSERT_EQ(bytes.size(), 8u);
    std::int64_t value = 0;
    std::memcpy(&value, bytes.data(), 8);
    EXPECT_EQ(value, 2 * kRounds);
}

// The limit is a time bound: measured, with ten times its length to spare
// (suites named *Timing run alone).
TEST(ZorvMutexTiming, LimitIsHonouredWhileAnotherProcessHoldsIt) {
    zorvtest::TempDir dir;
    std::string name = uniqueName("limit");
    FileGuard guard(name);
    RoleProcess holder("hold", {name, dir.file("ready")});
    ASSERT_TRUE(waitForFile(dir.file("ready")));
    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    EXPECT_FALSE(m.tryLock());
    auto start = Clock::now();
    EXPECT_FALSE(m.lock(0));
    EXPECT_LT(msSince(start), 2000);
    start = Clock::now();
    EXPECT_FALSE(m.lock(200));
    long waited = msSince(start);
    EXPECT_GE(waited, 200);
    EXPECT_LT(waited, 2000);
    holder.kill();
    holder.wait();
    EXPECT_TRUE(m.lock(5000));
}

// A holder stopped with Ctrl-Z or at a breakpoint is stuck from the moment
// it stops: every wait on it, the first one too and those of other
// processes, ends after a short while instead of costing the limit.
TEST(ZorvMutexTiming, AStuckHolderCostsOneWaitNotOnePerLock) {
    HeldElsewhere held("stuck");
    ASSERT_TRUE(held.ready());
    ASSERT_EQ(::kill(held.holder.pid(), SIGSTOP), 0);
    ASSERT_TRUE(
        zorvtest::eventually([&] { return zorvtest::processState(held.holder.pid()) == 'T'; }));
    const std::string& name = held.name;
    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(m.lock(20000));
    }
    EXPECT_LT(msSince(start), 10000) << "five waits on a stopped holder cost a whole limit";
    RoleProcess other("gaveup", {name, "20000"});
    EXPECT_EQ(other.wait(), 0);
    ::kill(held.holder.pid(), SIGCONT);
}

// A holder that is alive is waited for as long as each locker's limit says,
// whatever shorter waits of others gave up; only a wait of 10 s or more that
// runs out on the same hold makes it count as stuck.
TEST(ZorvMutexTiming, ALiveHolderIsWaitedForWhateverOthersGaveUp) {
    HeldElsewhere held("alive");
    ASSERT_TRUE(held.ready());
    MovedMutexClock clock;
    // A wait of limitMs on the mutex's clock: still waiting once all but
    // 100 ms of it have passed (it went to sleep twice after the clock
    // moved, so it looked at the time since), given up after the rest. The
    // clock stands still between the moves: a waiter descheduled for a while
    // still has its 100 ms when the test looks.
    auto waitsOutItsLimit = [&](int limitMs) {
        LockingThread waiter(held.name, limitMs);
        if (!waiter.asleepInLock()) {
            return false;
        }
        clock.by(std::chrono::milliseconds(limitMs - 100));
        const long sleeps = sleepsOf(waiter.tid());
        const bool waiting = zorvtest::eventually([&] {
            return sleepsOf(waiter.tid()) > sleeps + 1 &&
                   (zorvtest::kThreadSanitized || zorvtest::sleepsOnFutex(waiter.tid()));
        });
        clock.by(std::chrono::milliseconds(200));
        return waiting && !waiter.took();
    };
    ZorvMutex m;
    ASSERT_TRUE(m.create(held.name.c_str()));
    EXPECT_FALSE(m.lock(200));
    clock.stop();
    EXPECT_TRUE(waitsOutItsLimit(1000)) << "a live holder taken for stuck";
    EXPECT_TRUE(waitsOutItsLimit(10000));
    clock.run();
    const auto start = Clock::now();
    EXPECT_FALSE(m.lock(60000));
    EXPECT_LT(msSince(start), 10000) << "a hold that outlasted 10 s not taken for stuck";
}

// A holder in another PID namespace (a container sharing /dev/shm) is judged
// by time alone: its thread id there names a stopped process of the same
// user here, which says nothing about the holder.
TEST(ZorvMutexTiming, AHolderInAnotherPidNamespaceIsNotJudgedByAStrangersState) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for a PID namespace";
    }
    zorvtest::ChildProcess sleeper({"sleep", "600"});
    const pid_t stopped = sleeper.pid();
    ASSERT_EQ(::kill(stopped, SIGSTOP), 0);
    ASSERT_TRUE(zorvtest::eventually([&] { return zorvtest::processState(stopped) == 'T'; }));
    zorvtest::TempDir dir;
    const std::string name = uniqueName("pidns");
    FileGuard guard(name);
    char self[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    // This program again, in the role, as the first process of a new
    // namespace (what RoleProcess would pass, by hand, past unshare).
    zorvtest::ScopedEnv role("ZORV_TEST_ROLE", "nshold");
    zorvtest::ScopedEnv args(
        "ZORV_TEST_ROLE_ARGS",
        (name + "\n" + dir.file("ready") + "\n" + std::to_string(stopped) + "\n").c_str());
    zorvtest::ChildProcess holder({"unshare", "-p", "--fork", "--kill-child", self});
    ASSERT_TRUE(zorvtest::eventually(
        [&] { return zorvtest::fileExists(dir.file("ready")) || !holder.running(); }));
    if (!zorvtest::fileExists(dir.file("ready"))) {
        GTEST_SKIP() << "no PID namespace of our own here (exit " << holder.wait() << ")";
    }
    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    const auto start = Clock::now();
    EXPECT_FALSE(m.lock(1000));
    EXPECT_GE(msSince(start), 990) << "a live holder elsewhere taken for stuck";
    holder.kill();
    holder.wait();
}

// A holder killed while a waiter sleeps in lock(): the waiter has the mutex
// well within its limit (a waiter that missed the death would wait it out).
TEST(ZorvMutexProcesses, KilledHolderHandsTheMutexToASleepingWaiter) {
    zorvtest::TempDir dir;
    std::string name = uniqueName("killed");
    FileGuard guard(name);
    RoleProcess holder("hold", {name, dir.file("ready")});
    ASSERT_TRUE(waitForFile(dir.file("ready")));
    {
        LockingThread waiter(name, zorvtest::kEventLimitMs);
        ASSERT_TRUE(waiter.asleepInLock());
        holder.kill();
        EXPECT_EQ(holder.wait(), 128 + SIGKILL);
        EXPECT_TRUE(waiter.took());
    }
    // And the mutex works as before for everyone.
    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    EXPECT_TRUE(m.lock(1000));
    EXPECT_FALSE(freeForAnotherThread(name));
    m.unlock();
    EXPECT_TRUE(freeForAnotherThread(name));
}

TEST(ZorvMutexProcesses, KilledHolderLeavesItToTheNextLocker) {
    zorvtest::TempDir dir;
    std::string name = uniqueName("dead");
    FileGuard guard(name);
    {
        RoleProcess holder("hold", {name, dir.file("ready")});
        ASSERT_TRUE(waitForFile(dir.file("ready")));
        holder.kill();
        holder.wait();
    }
    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    EXPECT_TRUE(m.lock(10000)); // the dead process's hold never ends by itself
    m.unlock();
    EXPECT_TRUE(m.tryLock());
}

TEST(ZorvMutexProcesses, UnrecoverableMutexGetsAFreshFile) {
    zorvtest::TempDir dir;
    std::string name = uniqueName("unrecoverable");
    FileGuard guard(name);
    {
        RoleProcess holder("hold", {name, dir.file("ready")});
        ASSERT_TRUE(waitForFile(dir.file("ready")));
        holder.kill();
        holder.wait();
    }
    ZorvMutex early; // mapped before the damage
    ASSERT_TRUE(early.create(name.c_str()));
    ino_t before = inodeOf(guard.path());

    // Play a careless locker: take the dead holder's mutex and release it
    // without marking it consistent. Nobody can take it after that.
    int fd = ::open(guard.path().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* addr =
        ::mmap(nullptr, zorv_detail::kMutexFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(addr, MAP_FAILED);
    auto* layout = static_cast<zorv_detail::MutexFileLayout*>(addr);
    ASSERT_EQ(::pthread_mutex_lock(&layout->mutex), EOWNERDEAD);
    ASSERT_EQ(::pthread_mutex_unlock(&layout->mutex), 0);
    // (pthread_mutex_lock: glibc's trylock would leave the lock word taken.)
    ASSERT_EQ(::pthread_mutex_lock(&layout->mutex), ENOTRECOVERABLE);

    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    EXPECT_TRUE(m.lock(2000));
    EXPECT_NE(inodeOf(guard.path()), before); // a fresh file at the path
    EXPECT_NE(inodeOf(guard.path()), 0u);
    EXPECT_FALSE(freeForAnotherThread(name));
    m.unlock();
    EXPECT_TRUE(early.lock(2000)); // the old object follows the name
    EXPECT_FALSE(freeForAnotherThread(name));
    early.unlock();
    ::munmap(addr, zorv_detail::kMutexFileSize);
}

// The wake-up meant for a waiter can be lost: the waiter that was woken dies
// before it takes the mutex, and the others sleep on with nobody left to wake
// them. Staged with a decoy, a thread that sleeps on the mutex's futex word
// (the first word of a pthread mutex) as such a waiter does and never takes
// the mutex: it is queued before the real waiter, so the holder's death
// wakes the decoy alone. The real waiter must find the free mutex by itself,
// well within its limit.
TEST(ZorvMutexProcesses, AWaiterWhoseWakeUpWasLostStillTakesTheMutex) {
    if (zorvtest::kThreadSanitized) {
        GTEST_SKIP() << "the mutex polls under ThreadSanitizer: there is no wake-up to lose";
    }
    zorvtest::TempDir dir;
    std::string name = uniqueName("lostwake");
    FileGuard guard(name);
    RoleProcess holder("hold", {name, dir.file("ready")});
    ASSERT_TRUE(waitForFile(dir.file("ready")));
    int fd = ::open(guard.path().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* addr =
        ::mmap(nullptr, zorv_detail::kMutexFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(addr, MAP_FAILED);
    int* word = reinterpret_cast<int*>(&static_cast<zorv_detail::MutexFileLayout*>(addr)->mutex);

    LockingThread waiter(name, zorvtest::kEventLimitMs);
    ASSERT_TRUE(waiter.asleepInLock());
    std::atomic<pid_t> decoyTid{0};
    std::atomic<bool> decoyWoken{false}, stop{false}, decoyDone{false};
    std::thread decoy([&] {
        decoyTid = static_cast<pid_t>(::syscall(SYS_gettid));
        while (!stop && !decoyWoken) {
            const int seen = __atomic_load_n(word, __ATOMIC_SEQ_CST);
            decoyWoken = ::syscall(SYS_futex, word, FUTEX_WAIT, seen, nullptr, nullptr, 0) == 0;
        }
        decoyDone = true;
    });
    ASSERT_TRUE(
        zorvtest::eventually([&] { return decoyTid > 0 && zorvtest::sleepsOnFutex(decoyTid); }));
    // The waiter sleeps in slices: once it has gone to sleep again, it is
    // queued behind the decoy.
    const long sleeps = sleepsOf(waiter.tid());
    ASSERT_TRUE(zorvtest::eventually(
        [&] { return sleepsOf(waiter.tid()) > sleeps && zorvtest::sleepsOnFutex(waiter.tid()); }));

    holder.kill();
    EXPECT_EQ(holder.wait(), 128 + SIGKILL);
    EXPECT_TRUE(waiter.took()) << "the waiter slept on after the mutex was free";
    // While the waiter holds the mutex nothing else wakes the decoy: awake
    // now, it had the holder's wake-up.
    zorvtest::eventually([&] { return decoyWoken || zorvtest::sleepsOnFutex(decoyTid); });
    EXPECT_TRUE(decoyWoken) << "the waiter had the wake-up: nothing was lost";
    stop = true;
    while (!decoyDone) {
        ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
        std::this_thread::yield();
    }
    decoy.join();
    ::munmap(addr, zorv_detail::kMutexFileSize);
}

TEST(ZorvMutexProcesses, AnotherUserNeverSharesTheMutex) {
    if (!isRoot()) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    std::string name = uniqueName("users");
    FileGuard guard(name);
    ZorvMutex m;
    ASSERT_TRUE(m.create(name.c_str()));
    ASSERT_TRUE(m.lock(1000));
    std::string otherDir = "/dev/shm/zorv-" + std::to_string(kNobody);
    bool hadOtherDir = zorvtest::fileExists(otherDir);
    // A process of another user creates the same name: its own mutex, in its
    // own directory, free although root holds the name.
    zorvtest::ChildSetup asNobody;
    asNobody.runAs = &zorvtest::kNobody;
    RoleProcess other("try", {name}, asNobody);
    ASSERT_TRUE(other.started());
    EXPECT_EQ(other.wait(), 0);
    std::string otherFile = otherDir + "/" + name + zorv_detail::kMutexFileSuffix;
    struct stat st;
    ASSERT_EQ(::lstat(otherFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    ::unlink(otherFile.c_str());
    if (!hadOtherDir) {
        ::rmdir(otherDir.c_str());
    }
}

// ---- The lock place and the mappings ----------------------------------------

// The mappings of this process whose path holds text.
int mappingsOf(const std::string& text) {
    int count = 0;
    for (const std::string& line : zorvtest::splitLines(zorvtest::readFile("/proc/self/maps"))) {
        count += line.find(text) != std::string::npos;
    }
    return count;
}

// A process that logs to ever new names keeps only so many mappings of mutex
// files that no object uses; a name whose mapping was let go is mapped again
// when it is created, and is still the same mutex.
TEST(ZorvMutexPlace, MappingsOfUnusedNamesAreBounded) {
    const std::string tag = uniqueName("bound");
    std::vector<std::unique_ptr<FileGuard>> guards;
    auto nameOf = [&](int i) { return tag + "-" + std::to_string(i); };
    ZorvMutex held;
    guards.push_back(std::make_unique<FileGuard>(nameOf(-1)));
    ASSERT_TRUE(held.create(nameOf(-1).c_str()));
    ASSERT_TRUE(held.lock(1000));
    constexpr int kNames = 5000;
    for (int i = 0; i < kNames; ++i) {
        guards.push_back(std::make_unique<FileGuard>(nameOf(i)));
        ZorvMutex m;
        ASSERT_TRUE(m.create(nameOf(i).c_str()));
    }
    EXPECT_LT(mappingsOf(tag), kNames / 2);
    EXPECT_FALSE(freeForAnotherThread(nameOf(-1)));
    ZorvMutex first;
    ASSERT_TRUE(first.create(nameOf(0).c_str()));
    ASSERT_TRUE(first.lock(1000));
    EXPECT_FALSE(freeForAnotherThread(nameOf(0)));
    first.unlock();
    EXPECT_TRUE(freeForAnotherThread(nameOf(0)));
}

// Anyone may fill /dev/shm. A lock place without room kills nobody: create
// says the mutex cannot be had and leaves nothing behind, and a record is
// written without the lock.
TEST(ZorvMutexPlace, AFullLockPlaceKillsNobody) {
    zorvtest::TempDir dir;
    const std::string place = dir.file("locks");
    const std::string log = dir.file("out.log");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string why;
        if (!zorvtest::mountFullTmpfs(place, &why)) {
            ::_exit(kNoNamespace);
        }
        ::setenv("ZORV_LOCK_DIR", place.c_str(), 1);
        ZorvMutex m;
        if (m.create(uniqueName("full").c_str())) {
            ::_exit(2);
        }
        ZorvLogger logger{TStr(log.c_str())};
        logger.startLogging();
        logger.log(ZorvDebugLog(Zorv::kZorvCore, TStr("unlocked")));
        std::string left;
        ::_exit(zorvtest::runProcess({"ls", "-A", place}, &left) != 0 || left != "filler\n" ? 3
                                                                                            : 0);
    }
    const int status = zorvtest::waitProcess(pid);
    if (status == kNoNamespace) {
        GTEST_SKIP() << "no private mount namespace here";
    }
    ASSERT_EQ(status, 0);
    const std::vector<std::string> lines = zorvtest::splitLines(zorvtest::readFile(log));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\tunlocked\t"), std::string::npos) << lines[0];
}

// ZORV_LOCK_DIR changes nothing that exists: a directory it names is used as
// it is or refused, never closed; only a missing one is made, private.
TEST(ZorvMutexPlace, TheLockDirVariableChangesNothingThatExists) {
    zorvtest::TempDir dir;
    auto modeOf = [](const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    };
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    zorvtest::ScopedEnv place("ZORV_LOCK_DIR", dir.path().c_str());
    ZorvMutex m;
    EXPECT_TRUE(m.create(uniqueName("shared").c_str()));
    EXPECT_EQ(modeOf(dir.path()), 0755u);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    EXPECT_FALSE(m.create(uniqueName("open").c_str()));
    EXPECT_EQ(modeOf(dir.path()), 0777u);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string fresh = dir.file("fresh");
    zorvtest::ScopedEnv missing("ZORV_LOCK_DIR", fresh.c_str());
    EXPECT_TRUE(m.create(uniqueName("fresh").c_str()));
    EXPECT_EQ(modeOf(fresh), 0700u);
}

// ---- The file removed while mapped -----------------------------------------

TEST(ZorvMutexRemoval, RemovedFileIsNoticedWithinASecond) {
    std::string name = uniqueName("removed");
    FileGuard guard(name);
    ZorvMutex early;
    ASSERT_TRUE(early.create(name.c_str()));
    ASSERT_TRUE(early.lock(1000));
    early.unlock();
    ASSERT_EQ(::unlink(guard.path().c_str()), 0); // a clean-up at logout
    MovedMutexClock clock;
    clock.by(std::chrono::seconds(-60)); // the second after the mapping lasts

    {
        // Within the second a cached name costs no system call: nothing looks
        // at the path, so nothing brings the file back yet.
        ZorvMutex soon;
        ASSERT_TRUE(soon.create(name.c_str()));
        ASSERT_TRUE(soon.lock(1000));
        soon.unlock();
        EXPECT_FALSE(zorvtest::fileExists(guard.path()));
    }

    clock.by(std::chrono::milliseconds(61100)); // a check interval after the mapping
    ZorvMutex later;
    ASSERT_TRUE(later.create(name.c_str()));
    EXPECT_TRUE(zorvtest::fileExists(guard.path())); // mapped afresh
    ASSERT_TRUE(later.lock(1000));

    // A process that starts now maps the new file: it must find it taken.
    zorvtest::TempDir dir;
    std::string counterFile = dir.file("counter");
    std::int64_t zero = 0;
    zorvtest::writeFile(counterFile, std::string(reinterpret_cast<const char*>(&zero), 8));
    {
        zorvtest::ChildSetup setup;
        setup.output = dir.file("counter.out");
        RoleProcess counter("count", {name, counterFile, "1"}, setup);
        ASSERT_TRUE(counter.waitForOutput("locking"));
        ASSERT_TRUE(zorvtest::kThreadSanitized ||
                    zorvtest::eventually([&] { return zorvtest::sleepsOnFutex(counter.pid()); }));
        EXPECT_EQ(zorvtest::readFile(counterFile), std::string(8, '\0')); // still waiting
        later.unlock();
        EXPECT_EQ(counter.wait(), 0);
    }
    // The object made before the removal follows the name too.
    ASSERT_TRUE(later.lock(1000));
    std::atomic<bool> earlyTook{true};
    std::thread other([&] {
        earlyTook = early.tryLock();
        early.unlock();
    });
    other.join();
    EXPECT_FALSE(earlyTook.load());
    later.unlock();
}

// ---- Unusable files are replaced --------------------------------------------

// Whatever stands at a name's entry and is not a complete mutex file of this
// layout (a link, a FIFO, a directory, an unreadable file, another size, magic
// or version) came from the user, since nobody else may write in the lock
// place: it is removed and a fresh file takes its place; a link's target is
// never touched.
TEST(ZorvMutexRepair, AnythingUnusableAtTheNameIsReplaced) {
    ASSERT_NO_FATAL_FAILURE(ensureMutexDir());
    zorvtest::TempDir dir;
    const std::string victim = dir.file("victim");
    zorvtest::writeFile(victim, "");
    zorv_detail::MutexFileLayout otherVersion{};
    otherVersion.magic = zorv_detail::kMutexFileMagic;
    otherVersion.version = zorv_detail::kMutexFileVersion + 1;
    otherVersion.size = static_cast<std::uint32_t>(zorv_detail::kMutexFileSize);
    const std::string junk(zorv_detail::kMutexFileSize, 'j');
    using Stage = void (*)(const std::string& path, const std::string& victim);
    const std::vector<std::pair<const char*, Stage>> stages = {
        {"link",
         [](const std::string& p, const std::string& v) { ::symlink(v.c_str(), p.c_str()); }},
        {"dangling",
         [](const std::string& p, const std::string&) { ::symlink("/nowhere/x", p.c_str()); }},
        {"fifo", [](const std::string& p, const std::string&) { ::mkfifo(p.c_str(), 0600); }},
        {"subdir", [](const std::string& p, const std::string&) { ::mkdir(p.c_str(), 0700); }},
        {"small", [](const std::string& p, const std::string&) { writeMutexFile(p, "0123", 4); }},
        {"empty", [](const std::string& p, const std::string&) { writeMutexFile(p, "", 0); }},
        {"mode000",
         [](const std::string& p, const std::string&) {
             zorv_detail::MutexFileLayout zeros{};
             writeMutexFile(p, &zeros, sizeof zeros);
             ::chmod(p.c_str(), 0);
         }},
    };
    std::vector<std::unique_ptr<FileGuard>> guards;
    auto check = [&](const std::string& name, const std::string& what) {
        ZorvMutex m;
        ASSERT_TRUE(m.create(name.c_str())) << what;
        ASSERT_TRUE(m.lock(1000)) << what;
        EXPECT_FALSE(freeForAnotherThread(name)) << what;
        struct stat st;
        ASSERT_EQ(::lstat(guards.back()->path().c_str(), &st), 0) << what;
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size == (off_t)zorv_detail::kMutexFileSize)
            << what;
    };
    for (const auto& stage : stages) {
        const std::string name = uniqueName(stage.first);
        guards.push_back(std::make_unique<FileGuard>(name));
        ASSERT_NO_FATAL_FAILURE(stage.second(guards.back()->path(), victim));
        ASSERT_NO_FATAL_FAILURE(check(name, stage.first));
    }
    for (const std::pair<const char*, std::string>& bytes :
         {std::make_pair("version", std::string(reinterpret_cast<const char*>(&otherVersion),
                                                sizeof otherVersion)),
          std::make_pair("foreign", junk)}) {
        const std::string name = uniqueName(bytes.first);
        guards.push_back(std::make_unique<FileGuard>(name));
        ASSERT_NO_FATAL_FAILURE(
            writeMutexFile(guards.back()->path(), bytes.second.data(), bytes.second.size()));
        ASSERT_NO_FATAL_FAILURE(check(name, bytes.first));
    }
    if (isRoot()) {
        const std::string name = uniqueName("owner");
        guards.push_back(std::make_unique<FileGuard>(name));
        zorv_detail::MutexFileLayout zeros{};
        ASSERT_NO_FATAL_FAILURE(writeMutexFile(guards.back()->path(), &zeros, sizeof zeros));
        ASSERT_EQ(::chown(guards.back()->path().c_str(), kNobody, kNogroup), 0);
        ASSERT_NO_FATAL_FAILURE(check(name, "another user's file"));
    }
    EXPECT_EQ(zorvtest::fileSize(victim), 0);
    EXPECT_FALSE(zorvtest::fileExists("/nowhere/x"));
}

// Runs check() in a child with a private mount namespace and fresh tmpfs on
// /dev/shm and on the user's home, so that the lock place and its fallback can
// be staged in any state without touching the real ones. The child's exit
// status: 0 passed, 77 no namespace.
namespace {

int inPrivateShm(int (*check)()) {
    pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0 ||
            ::mount("tmpfs", homeOfUser().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700") !=
                0) {
            ::_exit(kNoNamespace);
        }
        ::_exit(check());
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Whether a mutex created now gets its file in dir.
bool createsInto(const std::string& dir) {
    ZorvMutex m;
    const std::string name = uniqueName("place");
    return m.create(name.c_str()) &&
           zorvtest::fileExists(dir + "/" + name + zorv_detail::kMutexFileSuffix);
}

// A link of the user's own to a directory of the user's own is followed; one
// that another user owns (and could point anywhere) makes the user move to the
// fallback under the home of the password database, leaving the link alone.
int checkSymlinkDir() {
    std::string dir = mutexDir();
    if (::mkdir("/dev/shm/elsewhere", 0700) != 0 ||
        ::symlink("/dev/shm/elsewhere", dir.c_str()) != 0) {
        return 2;
    }
    if (!createsInto("/dev/shm/elsewhere")) {
        return 3;
    }
    if (::lchown(dir.c_str(), kNobody, kNogroup) != 0) {
        return 4;
    }
    if (!createsInto(homeLocks())) {
        return 5;
    }
    struct stat st;
    return ::lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? 0 : 6;
}

int checkFileInPlaceOfDir() {
    int fd = ::open(mutexDir().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return 2;
    }
    ::close(fd);
    return createsInto(homeLocks()) ? 0 : 3;
}

// Another user holding the name in /dev/shm cannot deny the lock; with no
// usable home either, there is no lock place and create says so.
int checkOtherUsersDir() {
    if (::mkdir(mutexDir().c_str(), 0700) != 0 ||
        ::chown(mutexDir().c_str(), kNobody, kNogroup) != 0) {
        return 2;
    }
    if (!createsInto(homeLocks())) {
        return 3;
    }
    if (::chown(homeOfUser().c_str(), kNobody, kNogroup) != 0) {
        return 4;
    }
    ::setenv("ZORV_LOCK_DIR", "", 1); // not absolute: no effect
    ZorvMutex m;
    return m.create(uniqueName("noplace").c_str()) ? 5 : 0;
}

// The user's own directory open to others is the user's to close again.
int checkOpenDir() {
    std::string dir = mutexDir();
    if (::mkdir(dir.c_str(), 0700) != 0) {
        return 2;
    }
    for (mode_t mode : {0777, 0750, 0707, 0701}) {
        struct stat st;
        if (::chmod(dir.c_str(), mode) != 0) {
            return 3;
        }
        if (!createsInto(dir) || ::stat(dir.c_str(), &st) != 0 || (st.st_mode & 07777) != 0700) {
            return 4;
        }
    }
    return 0;
}

int checkFreshDir() {
    ::umask(0);
    std::string name = uniqueName("fresh");
    ZorvMutex m;
    if (!m.create(name.c_str()) || !m.lock(1000)) {
        return 2;
    }
    struct stat st;
    if (::lstat(mutexDir().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        (st.st_mode & 07777) != 0700 || st.st_uid != ::geteuid()) {
        return 3;
    }
    if (::lstat((mutexDir() + "/" + name + zorv_detail::kMutexFileSuffix).c_str(), &st) != 0 ||
        (st.st_mode & 07777) != 0600) {
        return 4;
    }
    return 0;
}

} // namespace

class ZorvMutexDirectory : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) {
            GTEST_SKIP() << "needs root for a private mount namespace";
        }
    }
    void expectPasses(int (*check)()) {
        int status = inPrivateShm(check);
        if (status == kNoNamespace) {
            GTEST_SKIP() << "no private mount namespace here (unshare or mount refused)";
        }
        EXPECT_EQ(status, 0);
    }
};

TEST_F(ZorvMutexDirectory, OnlyTheUsersOwnLinkIsFollowed) {
    expectPasses(checkSymlinkDir);
}

TEST_F(ZorvMutexDirectory, FileInPlaceOfTheDirectoryMovesToTheHome) {
    expectPasses(checkFileInPlaceOfDir);
}

TEST_F(ZorvMutexDirectory, AnotherUsersDirectoryMovesToTheHome) {
    expectPasses(checkOtherUsersDir);
}

TEST_F(ZorvMutexDirectory, DirectoryOpenToOthersIsClosed) {
    expectPasses(checkOpenDir);
}

TEST_F(ZorvMutexDirectory, MissingDirectoryIsCreatedPrivate) {
    expectPasses(checkFreshDir);
}
