#ifndef ZORV_UTIL_MUTEXCLOCK_H
#define ZORV_UTIL_MUTEXCLOCK_H

// The one clock of the named mutex's time rules: how long a wait has lasted
// (the stuck-hold rule after a 10 s wait, the stuck holder's short wait) and
// when a cached mutex file is looked at again (once a second). It is the
// kernel's monotonic clock, moved by whatever offset a program supplies
// through zorv_mutex_clock_offset_ns: the tests of these rules move time that
// way instead of waiting it out. A program that defines no such function (any
// client) gets the kernel's clock unchanged. Internal to the utility library.

#include <cstdint>
#include <time.h>

// Defined by a test program only; the library's reference is weak.
extern "C" std::int64_t zorv_mutex_clock_offset_ns() __attribute__((weak));

namespace zorv_detail {

constexpr std::int64_t kNsPerSecond = 1000000000;
constexpr std::int64_t kNsPerMs = 1000000;

inline std::int64_t mutexClockOffsetNs() {
    return zorv_mutex_clock_offset_ns != nullptr ? zorv_mutex_clock_offset_ns() : 0;
}

inline std::int64_t readClockNs(clockid_t clock) {
    struct timespec ts;
    ::clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// Now, on the mutex's clock.
inline std::int64_t mutexNowNs() {
    return readClockNs(CLOCK_MONOTONIC) + mutexClockOffsetNs();
}

// Now, on the mutex's clock read coarsely (through the vDSO, to a tick).
inline std::int64_t mutexCoarseNowNs() {
    return readClockNs(CLOCK_MONOTONIC_COARSE) + mutexClockOffsetNs();
}

// An instant of the mutex's clock on the kernel's CLOCK_MONOTONIC, for a
// deadline the kernel keeps.
inline std::int64_t kernelMonotonicNs(std::int64_t mutexNs) {
    return mutexNs - mutexClockOffsetNs();
}

} // namespace zorv_detail

#endif
