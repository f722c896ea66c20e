#ifndef ZORVLOG_SPOOL_H
#define ZORVLOG_SPOOL_H

#include <string>

namespace zorvlog {

// An input that can be read only once (a pipe) or only from its start (a
// gzip file), copied uncompressed into an unlinked file in $TMPDIR (else
// /tmp): the copy can be read backwards, or twice, in bounded memory.
struct Spooled {
    int fd = -1;         // the copy, at its start; -1 when none could be made whole
    std::string error;   // why there is no copy (the directory named)
    std::string problem; // the input ended early: the copy holds what came
};

// Takes the descriptor (closed here).
Spooled spoolUncompressed(int fd);

} // namespace zorvlog

#endif
