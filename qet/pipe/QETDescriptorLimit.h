#ifndef QET_DESCRIPTORLIMIT_H
#define QET_DESCRIPTORLIMIT_H

// How many connections QET may hold: each costs a descriptor, and a QET that
// runs out of descriptors can no longer write its logs or run `uname -a` for
// an error record. The soft limit is raised (up to the hard one) to
// kDescriptorLimit, far above what a desktop user's clients need and far
// below the half million some systems allow, which would only let a flood
// pile up more connections.
namespace zorv_detail {

constexpr long kDescriptorLimit = 4096;
// Kept free beyond the descriptors open when the cap is set: a log file, the
// pipe of `uname -a`, a mutex file, Qt's own.
constexpr long kHeadroom = 32;

// Raises the soft limit, then returns the connection cap: the limit (at most
// kDescriptorLimit) less the descriptors open now and the headroom, at least 1.
long connectionCap();

} // namespace zorv_detail

#endif
