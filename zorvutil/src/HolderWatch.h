#ifndef ZORV_UTIL_HOLDERWATCH_H
#define ZORV_UTIL_HOLDERWATCH_H

// How a waiter for a named mutex judges the holder it waits for: each holder
// notes in the mutex file who it is (its thread id as the kernel knows it,
// and its PID namespace) and counts its hold; a waiter looks the holder up in
// /proc to see whether it is stopped, and a long wait that runs out marks the
// hold it waited on as stuck. A stuck hold costs every waiter a short wait;
// a live holder is waited for as long as each waiter's limit says.
// (ZorvMutex::lock waits; this is what it asks.)

#include "MutexClock.h"
#include "MutexFile.h"

#include <cstdint>

namespace zorv_detail {

// How long a bounded wait lasts at most once the hold is seen to be stuck (a
// holder stopped with Ctrl-Z or at a breakpoint): every waiter, the first one
// too, pays this instead of its whole limit.
constexpr std::int64_t kStuckHolderWaitNs = 100 * kNsPerMs;

// A bounded wait at least this long that runs out on one hold makes that hold
// count as stuck for everyone: no live holder keeps a log's mutex that long
// (the logger's own waits are this long).
constexpr std::int64_t kStuckAfterWaitNs = 10000 * kNsPerMs;

// A wait looks at the holder in /proc (several system calls) only once it
// has lasted this long: the holds of writers at work, which waiters meet all
// the time when several processes log at once, end sooner.
constexpr std::int64_t kLookAtHolderAfterNs = 2 * kNsPerMs;

// The number of the present hold (0 before the first).
std::uint64_t currentHold(const MutexFileLayout* layout);

// Whether the present hold is stuck: its holder is stopped, or a wait of at
// least kStuckAfterWaitNs already ran out on it. Whether the holder is
// stopped is asked (in /proc) only when lookAtHolder holds, and only of a
// holder in this PID namespace: elsewhere its thread id names another
// thread here, or none.
bool holdStuck(const MutexFileLayout* layout, std::uint64_t hold, bool lookAtHolder);

// A wait of waitNs that began on firstHold ran out without seeing it stuck:
// one of at least kStuckAfterWaitNs on a hold that still lasts marks it stuck.
void waitRanOut(MutexFileLayout* layout, std::uint64_t firstHold, std::int64_t waitNs);

// The calling thread has just taken the file's mutex: it notes itself as the
// holder and counts the hold.
void noteHolder(MutexFileLayout* layout);

} // namespace zorv_detail

#endif
