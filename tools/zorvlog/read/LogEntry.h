#ifndef ZORVLOG_LOGENTRY_H
#define ZORVLOG_LOGENTRY_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorvlog {

// One entry read back from a log: a line with its section, the lines a value
// with line breaks spread over, or the lines of one error record.
//
// The entry keeps its lines as they stand in the file, joined by LF (text);
// its fields are pieces of that text. So an entry is made without copying
// each field, and a reader that is done with it hands it back to be filled
// again (RecordGrouper keeps the buffers): reading costs no allocation per
// line once the longest entry has been seen.
struct LogEntry {
    enum Kind {
        kError, // the lines of one error record
        kPairs, // a key/value line that is not part of an error record
        kDebug, // a tab-separated item line
        kPerf,  // a comma-separated item line
        kText,  // a line without a section and no line before it
    };
    // A piece of text.
    struct Span {
        std::uint32_t at = 0;
        std::uint32_t size = 0;
    };

    Kind kind = kText;
    // Line numbers in the input, from 1; 0 when not known (an input read
    // from its end).
    std::uint64_t firstLine = 0;
    std::uint64_t lastLine = 0;
    // Byte offsets of the first line's start and of the end of the last
    // line, its LF included, and the CRC-32 of the input's bytes before that.
    std::uint64_t offset = 0;
    std::uint64_t endOffset = 0;
    std::uint32_t endCrc = 0;
    // The lines, joined by LF, without the last LF; empty lines between two
    // entries and runs of zero bytes are not part of it.
    std::string text;
    Span pidSpan, dateSpan, timeSpan;
    std::vector<std::pair<Span, Span>> pairSpans; // kError, kPairs
    std::vector<Span> itemSpans;                  // kDebug, kPerf
    // kError: whether the record starts with a Reason line and ends with the
    // version line keyed by the vendor's name.
    bool hasReason = false;
    bool hasVersion = false;
    // Its lines together held more than RecordGrouper::kMaxRecord bytes: the
    // rest of them was left out.
    bool truncated = false;

    std::string_view piece(Span span) const { return {text.data() + span.at, span.size}; }
    std::string_view pid() const { return piece(pidSpan); }
    std::string_view date() const { return piece(dateSpan); }
    std::string_view time() const { return piece(timeSpan); }
    std::size_t pairCount() const { return pairSpans.size(); }
    std::string_view key(std::size_t i) const { return piece(pairSpans[i].first); }
    std::string_view value(std::size_t i) const { return piece(pairSpans[i].second); }
    // An error record's values by their line, after its Reason line (when
    // it has one), as RecordGrouper matched them.
    enum ErrorValue { kComputerName, kOs, kFile, kLine, kVendorId, kVendorError, kVersion };
    std::string_view errorValue(ErrorValue which) const {
        return value((hasReason ? 1 : 0) + static_cast<std::size_t>(which));
    }
    std::size_t itemCount() const { return itemSpans.size(); }
    std::string_view item(std::size_t i) const { return piece(itemSpans[i]); }

    // Empties it for the next one, keeping its buffers.
    void reset() {
        kind = kText;
        firstLine = lastLine = offset = endOffset = 0;
        endCrc = 0;
        text.clear();
        pidSpan = dateSpan = timeSpan = Span();
        pairSpans.clear();
        itemSpans.clear();
        hasReason = hasVersion = truncated = false;
    }
};

} // namespace zorvlog

#endif
