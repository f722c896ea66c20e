#include "SharedMutexCache.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// Longest name used as the file name as it stands.
constexpr std::size_t kMaxPlainName = 200;

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
    int get() const { return mFd; }

private:
    int mFd;
};

std::string userDirPath() {
    return std::string(kMutexDirPrefix) + std::to_string(::geteuid());
}

// Opens the user's mutex directory, creating it (mode 0700) when missing. -1
// when it is a symbolic link or anything but a directory, is not owned by the
// effective user, or lets the group or others in: another user could then
// reach, replace or pre-create the files, so the name is refused instead.
int openUserDir() {
    const std::string dir = userDirPath();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return -1;
    }
    // O_NOFOLLOW: a link in the place of the directory (planted by anyone in
    // the world-writable /dev/shm) fails here with ELOOP or ENOTDIR.
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool flockRetrying(int fd, int op) {
    while (::flock(fd, op) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::uint32_t loadMagic(const MutexFileLayout* layout) {
    return __atomic_load_n(&layout->magic, __ATOMIC_ACQUIRE);
}

bool headerValid(const MutexFileLayout* layout) {
    return loadMagic(layout) == kMutexFileMagic && layout->version == kMutexFileVersion &&
           layout->size == kMutexFileSize;
}

// The first set-up of a file, under its flock: nobody uses a mutex whose
// magic is still 0, so initialising it here races with no one.
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
    layout->reserved = 0;
    __atomic_store_n(&layout->magic, kMutexFileMagic, __ATOMIC_RELEASE);
    return true;
}

MutexFileLayout* mapFile(int fd) {
    void* addr = ::mmap(nullptr, kMutexFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return addr == MAP_FAILED ? nullptr : static_cast<MutexFileLayout*>(addr);
}

void unmapFile(MutexFileLayout* layout) {
    if (layout != nullptr) {
        ::munmap(layout, kMutexFileSize);
    }
}

} // namespace

SharedMutexCache& SharedMutexCache::instance() {
    // Never destroyed: objects with static storage may still use their mutex
    // while the process exits, and the mappings go with the process anyway.
    static SharedMutexCache* cache = new SharedMutexCache();
    return *cache;
}

SharedMutexCache::SharedMutexCache() {
    // A child forked while another thread held the cache lock would find it
    // locked forever; hold it across fork so that both sides get it free.
    ::pthread_atfork([] { instance().mLock.lock(); }, [] { instance().mLock.unlock(); },
                     [] { instance().mLock.unlock(); });
}

bool SharedMutexCache::isPlainName(const std::string& name) {
    if (name.empty() || name.size() > kMaxPlainName || name == "." || name == "..") {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool SharedMutexCache::fileNameOf(const std::string& name, std::string& fileName) {
    if (name.empty()) {
        return false;
    }
    if (isPlainName(name)) {
        fileName = name;
        return true;
    }
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a 64 offset basis
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 1099511628211ull; // FNV-1a 64 prime
    }
    static const char kHex[] = "0123456789abcdef";
    fileName.assign("h-");
    for (int shift = 60; shift >= 0; shift -= 4) {
        fileName += kHex[(hash >> shift) & 0xF];
    }
    return true;
}

SharedMutexMapping* SharedMutexCache::acquire(const std::string& name) {
    if (isPlainName(name)) {
        // The common case (the logger's "<file>.Mutex"): the name is the key
        // as it stands, without a copy.
        std::lock_guard<std::mutex> guard(mLock);
        return acquireLocked(name);
    }
    std::string fileName;
    if (!fileNameOf(name, fileName)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(mLock);
    return acquireLocked(fileName);
}

SharedMutexMapping* SharedMutexCache::acquireLocked(const std::string& fileName) {
    auto it = mEntries.find(fileName);
    if (it != mEntries.end()) {
        SharedMutexMapping* entry = it->second;
        std::int64_t now = coarseNowNs();
        bool due = now >= entry->nextCheckNs.load(std::memory_order_relaxed);
        if (!due || (entry->layout != nullptr && stillAtPath(entry))) {
            if (due) {
                entry->nextCheckNs.store(now + kCheckIntervalNs, std::memory_order_relaxed);
            }
            if (entry->layout == nullptr) {
                return nullptr; // refused until the next check
            }
            entry->refs.fetch_add(1, std::memory_order_relaxed);
            return entry;
        }
        // Removed or replaced (or refused last time): set the name up afresh.
        mEntries.erase(it);
        dropLocked(entry);
    }
    SharedMutexMapping* fresh = openMapping(fileName);
    fresh->nextCheckNs.store(coarseNowNs() + kCheckIntervalNs, std::memory_order_relaxed);
    mEntries.emplace(fresh->fileName, fresh);
    if (fresh->layout == nullptr) {
        return nullptr;
    }
    fresh->refs.fetch_add(1, std::memory_order_relaxed);
    return fresh;
}

void SharedMutexCache::dropLocked(SharedMutexMapping* mapping) {
    mapping->stale.store(true, std::memory_order_release);
    release(mapping); // the cache's own reference
}

SharedMutexMapping* SharedMutexCache::refresh(SharedMutexMapping* mapping) {
    SharedMutexMapping* current;
    {
        std::lock_guard<std::mutex> guard(mLock);
        // fileName is a file name already, so it is its own key.
        current = acquireLocked(mapping->fileName);
    }
    release(mapping);
    return current;
}

SharedMutexMapping* SharedMutexCache::replaceUnrecoverable(SharedMutexMapping* mapping) {
    SharedMutexMapping* current;
    {
        std::lock_guard<std::mutex> guard(mLock);
        int dirFd = openUserDir();
        if (dirFd >= 0) {
            FdGuard dir(dirFd);
            // Processes that find the same dead mutex take turns here; only the
            // first removes the file, the others find a new one at the path.
            if (flockRetrying(dirFd, LOCK_EX)) {
                struct stat st;
                if (::fstatat(dirFd, mapping->fileName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    st.st_dev == mapping->dev && st.st_ino == mapping->ino) {
                    ::unlinkat(dirFd, mapping->fileName.c_str(), 0);
                }
            }
        }
        auto it = mEntries.find(mapping->fileName);
        if (it != mEntries.end() && it->second == mapping) {
            mEntries.erase(it);
            dropLocked(mapping);
        }
        current = acquireLocked(mapping->fileName);
    }
    release(mapping);
    return current;
}

void SharedMutexCache::release(SharedMutexMapping* mapping) {
    if (mapping->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        unmapFile(mapping->layout);
        delete mapping;
    }
}

bool SharedMutexCache::stillAtPath(const SharedMutexMapping* mapping) const {
    const std::string path = userDirPath() + "/" + mapping->fileName;
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == mapping->dev &&
           st.st_ino == mapping->ino;
}

// Sets up the mapping of one file: open (creating it empty), check, map, and,
// for a file that was never finished, the first set-up under its flock. The
// result is never null; its layout is null when the file cannot be used.
SharedMutexMapping* SharedMutexCache::openMapping(const std::string& fileName) {
    auto* entry = new SharedMutexMapping();
    entry->fileName = fileName;

    int dirFd = openUserDir();
    if (dirFd < 0) {
        return entry;
    }
    // O_NOFOLLOW: a link in the place of the file is refused (ELOOP).
    // O_NONBLOCK: a FIFO in its place cannot stall the open.
    int fd = ::openat(dirFd, fileName.c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    ::close(dirFd);
    if (fd < 0) {
        return entry;
    }
    FdGuard file(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        return entry;
    }

    MutexFileLayout* layout = nullptr;
    if (static_cast<std::size_t>(st.st_size) == kMutexFileSize) {
        layout = mapFile(fd);
        if (layout == nullptr) {
            return entry;
        }
        if (headerValid(layout)) {
            entry->layout = layout; // the usual case: set up long ago
            entry->dev = st.st_dev;
            entry->ino = st.st_ino;
            return entry;
        }
        if (loadMagic(layout) != 0) {
            unmapFile(layout); // someone else's data, or another layout version
            return entry;
        }
        // Magic still 0: the first set-up is running elsewhere or died midway.
    }

    if (!flockRetrying(fd, LOCK_EX) || ::fstat(fd, &st) != 0) {
        unmapFile(layout);
        return entry;
    }
    if (st.st_size == 0) {
        if (::ftruncate(fd, static_cast<off_t>(kMutexFileSize)) != 0) {
            unmapFile(layout);
            return entry;
        }
    } else if (static_cast<std::size_t>(st.st_size) != kMutexFileSize) {
        unmapFile(layout);
        return entry; // not ours: left as it is
    }
    if (layout == nullptr) {
        layout = mapFile(fd);
        if (layout == nullptr) {
            return entry;
        }
    }
    std::uint32_t magic = loadMagic(layout);
    bool usable = magic == 0 ? initialise(layout) : headerValid(layout);
    if (!usable) {
        unmapFile(layout);
        return entry;
    }
    entry->layout = layout;
    entry->dev = st.st_dev;
    entry->ino = st.st_ino;
    return entry; // the flock goes with the descriptor
}

} // namespace zorv_detail
