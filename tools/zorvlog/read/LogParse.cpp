#include "read/LogParse.h"

#include "cli/ArgParser.h"
#include "cli/JournalctlHabits.h"
#include "output/EntryFormat.h"
#include "output/OutputMode.h"
#include "output/TerminalText.h"
#include "read/BackwardReader.h"
#include "read/EntryFilter.h"
#include "read/LogInput.h"
#include "read/RecordGrouper.h"
#include "read/RotationNames.h"
#include "read/Spool.h"
#include "write/DefaultLoggers.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <malloc.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace zorvlog {

namespace {

// Input whose first 64 KiB hold no line that starts with a section is not a
// log (a core file, an image, a compressed format we do not read).
const std::size_t kLookedAt = 64 * 1024;
const std::size_t kAll = std::numeric_limits<std::size_t>::max();

// Standard output. Output that cannot be written (a full disk, a closed
// descriptor) ends the command, said, rather than being lost unsaid.
class StandardOutput : public TextSink {
public:
    // Writes out what has gathered, and what the stream holds of it.
    void flushAll() {
        flush();
        if (std::fflush(stdout) != 0) {
            failed();
        }
    }

protected:
    void write(const char* data, std::size_t size) override {
        if (std::fwrite(data, 1, size, stdout) != size) {
            failed();
        }
    }

private:
    [[noreturn]] static void failed() {
        throw std::runtime_error(std::string("cannot write the output: ") + std::strerror(errno));
    }
};

bool holdsASection(const std::string& start) {
    for (std::size_t from = 0; from < start.size();) {
        std::size_t end = start.find('\n', from);
        end = end == std::string::npos ? start.size() : end;
        if (startsWithSection(std::string_view(start).substr(from, end - from))) {
            return true;
        }
        from = end + 1;
    }
    return false;
}

// One FILE of the command line, and what parse says about it.
struct Source {
    std::string name;
    std::string shown;  // for a terminal
    std::string openAs; // where it is read when not at `name` (standard input's copy)
    bool quiet = false; // read a second time: what there is to say was said

    void note(const std::string& text) const {
        if (quiet) {
            return;
        }
        std::fprintf(stderr, "zorvlog parse: %s: %s\n", shown.c_str(), text.c_str());
    }
    LogInput::ZerosSeen zerosNote() const {
        return [this](std::uint64_t offset, std::uint64_t length) {
            note(LogInput::zerosSkipped(offset, length));
        };
    }
    int cannotRead(const std::string& why) const {
        if (quiet) {
            return 1;
        }
        std::fprintf(stderr, "zorvlog: cannot read '%s': %s\n", shown.c_str(), why.c_str());
        return 1;
    }
    int notToItsEnd(const std::string& why) const {
        if (quiet) {
            return 1;
        }
        std::fprintf(stderr, "zorvlog: '%s' could not be read to its end: %s\n", shown.c_str(),
                     why.c_str());
        return 1;
    }
    // 2, said, when the start of the input shows that it is not a log.
    int checkStart(LogInput& input) const {
        const std::string start = input.peek(kLookedAt, holdsASection);
        if (start.empty() || holdsASection(start)) {
            return 0;
        }
        if (quiet) {
            return 2;
        }
        std::fprintf(stderr,
                     "zorvlog: cannot read '%s': not a log (no line in its first 64 KiB starts "
                     "with a process id, a date and a time)\n",
                     shown.c_str());
        return 2;
    }
    // Opens the input for reading from its start; the exit status when it
    // cannot be read or is not a log.
    int open(LogInput& input) const {
        input.keepChecksums(false);
        if (!input.open(openAs.empty() ? name : openAs, zerosNote())) {
            return cannotRead(input.error());
        }
        return checkStart(input);
    }
};

// Feeds an input's lines to the grouper up to its end. The exit status: 1,
// said, when it could not be read to its end.
int readForward(LogInput& input, RecordGrouper& grouper, const Source& source) {
    LogInput::Line line;
    LogInput::Status status;
    while ((status = input.next(line)) != LogInput::kEnd && status != LogInput::kError) {
        if (status == LogInput::kLine) {
            grouper.addLine(line);
        }
    }
    while (status == LogInput::kEnd && input.rest(line)) {
        grouper.addLine(line); // a torn last line
    }
    grouper.finish();
    if (status == LogInput::kError || !input.complete()) {
        return source.notToItsEnd(status == LogInput::kError ? input.error()
                                                             : "the compressed data ends early");
    }
    return 0;
}

// Prints entries as rows under one heading, or as JSON Lines. Several files
// are one history: each row is then led by its file, so that the history
// reads as one table and each row still says where it stands.
class Printer {
public:
    Printer(OutputMode mode, const std::vector<Source>& sources) : mMode(mode) {
        if (sources.size() > 1 && mode == OutputMode::kShort) {
            for (const Source& source : sources) {
                mFileWidth = std::max(mFileWidth, source.shown.size());
            }
            mFileWidth = std::max(mFileWidth, std::strlen("FILE")) + 1;
        }
    }

    void print(const Source& source, const LogEntry& entry) {
        if (mMode == OutputMode::kJson) {
            writeEntryJson(mOut, entry, source.name, mClock);
        } else if (mMode == OutputMode::kCat) {
            writeEntryContent(mOut, entry);
        } else {
            if (!mHeadingDone) {
                mHeadingDone = true;
                column("FILE");
                mOut.buffer() += tableHeading() + "\n";
            }
            column(source.shown);
            writeEntryRow(mOut, entry);
        }
        mOut.buffer() += '\n';
        mOut.spill();
    }
    void flush() { mOut.flushAll(); }

private:
    void column(const std::string& text) {
        if (mFileWidth > 0) {
            mOut.buffer() += text;
            mOut.buffer().append(mFileWidth > text.size() ? mFileWidth - text.size() : 1, ' ');
        }
    }

    OutputMode mMode;
    std::size_t mFileWidth = 0; // 0: no file column
    bool mHeadingDone = false;
    SectionClock mClock;
    StandardOutput mOut;
};

// What parse may hold of the entries it keeps for -n, their buffers
// counted: with the reading's own buffers (a record of up to 16 MiB being
// grouped, the line being read) the process stays within 64 MiB.
const std::size_t kKeptMemory = 24 << 20;

std::size_t memoryOf(const LogEntry& entry) {
    // Each buffer's heap block and its allocator's overhead.
    return sizeof(LogEntry) + entry.text.capacity() + 16 +
           entry.pairSpans.capacity() * sizeof(entry.pairSpans[0]) + 16 +
           entry.itemSpans.capacity() * sizeof(LogEntry::Span) + 16;
}

// An entry taken out of a reader's buffers to be kept: what a long record
// left of room in its buffer is given back.
std::size_t keep(LogEntry& kept, LogEntry& entry) {
    kept = std::move(entry);
    if (kept.text.capacity() > kept.text.size() + kept.text.size() / 8 + 256) {
        kept.text.shrink_to_fit();
    }
    return memoryOf(kept);
}

void noteCut(const Source& source, const LogEntry& entry) {
    if (entry.truncated) {
        source.note(truncationNote(entry));
    }
}

// An input read from its start, every entry printed as soon as it is whole.
int printForward(const Source& source, const EntryFilter& filter, Printer& printer) {
    LogInput input;
    const int opened = source.open(input);
    if (opened != 0) {
        return opened;
    }
    RecordGrouper grouper([&](LogEntry& entry) {
        noteCut(source, entry);
        if (filter.matches(entry)) {
            printer.print(source, entry);
        }
    });
    const int status = readForward(input, grouper, source);
    printer.flush();
    return status;
}

// A matching entry, newest first; false: no more are wanted.
using Emit = std::function<bool(LogEntry&)>;

// A regular file of plain text, from its end.
int emitBackward(const Source& source, int fd, std::uint64_t size, const EntryFilter& filter,
                 const Emit& emit) {
    LogInput head;
    head.keepChecksums(false);
    const int checked = head.open(::dup(fd)) ? source.checkStart(head) : 0;
    if (checked != 0) {
        ::close(fd);
        return checked;
    }
    BackwardReader reader(fd, size, source.zerosNote());
    const bool read = reader.read([&](LogEntry& entry) {
        noteCut(source, entry);
        return !filter.matches(entry) || emit(entry);
    });
    return read ? 0 : source.notToItsEnd(reader.error());
}

// An input that can only be read from its start (compressed, a pipe): its
// last `wanted` matching entries are kept as it is read, as many of them as
// fit in `room` bytes; *cut tells when fewer fit.
int emitLastOfForward(const Source& source, const EntryFilter& filter, std::size_t wanted,
                      std::size_t room, bool* cut, const Emit& emit) {
    LogInput input;
    const int opened = source.open(input);
    if (opened != 0) {
        return opened;
    }
    std::deque<std::pair<LogEntry, std::size_t>> ring; // oldest first, with its memory
    std::size_t held = 0;
    RecordGrouper grouper(
        [&](LogEntry& entry) {
            noteCut(source, entry);
            if (wanted == 0 || !filter.matches(entry)) {
                return;
            }
            ring.emplace_back();
            ring.back().second = keep(ring.back().first, entry);
            held += ring.back().second;
            while (ring.size() > wanted || (held > room && !ring.empty())) {
                *cut = *cut || ring.size() <= wanted;
                held -= ring.front().second;
                ring.pop_front();
            }
        },
        0);
    const int status = readForward(input, grouper, source);
    // Each handed on and let go in turn: what is kept is never held twice.
    for (bool more = true; more && !ring.empty(); ring.pop_back()) {
        more = emit(ring.back().first);
    }
    return status;
}

// An input that can only be read from its start, all of it newest first: it
// is copied (uncompressed) into a file in $TMPDIR, which is read from its
// end, so that memory stays bounded.
int emitAllOfForward(const Source& source, int fd, const EntryFilter& filter, const Emit& emit) {
    const Spooled copy = spoolUncompressed(fd);
    if (copy.fd < 0) {
        return source.cannotRead(copy.error);
    }
    struct stat st;
    const int status =
        ::fstat(copy.fd, &st) == 0
            ? emitBackward(source, copy.fd, static_cast<std::uint64_t>(st.st_size), filter, emit)
            : (::close(copy.fd), source.cannotRead(std::strerror(errno)));
    return copy.problem.empty() ? status : std::max(status, source.notToItsEnd(copy.problem));
}

// An input's matching entries, newest first, `wanted` at most; those kept
// from an input read from its start fit in `room` bytes (*cut when fewer
// than wanted did).
int emitNewestFirst(const Source& source, const EntryFilter& filter, std::size_t wanted,
                    std::size_t room, bool* cut, const Emit& emit) {
    const std::string& path = source.openAs.empty() ? source.name : source.openAs;
    const int fd = path == "-" ? ::dup(0) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        const std::string why = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return source.cannotRead(why);
    }
    unsigned char magic[2] = {0, 0};
    const bool plainFile = S_ISREG(st.st_mode) &&
                           !(::pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b);
    if (plainFile) {
        return emitBackward(source, fd, static_cast<std::uint64_t>(st.st_size), filter, emit);
    }
    if (wanted != kAll && room != kAll) {
        ::close(fd);
        return emitLastOfForward(source, filter, wanted, room, cut, emit);
    }
    return emitAllOfForward(source, fd, filter, emit);
}

// The last `wanted` matching entries of the whole history, oldest first,
// whatever their number and size: every input is read from its start twice,
// once to count its matching entries and once to print past all but those.
int printLastByCounting(const std::vector<Source>& sources, const EntryFilter& filter,
                        std::size_t wanted, Printer& printer) {
    std::vector<std::size_t> counts;
    std::size_t total = 0;
    for (Source source : sources) {
        source.quiet = true; // said when printed
        LogInput input;
        std::size_t count = 0;
        if (source.open(input) == 0) {
            RecordGrouper grouper([&](LogEntry& entry) { count += filter.matches(entry) ? 1 : 0; });
            readForward(input, grouper, source);
        }
        counts.push_back(count);
        total += count;
    }
    std::size_t skip = total > wanted ? total - wanted : 0;
    int status = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const Source& source = sources[i];
        LogInput input;
        int result = source.open(input); // still said when it cannot be read
        if (result == 0 && counts[i] > skip) {
            RecordGrouper grouper([&](LogEntry& entry) {
                noteCut(source, entry);
                if (!filter.matches(entry)) {
                    return;
                }
                if (skip > 0) {
                    --skip;
                } else {
                    printer.print(source, entry);
                }
            });
            result = readForward(input, grouper, source);
        } else {
            skip -= std::min(skip, counts[i]);
        }
        status = std::max(status, result);
    }
    printer.flush();
    return status;
}

// The whole history newest first, `wanted` entries at most: printed as they
// come with --reverse, else kept, as long as they fit in kKeptMemory, and
// printed oldest first; when they do not fit, the history is read twice.
int printNewestFirst(const std::vector<Source>& sources, const EntryFilter& filter,
                     std::size_t wanted, bool reverse, Printer& printer) {
    struct Kept {
        const Source* source;
        LogEntry entry;
    };
    std::deque<Kept> kept;
    std::size_t left = wanted, held = 0;
    bool cut = false;
    int status = 0;
    for (auto it = sources.rbegin(); it != sources.rend() && !cut; ++it) {
        const Source& source = *it;
        int result = 0;
        if (left == 0) {
            // Not needed; still said when it cannot be read or is no log.
            LogInput input;
            result = source.open(input);
        } else {
            const std::size_t room = reverse ? kAll : kKeptMemory - held;
            result = emitNewestFirst(source, filter, left, room, &cut, [&](LogEntry& entry) {
                if (reverse) {
                    printer.print(source, entry);
                } else {
                    kept.push_back(Kept{&source, LogEntry()});
                    held += keep(kept.back().entry, entry);
                    if (held > kKeptMemory) {
                        cut = true;
                        return false;
                    }
                }
                return left == kAll || --left > 0;
            });
        }
        status = std::max(status, result);
    }
    if (cut) {
        kept.clear();
        return printLastByCounting(sources, filter, wanted, printer);
    }
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        printer.print(*it->source, it->entry);
        LogEntry gone(std::move(it->entry)); // its buffers freed here, not kept
    }
    printer.flush();
    return status;
}

// With no FILE named and a person at the terminal: the user's own logs,
// those the debug and performance loggers write (as 'zorvlog status' shows
// them), each with its rotated generations. Throws, said, when none is there.
std::vector<std::string> usersOwnLogs() {
    DebugLogger debug;
    PerfLogger perf;
    std::vector<std::string> files, looked;
    for (const std::string& log : {debug.getLogFileName().bytes(), perf.getLogFileName().bytes()}) {
        if (log.empty()) {
            continue;
        }
        looked.push_back(forTerminal(log));
        std::vector<std::pair<std::string, std::string>> unreadable;
        for (const RotatedFile& rotated : rotatedFiles(log, &unreadable)) {
            files.push_back(rotated.path);
        }
        struct stat st;
        if (::stat(log.c_str(), &st) == 0) {
            files.push_back(log);
        }
    }
    if (files.empty()) {
        std::string names;
        for (const std::string& name : looked) {
            names += (names.empty() ? "" : ", ") + name;
        }
        throw std::runtime_error("no FILE given, and none of your own logs is there to read (" +
                                 (names.empty() ? "no local user data directory" : names) +
                                 "): give a FILE, or - for standard input");
    }
    return files;
}

} // namespace

int LogParse::run(const std::vector<std::string>& args) {
    // Long records' buffers come and go: each straight from the system and
    // back, never kept by the allocator (its threshold would otherwise rise
    // with each one freed, and the heap hold several at once).
    ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
    std::vector<ArgParser::Option> options = outputOptions();
    options.push_back({"lines", true, false, 'n'});
    options.push_back({"reverse", false, false, 'r'});
    for (const ArgParser::Option& filterOption : EntryFilter::options()) {
        options.push_back(filterOption);
    }
    ArgParser parser(options);
    answerJournalctlHabits(parser, "parse");
    parser.parse(args);
    const OutputMode mode = outputMode(parser);
    const EntryFilter filter = EntryFilter::fromOptions(parser, std::time(nullptr));
    std::size_t wanted = kAll;
    if (parser.has("lines")) {
        int lines = 0;
        if (!parseInt(parser.value("lines"), lines) || lines < 0) {
            throw UsageError("--lines needs a number of records, not '" + parser.value("lines") +
                             "'");
        }
        wanted = static_cast<std::size_t>(lines);
    }
    const bool reverse = parser.has("reverse");
    std::vector<std::string> names = parser.operands();
    if (names.empty()) {
        names = ::isatty(0) ? usersOwnLogs() : std::vector<std::string>{"-"};
    }
    std::vector<Source> sources;
    for (const std::string& name : historyOrder(names)) {
        sources.push_back(Source{name, forTerminal(name), std::string(), false});
    }
    // Standard input is read from its end, or twice: through a copy.
    Spooled copy;
    int early = 0;
    for (Source& source : sources) {
        struct stat st;
        unsigned char magic[2] = {0, 0};
        if (source.name != "-" || (wanted == kAll && !reverse) ||
            (::fstat(0, &st) == 0 && S_ISREG(st.st_mode) &&
             !(::pread(0, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b))) {
            continue;
        }
        copy = spoolUncompressed(::dup(0));
        if (copy.fd < 0) {
            return source.cannotRead(copy.error);
        }
        if (!copy.problem.empty()) {
            early = source.notToItsEnd(copy.problem);
        }
        source.openAs = "/proc/self/fd/" + std::to_string(copy.fd);
    }
    Printer printer(mode, sources);
    if (wanted != kAll || reverse) {
        return std::max(early, printNewestFirst(sources, filter, wanted, reverse, printer));
    }
    int status = 0;
    for (const Source& source : sources) {
        status = std::max(status, printForward(source, filter, printer));
    }
    return status;
}

const char* LogParse::help() {
    return "Usage: zorvlog parse [--json | -o MODE] [--lines N] [--reverse] [--since TIME]\n"
           "                     [--until TIME] [--kind KIND] [-p PRIORITY] [--pid N]\n"
           "                     [--vendor ID] [--code N] [--grep PATTERN [-i]] [--no-pager]\n"
           "                     [FILE...]\n"
           "\n"
           "Reads log files written by the library, plain or compressed with gzip, xz, zstd\n"
           "or bzip2 whatever their names, and splits each line into process id, date, time\n"
           "and payload: key/value pairs, tab-separated items (debug records) or\n"
           "comma-separated items (performance rows). A line that does not start with a\n"
           "section is the tail of a value that held a line break and is joined to the line\n"
           "before. The lines of one error record (Reason, ComputerName, OS, File/Line,\n"
           "VendorID, VendorError and the version line keyed by the vendor's name) become\n"
           "one entry. Nothing in the format is escaped, so a value that holds \",\" or \"=\"\n"
           "is split where they stand. Entries are printed as they are read; memory is\n"
           "bounded by the longest record, and a record longer than 16 MiB is cut (said on\n"
           "stderr). Empty lines are passed over; a run of zero bytes (what a crash leaves)\n"
           "is skipped and said on stderr. In the table, control characters, bidirectional\n"
           "controls and bytes that are not UTF-8 are shown escaped, in file names too.\n"
           "\n"
           "Several FILEs are read as one history: the generations of a log in the order\n"
           "of its rotation (app.log.2.gz, app.log.1, app.log, as 'zorvlog follow' reads\n"
           "them; one in another directory, where logrotate's olddir put it, joins the\n"
           "log of its name), each file from its start; logs in the order they are named.\n"
           "The table then has one heading, and each row is led by its FILE (\"source\"\n"
           "in JSON).\n"
           "\n"
           "\"-\" is standard input. With no FILE, standard input is read when it is not a\n"
           "terminal; on a terminal, your own logs are: the debug and performance logs\n"
           "that 'zorvlog status' shows, with their rotated generations (exit 1, said,\n"
           "when none is there).\n"
           "\n"
           "  --json         one JSON object per entry, one per line, with the section's\n"
           "                 time as \"timestamp\" (RFC 3339 in this process's time zone),\n"
           "                 \"host\", \"severity\" (err, debug, info or notice) and, for a\n"
           "                 record that was cut, \"truncated\": true; a member whose text\n"
           "                 is a whole number (pid, line, vendorId, vendorError, the\n"
           "                 measurements of a performance row) is a JSON number\n"
           "  -o, --output MODE  short: the table (the default); json: as --json; cat:\n"
           "                 only the table's CONTENT column (the keys and values), no\n"
           "                 heading and no other column\n"
           "  --no-pager     taken, as journalctl takes it; the output is never paged\n"
           "  -n, --lines N  only the last N entries (that match), any N, read from the\n"
           "                 end of a plain file without reading the rest; their line\n"
           "                 numbers are not known (\"-\", and \"lines\": null in JSON).\n"
           "                 When those to print oldest first would take more than 24 MiB\n"
           "                 to hold, the FILEs are read twice from their start instead\n"
           "                 (once to count, once to print), with their line numbers\n"
           "  -r, --reverse  newest first (line numbers not known either); a compressed\n"
           "                 file is first copied, uncompressed, into a file in $TMPDIR\n"
           "                 (else /tmp), and so is standard input (unless it is a plain\n"
           "                 file) for -n and -r; when the copy cannot be made whole,\n"
           "                 nothing of that FILE is printed (exit 1, said)\n"
           "\n"
           "Filters, all of which an entry must pass:\n"
           "\n"
           "  --since TIME   entries whose section time is TIME or later; the section time\n"
           "                 is when the writer started its section, not when the record was\n"
           "                 written: a process that started it long ago writes records\n"
           "                 under an old time\n"
           "  --until TIME   entries whose section time is TIME or earlier (its whole\n"
           "                 second); TIME is local time: 2026-12-08 09:30:00, 2026-12-08\n"
           "                 (midnight), 09:30 (today), today, yesterday, now, -1h, -30min,\n"
           "                 \"2h ago\", @SECONDS; an entry without a time passes neither\n"
           "  --kind KIND    error, debug, perf, pairs or text; several joined by commas\n"
           "  -p, --priority PRIORITY  entries of that priority and the more important\n"
           "                 ones, as journalctl reads it: emerg, alert, crit, err,\n"
           "                 warning, notice, info, debug or 0 to 7, or a range FROM..TO;\n"
           "                 an error record is err (3), a debug record debug (7), a\n"
           "                 performance row info (6), any other entry notice (5), as\n"
           "                 'zorvlog follow --journal' sends them\n"
           "  --pid N        entries written by process N\n"
           "  --vendor ID    error records of that vendor: its number, or a component\n"
           "                 name (ZorvQet, any case) or a vendor name of the loaded\n"
           "                 error-code table for its number\n"
           "  --code N       error records whose VendorError is N\n"
           "  --grep PATTERN  entries one of whose lines, as in the file, holds a match of\n"
           "                 PATTERN, in RE2's syntax (not POSIX: no back-references);\n"
           "                 matched in time linear in the text and bounded memory, a\n"
           "                 pattern that needs more is refused\n"
           "  -i, --ignore-case  --grep ignores case\n"
           "\n"
           "Exit status: 0, also when no entry matches; 1 when a FILE cannot be read to its\n"
           "end (the other FILEs are still read), or the output cannot be written (a full\n"
           "disk: said, and nothing more is read); 2 bad arguments (a filter that does not\n"
           "read: one line says which), or a FILE that is not a log (no line in its first\n"
           "64 KiB starts with a process id, a date and a time; the other FILEs are still\n"
           "read).\n";
}

} // namespace zorvlog
