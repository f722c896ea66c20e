#ifndef ZORV_MUTEX_H
#define ZORV_MUTEX_H

#include "ZorvMutexImp.h"

#include <cstddef>
#include <cstdint>

namespace zorv_detail {
struct MutexHandle;
}

// The named mutex of one user: shared by every process and thread of that user
// that creates the same name, and released by the system when its holder dies.
class ZORV_UTIL_EXPORT ZorvMutex : public ZorvMutexImp {
public:
    ZorvMutex();
    ~ZorvMutex() override;
    ZorvMutex(const ZorvMutex&) = delete;
    ZorvMutex& operator=(const ZorvMutex&) = delete;

    // The global operator new and delete, nothing more: kept for the binary
    // interface, to go at the next soname.
    static void* operator new(std::size_t size);
    static void operator delete(void* mutex, std::size_t size) noexcept;

    bool create(const TStr& name) override;
    bool tryLock() override;
    bool lock(int limitMs) override;
    void unlock() override;
    void close() override;

    // Four words of memory that every holder of this mutex shares, for what
    // they guard together; only the holder may read or write them. Null
    // unless this object holds the mutex. They live in the mapping the mutex
    // already has, so a user needs no mapping of its own (the logger keeps
    // where its last record ended there).
    std::uint64_t* guardedWords();

private:
    zorv_detail::MutexHandle* mHandle;
};

#endif
