#ifndef ZORVLOG_FOLLOWSTATUS_H
#define ZORVLOG_FOLLOWSTATUS_H

#include <string>

namespace zorvlog {

// How a follower stands, as its state file tells it: for each log the
// generation and byte it reads, how far it is behind, when it last handed a
// record out, what it watches, the damage and gaps it named; and whether its
// output takes records. Read without the follower's lock, so that it answers
// while the follower runs. Prints text or one JSON object; returns 0 when the
// output takes records, 1 when it is retrying or the state cannot be read
// (said on stderr).
int followStatus(const std::string& statePath, bool json);

} // namespace zorvlog

#endif
