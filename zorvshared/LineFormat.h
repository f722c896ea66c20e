#ifndef ZORV_SHARED_LINEFORMAT_H
#define ZORV_SHARED_LINEFORMAT_H

// The lines of a log file, as the library writes them and as readers take
// them apart. Every line is one of
//
//   key/value   SECTION TAB key=value[,key=value]... LF
//   items       SECTION S item S [item S]... LF
//
// SECTION is "pid S date S time": the process id in decimal, the date as
// year/month/day, the time as hour:minute:second, with ":milliseconds" when
// the section was started with them (the field texts are made by
// ZorvDelimitedFile's formatters). In a key/value line S is the separator
// ZorvDelimitedFile::kTab points at (a tab), and the payload always follows
// a tab. Of the item lines, a debug record's has the separator kTab and the
// items DebugItem; a performance row's has "," and the columns PerfColumn.
// Nothing is quoted or escaped: a value that holds a separator or a line
// break changes how its line reads, and readers split it the only way they
// can.
//
// The writer makes exactly this. Readers accept more (matchSection), since a
// file may hold lines of other writers and of older versions.

#include <cstddef>
#include <string>
#include <string_view>

namespace zorv_detail {

constexpr char kLineEnd = '\n';
// Between a key/value line's section and its first pair, whatever kTab holds.
constexpr char kPayloadTab = '\t';
constexpr char kPairSeparator = ',';
constexpr char kKeyValueJoiner = '=';
constexpr char kDateJoiner = '/';
constexpr char kTimeJoiner = ':';

// A debug record's items, in this order.
enum DebugItem : int { kDebugComponent, kDebugMessage, kDebugItemCount };

// A performance row's columns, in this order, and their names.
enum PerfColumn : int {
    kPerfOs,
    kPerfComputerName,
    kPerfUtilVersion,
    kPerfFirstSecond, // the first and second measurement, joined by kPerfPairJoiner
    kPerfThirdFourth,
    kPerfComponent,
    kPerfFifth,
    kPerfColumnCount
};
extern const char* const kPerfColumnNames[kPerfColumnCount];
constexpr char kPerfSeparator = ',';
constexpr char kPerfPairJoiner = ':';
// The text of a column the row has no value for (all but the measurements).
constexpr const char* kNotAvailable = "NA";

// ---- Writing: each appends to the lines being built (a std::string, or any
// buffer with append(std::string_view) and push_back(char)). A few appends
// each, made part of their caller: a record's every line passes here.
#define ZORV_LINE_WRITER template <class Lines> [[gnu::always_inline]] inline

ZORV_LINE_WRITER void appendSection(Lines& lines, std::string_view pid, std::string_view date,
                                    std::string_view time, std::string_view separator) {
    lines.append(pid);
    lines.append(separator);
    lines.append(date);
    lines.append(separator);
    lines.append(time);
}

// A key/value line: its section (made with kTab), then the pairs.
ZORV_LINE_WRITER void beginPairsLine(Lines& lines, std::string_view section) {
    lines.append(section);
    lines.push_back(kPayloadTab);
}

ZORV_LINE_WRITER void appendPair(Lines& lines, std::string_view key, std::string_view value,
                                 bool first) {
    if (!first) {
        lines.push_back(kPairSeparator);
    }
    lines.append(key);
    lines.push_back(kKeyValueJoiner);
    lines.append(value);
}

// An item line: its section (made with the separator), then the items.
ZORV_LINE_WRITER void beginItemsLine(Lines& lines, std::string_view section,
                                     std::string_view separator) {
    lines.append(section);
    lines.append(separator);
}

ZORV_LINE_WRITER void appendItem(Lines& lines, std::string_view item, std::string_view separator) {
    lines.append(item);
    lines.append(separator);
}

ZORV_LINE_WRITER void endLine(Lines& lines) {
    lines.push_back(kLineEnd);
}

// A value that carries the table's text for it, as error records write their
// VendorID and VendorError: "3 [ZorvQet]". Without a description, the value
// alone.
constexpr std::string_view kDescriptionOpen = " [";
constexpr char kDescriptionClose = ']';

// A pair whose value may carry a description, built straight into the lines.
struct DescribedPair {
    std::string_view key;
    std::string_view value;
    std::string_view description;
};

ZORV_LINE_WRITER void appendPair(Lines& lines, const DescribedPair& pair, bool first) {
    appendPair(lines, pair.key, pair.value, first);
    if (!pair.description.empty()) {
        lines.append(kDescriptionOpen);
        lines.append(pair.description);
        lines.push_back(kDescriptionClose);
    }
}

#undef ZORV_LINE_WRITER

// ---- Reading.

// The section at the start of a line, as a reader finds it.
struct SectionMatch {
    std::string_view pid;
    std::string_view date;
    std::string_view time;
    char separator = 0;
    std::size_t payload = 0; // where the rest of the line starts
};

// Whether the line starts with a section and its separator. Lenient where
// the writer is strict: the separator is a tab or a comma (the same all
// three times); the date and time fields are runs of digits, each with an
// optional minus (the formatters write numbers outside the calendar as they
// are); the milliseconds are any run of digits (zero-padded, as other
// writers make them) or none at all.
bool matchSection(std::string_view line, SectionMatch& match);

// The numbers of a section's date and time as matchSection found them:
// "2026/12/06" and "17:05:09:7". The milliseconds are 0 when there are none
// and when the field is empty (the formatters' text for a negative reading);
// hasMilliseconds says whether the field was there. False when the text is
// not such fields or a field does not fit in a long.
struct SectionFields {
    long year = 0, month = 0, day = 0;
    long hour = 0, minute = 0, second = 0, millisecond = 0;
    bool hasMilliseconds = false;
};
bool readSectionDate(std::string_view date, SectionFields& fields);
bool readSectionTime(std::string_view time, SectionFields& fields);

// A key/value line's payload "k=v,k=v" into pairs, as the writer joined them:
// at every kPairSeparator, key and value at the first kKeyValueJoiner. The
// writer escapes nothing, so a piece without a joiner cannot be a pair of its
// own: it is the rest of the previous value after a separator that the value
// held, and is given to it. pair(keyFrom, keyTo, valueFrom, valueTo) gets
// offsets into payload; a piece before any pair that has no joiner is a key
// with an empty value.
template <typename Pair> void splitPairs(std::string_view payload, Pair pair) {
    std::size_t keyFrom = 0, keyTo = 0, valueFrom = 0;
    bool open = false;
    for (std::size_t from = 0;;) {
        std::size_t end = payload.find(kPairSeparator, from);
        end = end == std::string_view::npos ? payload.size() : end;
        const std::size_t joiner = payload.substr(0, end).find(kKeyValueJoiner, from);
        if (joiner != std::string_view::npos || !open) {
            if (open) {
                pair(keyFrom, keyTo, valueFrom, from - 1);
            }
            open = true;
            keyFrom = from;
            keyTo = joiner == std::string_view::npos ? end : joiner;
            valueFrom = joiner == std::string_view::npos ? end : joiner + 1;
        }
        if (end == payload.size()) {
            pair(keyFrom, keyTo, valueFrom, end);
            return;
        }
        from = end + 1;
    }
}

// A described value (DescribedPair) into the text before the brackets and the description in them;
// false, and the whole value as text, without brackets.
bool splitDescribed(std::string_view value, std::string_view& text, std::string_view& description);

} // namespace zorv_detail

#endif
