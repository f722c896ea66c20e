#ifndef ZORVLOG_ENTRYFILTER_H
#define ZORVLOG_ENTRYFILTER_H

#include "cli/ArgParser.h"
#include "read/LogEntry.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zorvlog {

// Which entries parse and follow print: every condition given must hold.
//
//   --since TIME, --until TIME  the entry's section time (when the writer
//                               started its section, not when the record was
//                               written) lies in the range, both ends
//                               included, to the second (TimeArgument.h); an
//                               entry without a section time never does
//   --kind KIND[,KIND...]       error, debug, perf, pairs or text
//   -p, --priority P[..P]       the entry's priority (entryPriority) is P or
//                               more important, or in the range
//   --pid N                     the section's process id
//   --vendor NAME|ID, --code N  error records whose VendorID, VendorError
//                               number is that (a NAME is a component's)
//   --grep REGEX                an extended regular expression (case
//                               sensitive) found in one of the entry's lines
//                               as they stand in the file
class EntryFilter {
public:
    EntryFilter();
    ~EntryFilter();
    EntryFilter(EntryFilter&&) noexcept;
    EntryFilter& operator=(EntryFilter&&) noexcept;

    // The options, for a command's ArgParser.
    static std::vector<ArgParser::Option> options();
    // The filter the options given name; `now` (seconds since the epoch) is
    // what relative times count from. Throws UsageError, one line naming the
    // option, for a value that does not read.
    static EntryFilter fromOptions(const ArgParser& parser, std::int64_t now);

    bool matches(const LogEntry& entry) const;
    // Whether it lets every entry through.
    bool empty() const;

private:
    struct Conditions;
    std::unique_ptr<Conditions> mConditions;
};

} // namespace zorvlog

#endif
