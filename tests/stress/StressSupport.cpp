#include "StressSupport.h"

#include "support/TestSupport.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvLogger.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace stress {

namespace {

constexpr std::size_t kMaxProblems = 8;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// ---- Reading lines back ------------------------------------------------------

// The section "pid\tYYYY/MM/DD\tHH:MM:SS[:mmm]\t" at the start of line; on
// success pos is just after it.
bool parseSection(const std::string& line, std::size_t& pos) {
    std::size_t i = 0;
    while (i < line.size() && isDigit(line[i])) {
        ++i;
    }
    if (i == 0 || i >= line.size() || line[i] != '\t') {
        return false;
    }
    ++i;
    static const char kDate[] = "9999/99/99\t99:99:99";
    for (const char* p = kDate; *p != '\0'; ++p, ++i) {
        if (i >= line.size() || (*p == '9' ? !isDigit(line[i]) : line[i] != *p)) {
            return false;
        }
    }
    if (i < line.size() && line[i] == ':') { // milliseconds
        ++i;
        std::size_t digits = i;
        while (i < line.size() && isDigit(line[i])) {
            ++i;
        }
        if (i == digits) {
            return false;
        }
    }
    if (i >= line.size() || line[i] != '\t') {
        return false;
    }
    pos = i + 1;
    return true;
}

struct RecordLine {
    int index = -1;
    std::string writer;
    long seq = -1;
};

// One line of a StressRecord, payload checked byte for byte.
bool parseRecordLine(const std::string& line, RecordLine& out) {
    std::size_t pos = 0;
    if (!parseSection(line, pos) || line.compare(pos, 4, "Line") != 0 || pos + 6 > line.size()) {
        return false;
    }
    pos += 4;
    if (line[pos] < '0' || line[pos] >= '0' + StressRecord::kLines || line[pos + 1] != '=') {
        return false;
    }
    out.index = line[pos] - '0';
    pos += 2;
    std::size_t colon = line.find(':', pos);
    if (colon == std::string::npos || colon == pos) {
        return false;
    }
    out.writer = line.substr(pos, colon - pos);
    std::size_t seqEnd = colon + 1;
    while (seqEnd < line.size() && isDigit(line[seqEnd])) {
        ++seqEnd;
    }
    if (seqEnd == colon + 1 || seqEnd >= line.size() || line[seqEnd] != ':') {
        return false;
    }
    out.seq = std::atol(line.substr(colon + 1, seqEnd - colon - 1).c_str());
    return line.compare(seqEnd + 1, std::string::npos,
                        StressRecord::payload(out.writer, out.seq, out.index)) == 0;
}

// Whether line could be the beginning of a well-formed record line: what a
// writer killed inside its write, or stopped by a full disk, leaves behind.
bool isPrefixOfRecordLine(const std::string& line) {
    std::size_t i = 0;
    auto done = [&] { return i >= line.size(); };
    while (!done() && isDigit(line[i])) {
        ++i;
    }
    if (done()) {
        return true;
    }
    if (i == 0 || line[i++] != '\t') {
        return false;
    }
    static const char kDate[] = "9999/99/99\t99:99:99";
    for (const char* p = kDate; *p != '\0'; ++p, ++i) {
        if (done()) {
            return true;
        }
        if (*p == '9' ? !isDigit(line[i]) : line[i] != *p) {
            return false;
        }
    }
    if (!done() && line[i] == ':') {
        ++i;
        while (!done() && isDigit(line[i])) {
            ++i;
        }
    }
    if (done()) {
        return true;
    }
    if (line[i++] != '\t') {
        return false;
    }
    static const char kKey[] = "Line";
    for (const char* p = kKey; *p != '\0'; ++p, ++i) {
        if (done()) {
            return true;
        }
        if (line[i] != *p) {
            return false;
        }
    }
    if (done()) {
        return true;
    }
    if (line[i] < '0' || line[i] >= '0' + StressRecord::kLines) {
        return false;
    }
    // The rest: '=', the writer, ':', the sequence, ':', then the start of
    // the payload, which is one letter repeated.
    const std::size_t eq = i + 1;
    if (eq >= line.size()) {
        return true;
    }
    if (line[eq] != '=') {
        return false;
    }
    const std::size_t firstColon = line.find(':', eq + 1);
    if (firstColon == std::string::npos) {
        return true;
    }
    const std::size_t secondColon = line.find(':', firstColon + 1);
    if (secondColon == std::string::npos) {
        return true;
    }
    const std::string rest = line.substr(secondColon + 1);
    return rest.find_first_not_of(rest.empty() ? 'a' : rest[0]) == std::string::npos;
}

void addProblem(LogCheck& check, long lineNo, const std::string& what, const std::string& line) {
    if (check.problems.size() < kMaxProblems) {
        check.problems.push_back("line " + std::to_string(lineNo) + ": " + what + ": \"" +
                                 line.substr(0, 120) + "\"");
    } else if (check.problems.size() == kMaxProblems) {
        check.problems.push_back("...");
    }
}

void addRecord(LogCheck& check, const std::string& writer, long seq) {
    if (!check.records[writer].insert(seq).second) {
        ++check.duplicates;
    }
}

// ---- Roles -------------------------------------------------------------------

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// "writer FILE PREFIX COUNT THREADS [RESULT]": THREADS threads, each with a
// logger of its own, write COUNT records each as writer PREFIX + "t" + index.
// RESULT, when given, receives the longest single log call in milliseconds.
int roleWriter(const std::vector<std::string>& a) {
    if (a.size() < 4) {
        return 90;
    }
    const std::string file = a[0];
    const std::string prefix = a[1];
    const long count = std::atol(a[2].c_str());
    const int threads = std::atoi(a[3].c_str());
    std::vector<long long> longest(static_cast<std::size_t>(threads), 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            ZorvLogger logger(false);
            logger.setLogFileName(TStr(file.c_str()));
            logger.startLogging();
            const std::string writer = prefix + "t" + std::to_string(t);
            for (long seq = 0; seq < count; ++seq) {
                StressRecord record(writer, seq);
                const long long before = nowMs();
                logger.log(record);
                longest[static_cast<std::size_t>(t)] =
                    std::max(longest[static_cast<std::size_t>(t)], nowMs() - before);
            }
        });
    }
    for (std::thread& th : pool) {
        th.join();
    }
    if (a.size() >= 5 && !a[4].empty()) {
        zorvtest::writeFile(a[4],
                            std::to_string(*std::max_element(longest.begin(), longest.end())));
    }
    return 0;
}

// "endless FILE WRITER READY": writes records until it is killed; creates the
// file READY once its first record is written.
int roleEndless(const std::vector<std::string>& a) {
    if (a.size() < 3) {
        return 90;
    }
    ZorvLogger logger(false);
    logger.setLogFileName(TStr(a[0].c_str()));
    logger.startLogging();
    for (long seq = 0;; ++seq) {
        StressRecord record(a[1], seq);
        logger.log(record);
        if (seq == 0) {
            zorvtest::writeFile(a[2], "");
        }
    }
}

// "debug WRITER COUNT": debug records through the debug logger, whose file is
// ZorvDebug.log in the local user data directory of the environment.
int roleDebug(const std::vector<std::string>& a) {
    if (a.size() < 2) {
        return 90;
    }
    ZorvDebugLogger logger;
    logger.startLoggingWMilliSecs();
    const long count = std::atol(a[1].c_str());
    for (long seq = 0; seq < count; ++seq) {
        ZorvDebugLog record(Zorv::kZorvCore, TStr((a[0] + ":" + std::to_string(seq)).c_str()));
        logger.log(record);
    }
    return 0;
}

// "append FILE WRITER FIRST COUNT": COUNT records from seq FIRST.
int roleAppend(const std::vector<std::string>& a) {
    if (a.size() < 4) {
        return 90;
    }
    writeRecords(a[0], a[1], std::atol(a[2].c_str()), std::atol(a[3].c_str()));
    return 0;
}

// "stopped FILE WRITER": one record whose writer stops itself (SIGSTOP, as
// Ctrl-Z or a breakpoint would) after its lines and before the file is closed,
// so it holds the file's lock while stopped; it finishes once continued.
int roleStopped(const std::vector<std::string>& a) {
    if (a.size() < 2) {
        return 90;
    }
    class StoppingRecord : public StressRecord {
    public:
        using StressRecord::StressRecord;
        void dumpTechSupport(ZorvLogger* logger) const override {
            StressRecord::dumpTechSupport(logger);
            ::raise(SIGSTOP);
        }
    };
    ZorvLogger logger(false);
    logger.setLogFileName(TStr(a[0].c_str()));
    logger.startLogging();
    logger.log(StoppingRecord(a[1], 0)); // seq 0: a line longer than 16 KiB
    return 0;
}

// A child started for one of these plays it here, before GoogleTest starts.
[[maybe_unused]] const bool kRolesRegistered =
    zorvtest::registerRole("writer", roleWriter) &&
    zorvtest::registerRole("endless", roleEndless) && zorvtest::registerRole("debug", roleDebug) &&
    zorvtest::registerRole("append", roleAppend) && zorvtest::registerRole("stopped", roleStopped);

} // namespace

long scale() {
    const char* text = std::getenv("ZORV_STRESS_SCALE");
    const long value = text != nullptr ? std::atol(text) : 1;
    return value >= 1 ? value : 1;
}

// ---- StressRecord ------------------------------------------------------------

StressRecord::StressRecord(const std::string& writer, long seq)
    : ZorvLoggable(TStr()), mWriter(writer), mSeq(seq) {}

std::string StressRecord::payload(const std::string& writer, long seq, int line) {
    std::size_t length = 20 + static_cast<std::size_t>((seq * 7 + line * 13) % 80);
    if (line == 2 && seq % 16 == 0) {
        length = 5000;
    } else if (line == 3 && seq % 64 == 40) {
        // Larger than the stream's buffer: the record leaves in several
        // writes, and only the mutex keeps other records out from between.
        length = 20000;
    }
    const char letter =
        static_cast<char>('a' + (seq + line + static_cast<long>(writer.size())) % 26);
    return std::string(length, letter);
}

void StressRecord::dumpTechSupport(ZorvLogger* logger) const {
    for (int line = 0; line < kLines; ++line) {
        const std::string value =
            mWriter + ":" + std::to_string(mSeq) + ":" + payload(mWriter, mSeq, line);
        logger->mLogFile.write(TStr(("Line" + std::to_string(line)).c_str()), TStr(value.c_str()));
    }
}

void writeRecords(const std::string& file, const std::string& writer, long first, long count) {
    ZorvLogger logger(false);
    logger.setLogFileName(TStr(file.c_str()));
    logger.startLogging();
    for (long seq = first; seq < first + count; ++seq) {
        StressRecord record(writer, seq);
        logger.log(record);
    }
}

// ---- Checking ------------------------------------------------------------------

long LogCheck::count() const {
    long total = 0;
    for (const auto& entry : records) {
        total += static_cast<long>(entry.second.size());
    }
    return total;
}

std::set<long> LogCheck::seqs(const std::string& writer) const {
    auto found = records.find(writer);
    return found == records.end() ? std::set<long>() : found->second;
}

std::string LogCheck::summary() const {
    std::ostringstream out;
    out << lines << " lines, " << count() << " records, " << torn << " torn, " << duplicates
        << " duplicates";
    for (const std::string& p : problems) {
        out << "\n  " << p;
    }
    return out.str();
}

LogCheck checkRecordLog(const std::string& text, const std::set<std::string>& mayTear,
                        bool betweenUsers) {
    LogCheck check;
    std::vector<std::string> lines = zorvtest::splitLines(text);
    const bool unterminated = !text.empty() && text.back() != '\n';
    check.lines = static_cast<long>(lines.size());

    bool inRecord = false;
    RecordLine current; // the record in progress
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        const long lineNo = static_cast<long>(n) + 1;
        const bool last = n + 1 == lines.size();
        if (betweenUsers && line.empty() && !inRecord) {
            continue;
        }
        RecordLine parsed;
        const bool full = parseRecordLine(line, parsed) && !(last && unterminated);
        if (full && inRecord && parsed.writer == current.writer && parsed.seq == current.seq &&
            parsed.index == current.index + 1) {
            current.index = parsed.index;
            if (current.index == StressRecord::kLines - 1) {
                addRecord(check, current.writer, current.seq);
                inRecord = false;
            }
            continue;
        }
        if (inRecord) {
            // The record in progress stops here. Only a writer that may have
            // died is allowed that, and then only once per record.
            if (mayTear.count(current.writer) == 0) {
                addProblem(check, lineNo,
                           "record " + current.writer + ":" + std::to_string(current.seq) +
                               " interrupted after its line " + std::to_string(current.index),
                           line);
                inRecord = false;
                continue;
            }
            ++check.torn;
            inRecord = false;
            if (!full) {
                // The line the writer died in: a beginning, then the LF the
                // next writer put after it.
                if (!isPrefixOfRecordLine(line)) {
                    addProblem(check, lineNo, "malformed line after a torn record", line);
                }
                continue;
            }
        }
        if (full && parsed.index == 0) {
            inRecord = true;
            current = parsed;
            continue;
        }
        if (!full && !mayTear.empty() && isPrefixOfRecordLine(line)) {
            // A first line cut short: its writer died inside it.
            ++check.torn;
            continue;
        }
        addProblem(check, lineNo, full ? "line out of its record" : "malformed line", line);
    }
    if (inRecord) {
        if (mayTear.count(current.writer) != 0) {
            ++check.torn;
        } else {
            addProblem(check, check.lines,
                       "file ends inside record " + current.writer + ":" +
                           std::to_string(current.seq),
                       lines.back());
        }
    }
    if (check.duplicates > 0) {
        check.problems.push_back(std::to_string(check.duplicates) + " records written twice");
    }
    return check;
}

LogCheck checkDebugLog(const std::string& text) {
    LogCheck check;
    std::vector<std::string> lines = zorvtest::splitLines(text);
    check.lines = static_cast<long>(lines.size());
    if (!text.empty() && text.back() != '\n') {
        addProblem(check, check.lines, "last line without LF", lines.back());
    }
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        const long lineNo = static_cast<long>(n) + 1;
        std::size_t pos = 0;
        // Section (tab-separated), component, tab, "<writer>:<seq>", tab.
        if (!parseSection(line, pos)) {
            addProblem(check, lineNo, "bad section", line);
            continue;
        }
        const std::vector<std::string> rest = zorvtest::splitFields(line.substr(pos), '\t');
        const std::size_t colon = rest.size() == 3 ? rest[1].find(':') : std::string::npos;
        if (rest.size() != 3 || rest[0].empty() || !rest[2].empty() || colon == std::string::npos ||
            colon + 1 >= rest[1].size() ||
            rest[1].find_first_not_of("0123456789", colon + 1) != std::string::npos) {
            addProblem(check, lineNo, "malformed debug line", line);
            continue;
        }
        addRecord(check, rest[1].substr(0, colon), std::atol(rest[1].c_str() + colon + 1));
    }
    if (check.duplicates > 0) {
        check.problems.push_back(std::to_string(check.duplicates) + " records written twice");
    }
    return check;
}

// ---- Child processes -------------------------------------------------------------

std::string runInChild(const std::function<std::string()>& body, int timeoutMs) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "pipe failed";
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        return "fork failed";
    }
    if (pid == 0) {
        ::close(fds[0]);
        std::string report;
        try {
            report = body();
        } catch (const std::exception& e) {
            report = std::string("exception: ") + e.what();
        }
        std::size_t done = 0;
        while (done < report.size()) {
            ssize_t n = ::write(fds[1], report.data() + done, report.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    const long long deadline = nowMs() + timeoutMs;
    bool timedOut = false;
    for (;;) {
        struct pollfd p = {fds[0], POLLIN, 0};
        const long long left = deadline - nowMs();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            timedOut = r == 0;
            break;
        }
        char buf[4096];
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        report.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (timedOut) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (timedOut) {
        return "child did not finish in time; report so far: " + report;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "child died (status " + std::to_string(status) + "); report so far: " + report;
    }
    return report;
}

} // namespace stress
