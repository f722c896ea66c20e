#ifndef ZORV_MUTEX_FILE_H
#define ZORV_MUTEX_FILE_H

// The layout of a named-mutex file in the user's lock place
// (rules/LockPlace.h). Internal to the utility library (and its tests, which
// stage damaged files with it).

#include <cstddef>
#include <cstdint>
#include <pthread.h>

namespace zorv_detail {

// "ZMTX" read as a little-endian number. It is written last, when the file is
// complete, so a file whose magic is still 0 was never finished.
constexpr std::uint32_t kMutexFileMagic = 0x58544D5Au;
// Raised whenever the layout below changes. The version is part of the file
// name as well (kMutexFileSuffix), so processes of an older library keep their
// own files instead of finding ours damaged, and the other way round.
constexpr std::uint32_t kMutexFileVersion = 2;
constexpr const char* kMutexFileSuffix = ".v2";

// Every process of the user maps the same bytes; the pthread mutex lives in them.
struct alignas(64) MutexFileLayout {
    std::uint32_t magic;   // kMutexFileMagic once the file is complete
    std::uint32_t version; // kMutexFileVersion
    std::uint32_t size;    // sizeof(MutexFileLayout), the file's exact size
    // The thread id (the kernel's) of the last holder, written by each holder
    // when it has taken the mutex, for waiters to see whether it is stopped.
    // 0 before the first hold. (Named for the word it took over.)
    std::uint32_t reserved;
    pthread_mutex_t mutex; // robust, process-shared, error-checking
    // Counts the times the mutex was taken; the number of the present hold.
    std::uint64_t holds;
    // The hold on which a wait of at least 10 s ran out: while that hold
    // lasts, its holder counts as stuck and every lock waits only briefly.
    // 0: none.
    std::uint64_t stuckHold;
    // Memory for what the holders guard together, for the holder alone to read
    // and write (ZorvMutex::guardedWords).
    std::uint64_t guarded[4];
};

constexpr std::size_t kMutexFileSize = sizeof(MutexFileLayout);

} // namespace zorv_detail

#endif
