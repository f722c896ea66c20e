#ifndef ZORVLOG_OUTPUTMODE_H
#define ZORVLOG_OUTPUTMODE_H

#include "cli/ArgParser.h"

#include <vector>

namespace zorvlog {

// How parse and follow print entries, chosen as journalctl's users choose
// it: "-o short" the table (the default), "-o json" (or --json) one JSON
// object a line, "-o cat" only the table's CONTENT column, no heading.
enum class OutputMode { kShort, kJson, kCat };

// --json, -o/--output MODE and --no-pager (taken and without effect: the
// output is never paged), for a command's ArgParser.
std::vector<ArgParser::Option> outputOptions();
// The mode the options name; throws UsageError for an unknown mode or one
// that contradicts --json.
OutputMode outputMode(const ArgParser& parser);

} // namespace zorvlog

#endif
