#ifndef ZORVLOG_LOGENTRY_H
#define ZORVLOG_LOGENTRY_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zorvlog {

// One entry read back from a log: a line with its section, the lines a value
// with line breaks spread over, or the lines of one error record.
struct LogEntry {
    enum Kind {
        kError, // the lines of one error record
        kPairs, // a key/value line that is not part of an error record
        kDebug, // a tab-separated item line
        kPerf,  // a comma-separated item line
        kText,  // a line without a section and no line before it
    };
    Kind kind = kText;
    std::uint64_t firstLine = 0;
    std::uint64_t lastLine = 0;
    // Byte offsets of the first line's start and of the end of the last
    // line, its LF included, and the CRC-32 of the input's bytes before that.
    std::uint64_t offset = 0;
    std::uint64_t endOffset = 0;
    std::uint32_t endCrc = 0;
    std::string pid, date, time;
    std::vector<std::pair<std::string, std::string>> pairs; // kError, kPairs
    std::vector<std::string> items;                         // kDebug, kPerf
    std::string text;                                       // kText
    // kError: whether the record starts with a Reason line and ends with the
    // version line keyed by the vendor's name.
    bool hasReason = false;
    bool hasVersion = false;
    // Its lines together held more than RecordGrouper::kMaxRecord bytes: the
    // rest of them was left out.
    bool truncated = false;
};

// "3 [N]" into "3" and "N", the way VendorID and VendorError values carry the
// table's texts; false, and the whole value as text, without brackets.
bool splitDescribed(const std::string& value, std::string& text, std::string& description);

} // namespace zorvlog

#endif
