#include "LogParse.h"

#include "ArgParser.h"
#include "EntryFormat.h"
#include "LogInput.h"
#include "RecordGrouper.h"
#include "TerminalText.h"

#include <cstdio>

namespace zorvlog {

namespace {

// Input whose first 64 KiB hold no line that starts with a section is not a
// log (a core file, an image, a compressed format we do not read).
const std::size_t kLookedAt = 64 * 1024;

class StandardOutput : public TextSink {
protected:
    void write(const char* data, std::size_t size) override { std::fwrite(data, 1, size, stdout); }
};

bool holdsASection(const std::string& start) {
    for (std::size_t from = 0; from < start.size();) {
        std::size_t end = start.find('\n', from);
        end = end == std::string::npos ? start.size() : end;
        if (startsWithSection(start.substr(from, end - from))) {
            return true;
        }
        from = end + 1;
    }
    return false;
}

// Reads one input to its end, printing each entry as soon as it is whole.
// Returns the exit status for this input.
int parseOne(const std::string& source, bool json, bool named, StandardOutput& out) {
    const std::string shown = forTerminal(source);
    auto note = [&shown](const std::string& text) {
        std::fprintf(stderr, "zorvlog parse: %s: %s\n", shown.c_str(), text.c_str());
    };
    LogInput input;
    if (!input.open(source, [&note](std::uint64_t offset, std::uint64_t length) {
            note(LogInput::zerosSkipped(offset, length));
        })) {
        std::fprintf(stderr, "zorvlog: cannot read '%s': %s\n", shown.c_str(),
                     input.error().c_str());
        return 1;
    }
    const std::string start = input.peek(kLookedAt, holdsASection);
    if (!start.empty() && !holdsASection(start)) {
        std::fprintf(stderr,
                     "zorvlog: cannot read '%s': not a log (no line in its first 64 KiB starts "
                     "with a process id, a date and a time)\n",
                     shown.c_str());
        return 2;
    }
    if (!json) {
        if (named) {
            out.buffer() += "==> " + shown + " <==\n";
        }
        out.buffer() += tableHeading() + "\n";
    }
    RecordGrouper grouper([&](LogEntry& entry) {
        if (entry.truncated) {
            note(truncationNote(entry));
        }
        if (json) {
            writeEntryJson(out, entry, source);
        } else {
            writeEntryRow(out, entry);
        }
        out.buffer() += '\n';
        out.spill();
    });
    LogInput::Line line;
    LogInput::Status status;
    while ((status = input.next(line)) == LogInput::kLine || status == LogInput::kMore) {
        if (status == LogInput::kLine) {
            grouper.addLine(line);
        }
    }
    while (status == LogInput::kEnd && input.rest(line)) {
        grouper.addLine(line); // a torn last line
    }
    grouper.finish();
    out.flush();
    if (status == LogInput::kError || !input.complete()) {
        std::fprintf(stderr, "zorvlog: '%s' could not be read to its end: %s\n", shown.c_str(),
                     status == LogInput::kError ? input.error().c_str()
                                                : "the compressed data ends early");
        return 1;
    }
    return 0;
}

} // namespace

int LogParse::run(const std::vector<std::string>& args) {
    ArgParser parser({{"json", false}});
    parser.parse(args);
    const bool json = parser.has("json");
    std::vector<std::string> sources = parser.operands();
    if (sources.empty()) {
        sources.push_back("-");
    }
    StandardOutput out;
    int status = 0;
    for (const std::string& source : sources) {
        int result = parseOne(source, json, sources.size() > 1, out);
        status = result > status ? result : status;
    }
    return status;
}

const char* LogParse::help() {
    return "Usage: zorvlog parse [--json] [FILE...]\n"
           "\n"
           "Reads log files written by the library (standard input when no FILE is given,\n"
           "or for \"-\"), plain or gzip-compressed whatever their names, and splits each\n"
           "line into process id, date, time and payload: key/value pairs, tab-separated\n"
           "items (debug records) or comma-separated items (performance rows). A line that\n"
           "does not start with a section is the tail of a value that held a line break and\n"
           "is joined to the line before. The lines of one error record (Reason,\n"
           "ComputerName, OS, File/Line, VendorID, VendorError and the version line keyed by\n"
           "the vendor's name) become one entry. Nothing in the format is escaped, so a value\n"
           "that holds \",\" or \"=\" is split where they stand. Entries are printed as they\n"
           "are read; memory is bounded by the longest record, and a record longer than\n"
           "16 MiB is cut (said on stderr). Empty lines are passed over; a run of zero bytes\n"
           "(what a crash leaves) is skipped and said on stderr. In the table, control\n"
           "characters, bidirectional controls and bytes that are not UTF-8 are shown\n"
           "escaped, in file names too.\n"
           "\n"
           "  --json   one JSON object per entry, one per line, with the section's time as\n"
           "           \"timestamp\" (RFC 3339 in this process's time zone), \"host\",\n"
           "           \"severity\" (err, debug, info or notice) and, for a record that was\n"
           "           cut, \"truncated\": true\n"
           "\n"
           "Exit status: 0; 1 when a FILE cannot be read to its end; 2 bad arguments, or a\n"
           "FILE that is not a log (no line in its first 64 KiB starts with a process id, a\n"
           "date and a time). The other FILEs are still read.\n";
}

} // namespace zorvlog
