#ifndef ZORV_SHARED_LOCKPLACE_H
#define ZORV_SHARED_LOCKPLACE_H

// Where the user's locks live: the named mutexes of the log files and QET's
// instance lock. Every process of one user must find the same place whatever
// its environment (cron jobs and services have no XDG_RUNTIME_DIR, and
// /run/user/<uid> exists only during a login), and no other user may be able
// to take that place away.

#include <string>
#include <sys/types.h>

namespace zorv_detail {

// Moves the lock place, for tests that must not meet the user's real locks.
// Nothing else should set it: processes that disagree on the place do not
// exclude each other. Not read in secure execution (zorvshared/SystemCalls.h).
constexpr const char* kLockDirVariable = "ZORV_LOCK_DIR";

// The lock place, made (0700) when missing:
// - $ZORV_LOCK_DIR when it is set to an absolute path; a directory that
//   exists there is used as it is or refused, never changed, since it may
//   hold other things than ours;
// - else /dev/shm/zorv-<uid> while that is the user's own (it is closed to
//   0700 if it is ours but open); whoever creates that name first in the
//   world-writable /dev/shm holds it, so when another user did,
// - <home>/.cache/zorv/locks, home taken from the password database, not
//   from $HOME, so that every process of the user agrees (closed likewise).
// Empty when none of them passes the directory policy for private use: the
// caller goes on without a lock. reason receives why, when given.
std::string lockDirectory(std::string* reason = nullptr);

// The lock place another user's processes use, for root to read, found by
// the same order without making or changing anything: the variable's
// directory when set, else the first of the two places that is that
// user's own directory (home from the password database). Empty, with
// *reason, when there is none.
std::string lockDirectoryOf(uid_t uid, std::string* reason = nullptr);

} // namespace zorv_detail

#endif
