#include "write/RecordWriter.h"

#include "SystemCalls.h"
#include "Utf8.h"
#include "cli/ArgParser.h"
#include "read/LogInput.h"
#include "read/RotationNames.h"
#include "table/TableCheck.h"
#include "write/DefaultLoggers.h"
#include "write/LogFileAccess.h"

#include <zorv/ErrorLog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// The log file as it stands before the record: a descriptor that follows it
// through a rename (a rotation may move it away while the record is written),
// and its size and identity.
class FileBefore {
public:
    explicit FileBefore(const std::string& path)
        : mFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {
        if (mFd >= 0 && ::fstat(mFd, &mStat) != 0) {
            ::close(mFd);
            mFd = -1;
        }
    }
    ~FileBefore() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    FileBefore(const FileBefore&) = delete;
    FileBefore& operator=(const FileBefore&) = delete;

    // What was added to that file since, wherever it is now.
    std::string added() const {
        struct stat now;
        if (mFd < 0 || ::fstat(mFd, &now) != 0 || now.st_size <= mStat.st_size) {
            return std::string();
        }
        return readRange(mFd, mStat.st_size, now.st_size);
    }
    // The file at the path now, when it is another one (the log was rotated
    // and made anew): all of it.
    std::string successor(const std::string& path) const {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        std::string text;
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0 &&
            (mFd < 0 || st.st_dev != mStat.st_dev || st.st_ino != mStat.st_ino)) {
            text = readRange(fd, 0, st.st_size);
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return text;
    }

private:
    static std::string readRange(int fd, off_t from, off_t to) {
        std::string text(static_cast<std::size_t>(to - from), '\0');
        const ssize_t got = ::pread(fd, &text[0], text.size(), from);
        text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return text;
    }

    int mFd;
    struct stat mStat {};
};

// Whether a whole line of ours, one that starts with the section, is in text.
bool holdsOurLine(const std::string& text, const std::string& section) {
    const bool found = text.compare(0, section.size(), section) == 0 ||
                       text.find("\n" + section) != std::string::npos;
    return found && !text.empty() && text.back() == '\n';
}

// Whether a whole line that starts with the section is in a file, plain or
// compressed.
bool fileHoldsOurLine(const std::string& path, const std::string& section) {
    LogInput input;
    if (!input.open(path)) {
        return false;
    }
    LogInput::Line line;
    for (LogInput::Status status;
         (status = input.next(line)) != LogInput::kEnd && status != LogInput::kError;) {
        if (status == LogInput::kLine && line.text.compare(0, section.size(), section) == 0) {
            return true;
        }
    }
    return false;
}

// Whether the record is in one of the log's generations beside it that
// changed since `since`, newest first: the file it went to (the one the
// library made, when the log was missing, or the one made anew at the path
// after a rotation) may have been rotated away, once or more, before the
// check.
bool inRotatedGeneration(const std::string& path, const struct timespec& since,
                         const std::string& section) {
    const std::vector<RotatedFile> chain = rotatedFiles(path, nullptr);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        struct stat st;
        if (::stat(it->path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            (st.st_mtim.tv_sec > since.tv_sec ||
             (st.st_mtim.tv_sec == since.tv_sec && st.st_mtim.tv_nsec >= since.tv_nsec)) &&
            fileHoldsOurLine(it->path, section)) {
            return true;
        }
    }
    return false;
}

void fail(const std::string& message) {
    std::fprintf(stderr, "zorvlog: %s\n", message.c_str());
}

// Whether the library will write to the file, asked before a record is
// logged: the same open, made first, tells us (and makes the file exactly as
// the library would). A path that is not UTF-8 the library refuses outright.
bool checkAppendable(const std::string& path) {
    if (path.empty()) {
        fail("no log file to write to");
        return false;
    }
    if (!zorv_detail::isValidUtf8(path)) {
        fail("cannot write to '" + path + "': the path is not valid UTF-8");
        return false;
    }
    std::string problem;
    bool refused = false;
    if (!openForRecord(path, &problem, &refused)) {
        fail(refused ? problem + "; nothing was written to '" + path + "'"
                     : "cannot open '" + path + "' for appending: " + problem +
                           "; nothing was written");
        return false;
    }
    return true;
}

// Starts the section, logs the record and checks that a line of ours (one
// that starts with this section) reached the file: the one at the path before,
// or, when the log was rotated meanwhile, the one at the path now or one of
// the generations beside it.
int logAndVerify(ZorvLogger& logger, ZorvLoggable& record, bool milliSecs,
                 const char* sectionSeparator) {
    const std::string path = logger.getLogFileName().bytes();
    if (!checkAppendable(path)) {
        return 1;
    }
    const FileBefore before(path);
    // File times come from a coarse clock, a tick behind this one.
    struct timespec start {};
    ::clock_gettime(CLOCK_REALTIME, &start);
    start.tv_sec -= 1;
    if (milliSecs) {
        logger.startLoggingWMilliSecs();
    } else {
        logger.startLogging();
    }
    logger.log(record);

    const std::string section =
        logger.mLogFile.getCurrentSection(TStr(sectionSeparator)).bytes() + sectionSeparator;
    if (!holdsOurLine(before.added(), section) && !holdsOurLine(before.successor(path), section) &&
        !inRotatedGeneration(path, start, section)) {
        fail("the record did not reach '" + path + "'");
        return 1;
    }
    return 0;
}

std::string joinWords(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        text += i == 0 ? "" : " ";
        text += words[i];
    }
    return text;
}

// The library is silent about the table it passes over or cannot load; a
// person put that file there and expects it to be read.
void noteTableSearch(bool loaded) {
    const TableCheck::Search found = TableCheck::search();
    for (const std::string& note : found.passedOver) {
        std::fprintf(stderr, "zorvlog: note: %s\n", note.c_str());
    }
    if (!found.unloadable.empty()) {
        std::fprintf(stderr, "zorvlog: note: %s\n", found.unloadable.c_str());
    } else if (!loaded) {
        std::fprintf(stderr,
                     "zorvlog: note: %s; the record carries no vendor name or description\n",
                     TableCheck::noTableText(found).c_str());
    }
}

// Any value of the switch turns its logger on; one that reads as "off" to a
// person is a trap worth a word.
void warnIfSwitchReadsOff(const char* variable, const char* what) {
    if (switchReadsOff(variable)) {
        std::fprintf(stderr,
                     "zorvlog: warning: %s=\"%s\" switches %s logging on: any value does; unset "
                     "%s to switch it off\n",
                     variable, zorv_detail::environmentValue(variable), what, variable);
    }
}

} // namespace

int RecordWriter::error(const std::vector<std::string>& args) {
    ArgParser parser({{"vendor", true},
                      {"code", true},
                      {"file", true},
                      {"line", true},
                      {"vendor-version", true},
                      {"reason", true},
                      {"ms", false}});
    parser.parse(args);
    int vendor = parseVendor(parser.required("vendor"));
    parser.required("code");
    int code = parser.number("code");
    int line = parser.number("line");
    if (parser.operands().size() != 1) {
        throw UsageError(parser.operands().empty() ? "LOGFILE is missing"
                                                   : "only one LOGFILE may be given");
    }
    const std::string path = parser.operands()[0];
    if (path.empty()) {
        throw UsageError("LOGFILE is empty");
    }

    // What ZorvLogger(path) does, split up so that we learn whether a table
    // was found: without one the record carries no names or descriptions.
    ZorvLogger logger(false);
    logger.setLogFileName(TStr(path));
    const bool withTable = logger.loadErrorTable();
    ZorvErrorBase record(static_cast<Zorv::VendorID>(vendor), code, TStr(parser.value("file")),
                         line, TStr(parser.value("vendor-version")));
    if (parser.has("reason")) {
        record.setReason(TStr(parser.value("reason")));
    }
    const int status = logAndVerify(logger, record, parser.has("ms"), "\t");
    if (status == 0) {
        noteTableSearch(withTable);
    }
    return status;
}

int RecordWriter::debug(const std::vector<std::string>& args) {
    ArgParser parser({{"vendor", true}, {"to", true}, {"ms", false}});
    parser.parse(args);
    int vendor = parseVendor(parser.required("vendor"));
    if (parser.operands().empty()) {
        throw UsageError("MESSAGE is missing");
    }
    if (parser.has("to") && parser.value("to").empty()) {
        throw UsageError("--to needs a file name");
    }
    ZorvDebugLog record(static_cast<Zorv::VendorID>(vendor), TStr(joinWords(parser.operands())));
    if (parser.has("to")) {
        ZorvLogger logger(false);
        logger.setLogFileName(TStr(parser.value("to")));
        return logAndVerify(logger, record, parser.has("ms"), "\t");
    }
    DebugLogger logger;
    if (!logger.enabled()) {
        fail(std::string("debug logging is switched off (") + ZorvDebugLogger::ZORV_DEBUG_MODE +
             " is not set); nothing was written to '" + logger.getLogFileName().bytes() + "'");
        return 1;
    }
    warnIfSwitchReadsOff(ZorvDebugLogger::ZORV_DEBUG_MODE, "debug");
    return logAndVerify(logger, record, parser.has("ms"), "\t");
}

int RecordWriter::perf(const std::vector<std::string>& args) {
    ArgParser parser({{"vendor", true}, {"to", true}, {"ms", false}});
    parser.parse(args);
    int vendor = parseVendor(parser.required("vendor"));
    const std::vector<std::string>& fields = parser.operands();
    if (fields.size() != 5) {
        throw UsageError("perf takes exactly five values (FIRST SECOND THIRD FOURTH FIFTH), not " +
                         std::to_string(fields.size()));
    }
    if (parser.has("to") && parser.value("to").empty()) {
        throw UsageError("--to needs a file name");
    }
    ZorvPerfLogData data;
    data.mFirst = TStr(fields[0]);
    data.mSecond = TStr(fields[1]);
    data.mThird = TStr(fields[2]);
    data.mFourth = TStr(fields[3]);
    data.mFifth = TStr(fields[4]);
    ZorvPerfLog record(static_cast<Zorv::VendorID>(vendor), data);
    if (parser.has("to")) {
        ZorvLogger logger(false);
        logger.setLogFileName(TStr(parser.value("to")));
        return logAndVerify(logger, record, parser.has("ms"), ",");
    }
    PerfLogger logger;
    if (!logger.enabled()) {
        fail(std::string("performance logging is switched off (") + ZorvPerfLogger::ZORV_PERF_LOG +
             " is not set); nothing was written to '" + logger.getLogFileName().bytes() + "'");
        return 1;
    }
    warnIfSwitchReadsOff(ZorvPerfLogger::ZORV_PERF_LOG, "performance");
    return logAndVerify(logger, record, parser.has("ms"), ",");
}

const char* RecordWriter::errorHelp() {
    return "Usage: zorvlog error --vendor ID --code N [--file PATH] [--line N]\n"
           "                     [--vendor-version TEXT] [--reason TEXT] [--ms] LOGFILE\n"
           "\n"
           "Appends one error record to LOGFILE through a ZorvLogger with the error-code\n"
           "table loaded: Reason, ComputerName, OS, File/Line, VendorID, VendorError and,\n"
           "when the table names the vendor and a version is given, the version line.\n"
           "\n"
           "  --vendor ID             component number, or its name (ZorvCore, any case)\n"
           "  --code N                the vendor's status code\n"
           "  --file PATH             source file (its last path component is written)\n"
           "  --line N                source line (default 0)\n"
           "  --vendor-version TEXT   the vendor's version\n"
           "  --reason TEXT           instead of \"Fatal error\"; empty writes no Reason line\n"
           "  --ms                    the section's time carries milliseconds\n"
           "\n"
           "Exit status: 0 written, 1 not written (the file cannot be opened for appending,\n"
           "or it lies in the local user data directory and the directory policy refuses\n"
           "that directory), 2 bad arguments (nothing is written).\n";
}

const char* RecordWriter::debugHelp() {
    return "Usage: zorvlog debug --vendor ID [--to LOGFILE] [--ms] MESSAGE...\n"
           "\n"
           "Appends one debug record (the words of MESSAGE joined by spaces) through a\n"
           "ZorvDebugLogger: to ZorvDebug.log in the local user data directory, and only\n"
           "when ZORV_DEBUG_MODE is set. With --to, through a plain logger to LOGFILE,\n"
           "whatever the environment says. Put \"--\" before a message that starts with \"--\".\n"
           "\n"
           "  --vendor ID    component number, or its name (ZorvCore, any case)\n"
           "  --to LOGFILE   write to LOGFILE through a plain logger, switch or not\n"
           "  --ms           the section's time carries milliseconds\n"
           "\n"
           "Exit status: 0 written, 1 not written (debug logging switched off, the file\n"
           "cannot be opened for appending, or the directory policy refuses the data\n"
           "directory), 2 bad arguments (nothing is written).\n";
}

const char* RecordWriter::perfHelp() {
    return "Usage: zorvlog perf --vendor ID [--to LOGFILE] [--ms] FIRST SECOND THIRD FOURTH FIFTH\n"
           "\n"
           "Appends one performance row through a ZorvPerfLogger: to ZorvPerfLog.csv in the\n"
           "local user data directory, and only when ZORV_PERF_LOG is set. With --to,\n"
           "through a plain logger to LOGFILE. The row reads: section, OS release, computer\n"
           "name, utility library version, FIRST:SECOND, THIRD:FOURTH, component, FIFTH; an\n"
           "empty value is written as NA.\n"
           "\n"
           "  --vendor ID    component number, or its name (ZorvCore, any case)\n"
           "  --to LOGFILE   write to LOGFILE through a plain logger, switch or not\n"
           "  --ms           the section's time carries milliseconds\n"
           "\n"
           "Exit status: 0 written, 1 not written (performance logging switched off, the\n"
           "file cannot be opened for appending, or the directory policy refuses the data\n"
           "directory), 2 bad arguments (nothing is written).\n";
}

} // namespace zorvlog
