#ifndef ZORV_UTIL_MUTEXFILE_H
#define ZORV_UTIL_MUTEXFILE_H

// A named mutex's file in the user's lock place (zorvshared/LockPlace.h): its
// name there and its layout, which only the utility library knows: it makes,
// maps and locks these files (ZorvMutex, one mapping per file and process)
// and lends their holders' shared words through ZorvMutex::guardedWords. The
// tests stage damaged files with it.

#include "MutexFileEntry.h"
#include "RefusalCount.h"
#include "SharedLogEnd.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <sys/stat.h>

namespace zorv_detail {

// Every process of the user maps the same bytes; the pthread mutex lives in them.
struct alignas(64) MutexFileLayout {
    std::uint32_t magic;   // kMutexFileMagic once the file is complete
    std::uint32_t version; // kMutexFileVersion
    std::uint32_t size;    // sizeof(MutexFileLayout), the file's exact size
    // The thread id (the kernel's) of the last holder, written by each holder
    // when it has taken the mutex, for waiters to see whether it is stopped.
    // 0 before the first hold.
    std::uint32_t holderThread;
    pthread_mutex_t mutex; // robust, process-shared, error-checking
    // Counts the times the mutex was taken; the number of the present hold.
    std::uint64_t holds;
    // The hold on which a wait of at least 10 s ran out: while that hold
    // lasts, its holder counts as stuck and every lock waits only briefly.
    // 0: none.
    std::uint64_t stuckHold;
    // Memory for what the holders guard together, for the holder alone to read
    // and write (SharedLogEnd.h).
    std::uint64_t guarded[4];
    // The PID namespace of the last holder (the inode number of its
    // /proc/self/ns/pid), written with its thread id: the id names the
    // holder only for a waiter in the same namespace. 0: not known (a holder
    // of a library that wrote none). It lies in room the alignment gives the
    // layout anyway, so files without it have the same size and version.
    std::uint64_t holderPidNamespace;
    // The records refused by the rules of trust (or lost to a failed open or
    // write) for logs of the mutex's name, written by any process of the user
    // with atomic operations, holder or not (RefusalCount.h).
    std::uint64_t refusals[2];
};

static_assert(sizeof(MutexFileLayout) == kMutexFileSize, "the file's size is part of its version");
static_assert(sizeof(SharedLogEnd) == sizeof(MutexFileLayout::guarded),
              "the holders' shared words fill their room");
static_assert(offsetof(MutexFileLayout, refusals) == kRefusalWordsOffset,
              "the refusal count lies where its readers look");

enum class MutexFileFound { Usable, Unusable, Missing };

// Maps the complete file at entry in the directory dirFd. Unusable, with st
// describing what is there, for anything else at the entry: a link, a FIFO,
// a directory, a file we may not open, of another owner, size, magic or
// version. The lock place is the user's own and closed to others, so
// whatever is there came from the user (or root) and no other process can be
// using it as a mutex of this layout.
MutexFileFound mapMutexFile(int dirFd, const std::string& entry, MutexFileLayout*& layout,
                            struct stat& st);

// A mapping of mapMutexFile, or of a file being made, let go (null: none).
void unmapMutexFile(MutexFileLayout* layout);

} // namespace zorv_detail

#endif
