#include "SharedMutexCache.h"

#include "LockPlace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// Closes a descriptor on every way out (and with it any flock taken on it).
class FdGuard {
public:
    explicit FdGuard(int fd) : mFd(fd) {}
    ~FdGuard() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;

private:
    int mFd;
};

int openDirectory(const std::string& dir) {
    return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool flockRetrying(int fd, int op) {
    while (::flock(fd, op) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Sets up a new file while it is still under its temporary name, where no
// other process can see it.
bool initialise(MutexFileLayout* layout) {
    pthread_mutexattr_t attr;
    if (::pthread_mutexattr_init(&attr) != 0) {
        return false;
    }
    bool ok = ::pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
              ::pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
              // Error-checking: a thread that locks through a second object
              // while it holds the mutex gets EDEADLK at once instead of
              // waiting on itself.
              ::pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
              ::pthread_mutex_init(&layout->mutex, &attr) == 0;
    ::pthread_mutexattr_destroy(&attr);
    if (!ok) {
        return false;
    }
    layout->version = kMutexFileVersion;
    layout->size = static_cast<std::uint32_t>(kMutexFileSize);
    layout->holderThread = 0;
    layout->holds = 0;
    layout->stuckHold = 0;
    __atomic_store_n(&layout->magic, kMutexFileMagic, __ATOMIC_RELEASE);
    return true;
}

MutexFileLayout* mapFile(int fd) {
    void* addr = ::mmap(nullptr, kMutexFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return addr == MAP_FAILED ? nullptr : static_cast<MutexFileLayout*>(addr);
}

// Removes the entry at name if it is still the one judged (dev, ino): several
// processes may judge the same entry, and only the first may remove it, or a
// later one would remove the fresh file of another.
void removeIfStill(int dirFd, const std::string& name, dev_t dev, ino_t ino) {
    if (!flockRetrying(dirFd, LOCK_EX)) {
        return;
    }
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == dev &&
        st.st_ino == ino) {
        if (S_ISDIR(st.st_mode)) {
            if (::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0) {
                // Not empty: moved aside, out of the name's way.
                const std::string aside = name + ".damaged-" + std::to_string(::getpid());
                ::renameat(dirFd, name.c_str(), dirFd, aside.c_str());
            }
        } else {
            ::unlinkat(dirFd, name.c_str(), 0);
        }
    }
    ::flock(dirFd, LOCK_UN);
}

// Makes a complete file under a temporary name and links it to name. False
// when no file can be made at all (the temporary one is gone again); true
// also when another process published first (the link fails with EEXIST and
// the caller maps theirs).
bool publishFresh(int dirFd, const std::string& name) {
    static std::atomic<unsigned> counter{0};
    const std::string temporary = ".new-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(counter.fetch_add(1)) + "-" + name;
    int fd = ::openat(dirFd, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
    if (fd < 0) {
        return false;
    }
    FdGuard file(fd);
    bool made = false;
    // Room is reserved before the page is touched: on a full tmpfs (anyone may
    // fill /dev/shm) a page that was only promised by ftruncate cannot be
    // backed, and touching it kills the process with SIGBUS.
    if (::posix_fallocate(fd, 0, static_cast<off_t>(kMutexFileSize)) == 0) {
        if (MutexFileLayout* layout = mapFile(fd)) {
            made = initialise(layout);
            unmapMutexFile(layout);
        }
    }
    const bool linked = made && (::linkat(dirFd, temporary.c_str(), dirFd, name.c_str(), 0) == 0 ||
                                 errno == EEXIST);
    ::unlinkat(dirFd, temporary.c_str(), 0);
    return linked;
}

// The key under which the cache finds a name: eight bytes at a time, since a
// name is looked up for every record the logger writes.
std::uint64_t lookupKey(const std::string& name) {
    const char* p = name.data();
    std::size_t n = name.size();
    std::uint64_t key = 0x9E3779B97F4A7C15ull ^ n;
    std::uint64_t word;
    for (; n >= 8; p += 8, n -= 8) {
        std::memcpy(&word, p, 8);
        key = (key ^ word) * 0xFF51AFD7ED558CCDull;
        key ^= key >> 32;
    }
    word = 0;
    std::memcpy(&word, p, n);
    key = (key ^ word) * 0xC4CEB9FE1A85EC53ull;
    return key ^ (key >> 29);
}

} // namespace

SharedMutexCache::SharedMutexCache() {
    // A child forked while another thread held the cache lock would find it
    // locked forever; hold it across fork so that both sides get it free.
    ::pthread_atfork([] { instance().mLock.lock(); }, [] { instance().mLock.unlock(); },
                     [] { instance().mLock.unlock(); });
}

MutexHandle* SharedMutexCache::acquire(const std::string& name) {
    if (name.empty()) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(mLock);
    // A logger asks for the same name record after record: the entry handed
    // out last is compared first, byte for byte, before any hashing.
    MutexHandle* last = mLastHanded;
    if (last != nullptr && last->name == name) {
        if (mutexCoarseNowNs() < last->nextCheckNs.load(std::memory_order_relaxed)) {
            return handOutLocked(last);
        }
        return acquireLocked(name, last->key, last);
    }
    const std::uint64_t key = lookupKey(name);
    return acquireLocked(name, key, find(name, key));
}

MutexHandle* SharedMutexCache::find(const std::string& name, std::uint64_t key) const {
    for (MutexHandle* entry : mEntries) {
        if (entry->key == key && entry->name == name) {
            return entry;
        }
    }
    return nullptr;
}

void SharedMutexCache::forgetLocked(MutexHandle* entry) {
    if (mLastHanded == entry) {
        mLastHanded = nullptr;
    }
    mEntries.erase(std::find(mEntries.begin(), mEntries.end(), entry));
    dropLocked(entry);
}

MutexHandle* SharedMutexCache::acquireLocked(const std::string& name, std::uint64_t key,
                                             MutexHandle* entry) {
    if (entry != nullptr) {
        std::int64_t now = mutexCoarseNowNs();
        bool due = now >= entry->nextCheckNs.load(std::memory_order_relaxed);
        if (!due || (entry->layout != nullptr && stillAtPath(entry))) {
            if (due) {
                entry->nextCheckNs.store(now + kCheckIntervalNs, std::memory_order_relaxed);
            }
            if (entry->layout == nullptr) {
                entry->lastUse = ++mUses;
                return nullptr; // refused until the next check
            }
            return handOutLocked(entry);
        }
        // Removed or replaced (or refused last time): set the name up afresh.
        forgetLocked(entry);
    }
    // Everything that may throw comes before the mapping, so that nothing
    // mapped is ever lost on the way.
    std::unique_ptr<MutexHandle> fresh(new MutexHandle());
    fresh->name = name;
    fresh->key = key;
    fresh->entry = mutexFileEntry(name);
    fresh->directory = lockDirectory();
    evictUnusedLocked();
    mEntries.reserve(mEntries.size() + 1);
    mapInto(*fresh);
    fresh->nextCheckNs.store(mutexCoarseNowNs() + kCheckIntervalNs, std::memory_order_relaxed);
    entry = fresh.release();
    mEntries.push_back(entry);
    if (entry->layout == nullptr) {
        entry->lastUse = ++mUses;
        return nullptr;
    }
    return handOutLocked(entry);
}

// Makes room for one more entry: while as many entries as kKeptUnused are
// used by no ZorvMutex (only the cache holds them), the least recently used
// one is let go. Its name is set up again, from its file, when it is created
// next.
void SharedMutexCache::evictUnusedLocked() {
    for (;;) {
        std::size_t unused = 0;
        MutexHandle* oldest = nullptr;
        for (MutexHandle* entry : mEntries) {
            if (entry->refs.load(std::memory_order_acquire) == 1) {
                ++unused;
                if (oldest == nullptr || entry->lastUse < oldest->lastUse) {
                    oldest = entry;
                }
            }
        }
        if (unused < kKeptUnused) {
            return;
        }
        forgetLocked(oldest);
    }
}

void SharedMutexCache::dropLocked(MutexHandle* mapping) {
    mapping->stale.store(true, std::memory_order_release);
    release(mapping); // the cache's own reference
}

MutexHandle* SharedMutexCache::refresh(MutexHandle* mapping) {
    MutexHandle* current;
    {
        std::lock_guard<std::mutex> guard(mLock);
        current = acquireLocked(mapping->name, mapping->key, find(mapping->name, mapping->key));
    }
    release(mapping);
    return current;
}

MutexHandle* SharedMutexCache::replaceUnrecoverable(MutexHandle* mapping) {
    MutexHandle* current;
    {
        std::lock_guard<std::mutex> guard(mLock);
        int dirFd = openDirectory(mapping->directory);
        if (dirFd >= 0) {
            FdGuard dir(dirFd);
            removeIfStill(dirFd, mapping->entry, mapping->dev, mapping->ino);
        }
        if (find(mapping->name, mapping->key) == mapping) {
            forgetLocked(mapping);
        }
        current = acquireLocked(mapping->name, mapping->key, find(mapping->name, mapping->key));
    }
    release(mapping);
    return current;
}

void SharedMutexCache::release(MutexHandle* mapping) {
    if (mapping->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        unmapMutexFile(mapping->layout);
        delete mapping;
    }
}

bool SharedMutexCache::stillAtPath(const MutexHandle* mapping) {
    // The size too: a file cut short under a mapping would fault the next
    // process that touches it, so it is mapped afresh as a damaged one.
    const std::string path = mapping->directory + "/" + mapping->entry;
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == mapping->dev &&
           st.st_ino == mapping->ino && static_cast<std::size_t>(st.st_size) == kMutexFileSize;
}

// Sets up the mapping of one name: the complete file at its entry in the lock
// place, mapped; or, when the entry is missing, a new file made complete under
// a temporary name and then linked into place, so that nobody ever maps a
// half-made one; or, when something unusable is there (damaged, a link, a
// FIFO, unreadable), that thing removed and a new file made. The mapping's
// layout stays null when no lock place or file can be had.
void SharedMutexCache::mapInto(MutexHandle& mapping) {
    if (mapping.directory.empty()) {
        return; // nowhere to lock: records go out whole without it
    }
    int dirFd = openDirectory(mapping.directory);
    if (dirFd < 0) {
        return;
    }
    FdGuard dir(dirFd);
    // Each round either maps the file, or removes what is in the way, or loses
    // the race to publish to another process, whose file the next round maps.
    for (int round = 0; round < 4; ++round) {
        struct stat st;
        switch (mapMutexFile(dirFd, mapping.entry, mapping.layout, st)) {
        case MutexFileFound::Usable:
            mapping.dev = st.st_dev;
            mapping.ino = st.st_ino;
            return;
        case MutexFileFound::Unusable:
            removeIfStill(dirFd, mapping.entry, st.st_dev, st.st_ino);
            break;
        case MutexFileFound::Missing:
            if (!publishFresh(dirFd, mapping.entry)) {
                return;
            }
            break;
        }
    }
}

} // namespace zorv_detail
