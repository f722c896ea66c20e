#ifndef ZORV_SHARED_REFUSALCOUNT_H
#define ZORV_SHARED_REFUSALCOUNT_H

// The trace a refused record leaves: the library tells its caller nothing,
// so an operator who finds a log empty learns here how many records of it
// were not written, when the last was and why. The count lives in the
// mutex file of the log's name in the writing user's lock place
// (MutexFileEntry.h), in two words its layout leaves free, so it costs a
// written record nothing and lasts as long as that file (until the lock
// place is cleared: at reboot for /dev/shm). Every log of one file name
// shares a mutex file, and so the count. A refusal with no complete mutex
// file to count in is not counted.

#include "TrustRules.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace zorv_detail {

// Where the two words lie in the mutex file: the number of refused records,
// then the time of the last (seconds since the epoch) shifted left by 8 with
// its Refusal in the low byte, so that a reader never pairs one refusal's
// time with another's reason. Each is updated by one atomic operation, by
// any process of the user, whether it holds the mutex or not.
constexpr std::size_t kRefusalWordsOffset = 112;

// What the count of one mutex file says.
struct RefusalTally {
    std::uint64_t count = 0;
    // Seconds since the epoch of the last refusal; 0 when none was counted.
    std::int64_t last = 0;
    Refusal reason = Refusal::None;
};

// Counts one record of the log at logPath refused for why, in the mutex
// file of its name in the user's lock place. False when there is no lock
// place or no complete mutex file of that name to count in.
bool countRefusal(const std::string& logPath, Refusal why);

// Reads the count for the log at logPath in the lock place lockDir, whose
// files belong to owner. False, with *problem in words for a person, when
// it cannot be read; a missing mutex file reads as no refusal (*problem
// then says that nothing could have been counted yet).
bool readRefusals(const std::string& lockDir, const std::string& logPath, uid_t owner,
                  RefusalTally& tally, std::string* problem);

} // namespace zorv_detail

#endif
