#ifndef ZORV_TEST_READERSUPPORT_H
#define ZORV_TEST_READERSUPPORT_H

// zorvlog's reader called directly: a log's text grouped into entries, and
// the entries as parse --json prints them.

#include "read/LogEntry.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace zorvtest {

// The entries of a log's text, read from a file from its start.
std::vector<zorvlog::LogEntry> groupedEntries(const std::string& text);

// An entry as one JSON object of parse --json (strictly parsed, so that the
// output is held to the grammar too).
nlohmann::json entryJson(const zorvlog::LogEntry& entry);

// Both in one: the JSON objects of a log's text.
std::vector<nlohmann::json> entriesOf(const std::string& text);

// A log of every kind of line a reader meets, `records` records long, the
// same for the same seed: error records (some without a reason or a
// version, some cut short, a vendor named like a key), debug records and
// values with line breaks, performance rows, key/value lines, empty lines,
// stray text, runs of zero bytes, and sometimes a last line without its LF.
std::string mixedLog(unsigned seed, int records);

} // namespace zorvtest

#endif
