#ifndef ZORVLOG_LOGPARSE_H
#define ZORVLOG_LOGPARSE_H

#include <string>
#include <vector>

namespace zorvlog {

// The "parse" command: reads log files back, entry by entry, as a table or
// as JSON Lines; filtered (EntryFilter.h), the last N, newest first; several
// files as one history in their rotation's order.
class LogParse {
public:
    // Exit 0, also when nothing matches; 1 when a file could not be read
    // (whole); 2 bad arguments or input that is not a log. The other files
    // are still read.
    static int run(const std::vector<std::string>& args);
    static const char* help();
};

} // namespace zorvlog

#endif
