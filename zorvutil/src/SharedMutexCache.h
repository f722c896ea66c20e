#ifndef ZORV_SHARED_MUTEX_CACHE_H
#define ZORV_SHARED_MUTEX_CACHE_H

// The process-wide cache behind ZorvMutex: one mapping of each named-mutex
// file, set up on the first create of a name and kept, so that later creates
// make no system call. Of the names no ZorvMutex uses at the moment, the
// kKeptUnused used last stay mapped; older ones are let go and mapped again
// when they are created next. Internal to the utility library.

#include "MutexClock.h"
#include "MutexFile.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/types.h>
#include <time.h>
#include <vector>

namespace zorv_detail {

// What a ZorvMutex stands for: one mapping of one mutex file, or (layout
// null) the memory that a name could not be set up, so that a refused name
// costs no system call either until its next check. Shared by the cache and
// every ZorvMutex of the process that uses it, through a reference count: a
// mapping replaced in the cache (its file was removed) stays mapped until the
// last object that still uses it lets go. A ZorvMutex points at it directly,
// so that creating one allocates nothing.
struct MutexHandle {
    std::string directory;                    // the lock place it was found in
    std::string name;                         // the mutex name it was asked for
    std::uint64_t key = 0;                    // the name's look-up key, compared first
    std::string entry;                        // its file in the directory
    MutexFileLayout* layout = nullptr;        // the mapped file; null: not usable
    dev_t dev = 0;                            // the identity of the mapped file,
    ino_t ino = 0;                            // compared with the path once a second
    std::atomic<long> refs{1};                // the cache's own one, plus one per user
    std::atomic<bool> stale{false};           // no longer the cache's mapping of the name
    std::atomic<std::int64_t> nextCheckNs{0}; // mutexCoarseNowNs
    std::uint64_t lastUse = 0;                // when the cache last handed it out
    // The ZorvMutex of this process that holds the mutex, and its thread:
    // only one can, so they live here rather than in each object. Written by
    // the holder alone, while it holds.
    std::atomic<const void*> holder{nullptr};
    std::atomic<pthread_t> holderThread{};

    pthread_mutex_t* mutex() const { return &layout->mutex; }
};

class SharedMutexCache {
public:
    // Never destroyed: objects with static storage may still use their mutex
    // while the process exits, and the mappings go with the process anyway.
    // Inline: every record's mutex asks for it.
    static SharedMutexCache& instance() {
        static SharedMutexCache* cache = new SharedMutexCache();
        return *cache;
    }

    // The mapping of the named mutex with one reference for the caller, or null
    // when the name is empty or its file cannot be used. No system call when the
    // name is cached and its once-a-second check is not due.
    MutexHandle* acquire(const std::string& name);

    // True when a mapping held by a caller should be looked up afresh: it was
    // replaced, or its check is due. No system call (the coarse clock is read
    // through the vDSO).
    static bool needsRefresh(const MutexHandle* mapping) {
        return mapping->stale.load(std::memory_order_acquire) ||
               mutexCoarseNowNs() >= mapping->nextCheckNs.load(std::memory_order_relaxed);
    }

    // Looks the mapping's name up afresh (see acquire) and drops the caller's
    // reference to the old mapping. Returns the current mapping, or null.
    MutexHandle* refresh(MutexHandle* mapping);

    // The mutex of this mapping is not recoverable (a holder died and the next
    // one released it without marking it consistent): removes its file, if it
    // is still the file at the path, so that the name gets a fresh file, drops
    // the caller's reference, and returns the fresh mapping, or null.
    MutexHandle* replaceUnrecoverable(MutexHandle* mapping);

    // Drops one reference; the last one unmaps.
    static void release(MutexHandle* mapping);

    // The once-a-second check.
    static constexpr std::int64_t kCheckIntervalNs = 1000000000;

    // Mappings (and refusals) of names that no ZorvMutex uses, kept for the
    // next create: enough for any process that logs to a set of files, and
    // far below the kernel's limit of mappings per process (65530), which a
    // process logging to ever new names would otherwise reach.
    static constexpr std::size_t kKeptUnused = 1024;

private:
    SharedMutexCache();
    // entry: the cache's entry of the name (null: none yet).
    MutexHandle* acquireLocked(const std::string& name, std::uint64_t key, MutexHandle* entry);
    MutexHandle* find(const std::string& name, std::uint64_t key) const;
    // Gives the caller a reference to a usable entry of the cache.
    MutexHandle* handOutLocked(MutexHandle* entry) {
        entry->lastUse = ++mUses;
        entry->refs.fetch_add(1, std::memory_order_relaxed);
        mLastHanded = entry;
        return entry;
    }
    void forgetLocked(MutexHandle* entry);
    void evictUnusedLocked();
    static void mapInto(MutexHandle& mapping);
    static bool stillAtPath(const MutexHandle* mapping);
    void dropLocked(MutexHandle* mapping);

    std::mutex mLock; // guards mEntries; held across fork by the atfork handlers
    // A process logs to a few file names; a short list compared by hash first
    // finds one faster than a hash map would (and stays short: kKeptUnused).
    std::vector<MutexHandle*> mEntries;
    std::uint64_t mUses = 0; // counts hand-outs, for lastUse
    // The entry handed out last, one of mEntries (null: none or forgotten).
    MutexHandle* mLastHanded = nullptr;
};

} // namespace zorv_detail

#endif
