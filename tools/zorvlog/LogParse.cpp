#include "LogParse.h"

#include "ArgParser.h"
#include "EntryFormat.h"
#include "LogInput.h"
#include "RecordGrouper.h"

#include <cstdio>

namespace zorvlog {

namespace {

// Reads one input to its end, printing each entry as soon as it is whole.
// Returns the exit status for this input.
int parseOne(const std::string& source, bool json, bool named) {
    LogInput input;
    if (!input.open(source)) {
        std::fprintf(stderr, "zorvlog: cannot read '%s': %s\n", source.c_str(),
                     input.error().c_str());
        return input.binary() ? 2 : 1;
    }
    if (!json) {
        if (named) {
            std::printf("==> %s <==\n", source.c_str());
        }
        std::printf("%s\n", tableHeading().c_str());
    }
    RecordGrouper grouper([&](LogEntry& entry) {
        std::string out = json ? entryJson(entry, source).str() : entryRow(entry);
        out += '\n';
        std::fwrite(out.data(), 1, out.size(), stdout);
    });
    std::string line;
    std::uint64_t offset = 0;
    LogInput::Status status;
    while ((status = input.next(line, offset)) == LogInput::kLine) {
        grouper.addLine(line, offset);
    }
    if (input.rest(line, offset)) {
        grouper.addLine(line, offset, false); // a torn last line
    }
    grouper.finish();
    if (status == LogInput::kError || !input.complete()) {
        std::fprintf(stderr, "zorvlog: '%s' could not be read to its end: %s\n", source.c_str(),
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
    int status = 0;
    for (const std::string& source : sources) {
        int result = parseOne(source, json, sources.size() > 1);
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
           "are read; memory is bounded by the longest record.\n"
           "\n"
           "  --json   one JSON object per entry, one per line, with the section's time as\n"
           "           \"timestamp\" (RFC 3339 in this process's time zone), \"host\" and\n"
           "           \"severity\" (err, debug, info or notice)\n"
           "\n"
           "Exit status: 0; 1 when a FILE cannot be read to its end; 2 bad arguments, or a\n"
           "FILE that is not a log (a NUL byte in its first 64 KiB). The other FILEs are\n"
           "still read.\n";
}

} // namespace zorvlog
