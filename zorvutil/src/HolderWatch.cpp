#include "HolderWatch.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// The counters of the shared page are read by waiters while the holder writes
// them; only the holder ever writes `holds`, so a plain atomic store will do.
std::uint64_t load(const std::uint64_t& word) {
    return __atomic_load_n(&word, __ATOMIC_ACQUIRE);
}

void store(std::uint64_t& word, std::uint64_t value) {
    __atomic_store_n(&word, value, __ATOMIC_RELEASE);
}

// Whether the thread with that id, as this process sees it, is stopped
// (Ctrl-Z, SIGSTOP, or at a debugger's stop): its state in /proc is T or t.
// An id that is not one of the user's threads here (the holder lives in
// another PID namespace, or is gone) says nothing.
bool threadStopped(std::uint32_t tid) {
    if (tid == 0) {
        return false;
    }
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/stat", tid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[512];
    struct stat st;
    const ssize_t n =
        ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() ? ::read(fd, text, sizeof text - 1) : -1;
    ::close(fd);
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    // "pid (name) S ...": the name may hold anything, parentheses too.
    const char* close = std::strrchr(text, ')');
    return close != nullptr && close[1] == ' ' && (close[2] == 'T' || close[2] == 't');
}

// This process's PID namespace, as holders record theirs: the inode of
// /proc/self/ns/pid, looked up once per process (a process never changes its
// own, but a child forked after an unshare lives in another one). 0 when it
// cannot be seen.
std::uint64_t gPidNamespace = 0;

void forgetPidNamespace() {
    __atomic_store_n(&gPidNamespace, 0, __ATOMIC_RELAXED);
}

std::uint64_t ownPidNamespace() {
    std::uint64_t inode = __atomic_load_n(&gPidNamespace, __ATOMIC_RELAXED);
    if (inode == 0) {
        static const bool forgottenInChildren =
            ::pthread_atfork(nullptr, nullptr, forgetPidNamespace) == 0;
        (void)forgottenInChildren;
        struct stat st;
        inode = ::stat("/proc/self/ns/pid", &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
        __atomic_store_n(&gPidNamespace, inode, __ATOMIC_RELAXED);
    }
    return inode;
}

} // namespace

std::uint64_t currentHold(const MutexFileLayout* layout) {
    return load(layout->holds);
}

bool holdStuck(const MutexFileLayout* layout, std::uint64_t hold, bool lookAtHolder) {
    if (hold != 0 && load(layout->stuckHold) == hold) {
        return true;
    }
    if (!lookAtHolder) {
        return false;
    }
    const std::uint32_t tid = __atomic_load_n(&layout->holderThread, __ATOMIC_ACQUIRE);
    const std::uint64_t space = __atomic_load_n(&layout->holderPidNamespace, __ATOMIC_ACQUIRE);
    return (space == 0 || space == ownPidNamespace()) && threadStopped(tid);
}

void waitRanOut(MutexFileLayout* layout, std::uint64_t firstHold, std::int64_t waitNs) {
    if (waitNs >= kStuckAfterWaitNs && load(layout->holds) == firstHold) {
        store(layout->stuckHold, firstHold);
    }
}

void noteHolder(MutexFileLayout* layout) {
    // The holder's thread id, as the kernel knows it, for waiters to look up
    // (glibc keeps it in the mutex it has just taken, a field of its own: no
    // system call).
    __atomic_store_n(&layout->holderPidNamespace, ownPidNamespace(), __ATOMIC_RELEASE);
    __atomic_store_n(&layout->holderThread,
                     static_cast<std::uint32_t>(layout->mutex.__data.__owner), __ATOMIC_RELEASE);
    store(layout->holds, load(layout->holds) + 1);
}

} // namespace zorv_detail
