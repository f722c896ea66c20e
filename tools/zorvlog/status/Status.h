#ifndef ZORVLOG_STATUS_H
#define ZORVLOG_STATUS_H

#include <string>
#include <vector>

namespace zorvlog {

// The "status" command: what a user asks when nothing is logged. The
// switches, the default logs and whether their directory may be written, the
// table that would be loaded and whether it is clean, the lock place, and
// whether a QET serves this user. It looks as a client of this environment
// would (making the data directory and the lock place when missing, as any
// client does) and connects to nothing.
class Status {
public:
    // Exit status 0 when everything a client needs works, 1 when something
    // is off (named on the last line, or in "off"), 2 bad arguments.
    static int run(const std::vector<std::string>& args);
    static const char* help();
};

} // namespace zorvlog

#endif
