#ifndef ZORVLOG_LOGFOLLOW_H
#define ZORVLOG_LOGFOLLOW_H

#include <cstddef>
#include <string>
#include <vector>

namespace zorvlog {

// The "follow" command: prints each record of the given logs as it is
// written, across rotation, and keeps its position in a state file so that a
// restart neither loses nor repeats a record.
class LogFollow {
public:
    // A batch: what is ready, up to this many records or bytes of record
    // text; the state is saved once per batch. kBatchRecords is what a
    // follower killed at the wrong moment may print again.
    static constexpr std::size_t kBatchRecords = 512;
    static constexpr std::size_t kBatchBytes = 1u << 20;

    // Runs until SIGTERM, SIGINT or SIGHUP: exit 0. 1 when the state file
    // cannot be used or the output cannot be written; 2 bad arguments.
    static int run(const std::vector<std::string>& args);
    static const char* help();
};

} // namespace zorvlog

#endif
