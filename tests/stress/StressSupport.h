#ifndef ZORV_STRESS_SUPPORT_H
#define ZORV_STRESS_SUPPORT_H

// Shared by the stress suites: the multi-line record the writers log, the
// checker that reads a log back and proves every record whole, and the
// writer roles this program plays in its child processes
// (zorvtest::RoleProcess).

#include "support/ChildProcess.h"

#include <zorv/ZorvLoggable.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace stress {

// ZORV_STRESS_SCALE multiplies the counts of the load tests (default 1: a
// quick run on two cores); 20 gives the full counts of a long run.
long scale();

// A record as a client would write one: five key/value lines, "Line0" to
// "Line4", each value "<writer>:<seq>:<payload>". The payload is a function
// of writer, seq and line, so the checker knows every byte to expect; every
// 16th record carries a long line so that the record crosses a 4 KiB page,
// and every 64th one a line longer than the stream's 16 KiB buffer.
class StressRecord : public ZorvLoggable {
public:
    static constexpr int kLines = 5;
    StressRecord(const std::string& writer, long seq);
    void dumpTechSupport(ZorvLogger* logger) const override;

    static std::string payload(const std::string& writer, long seq, int line);

private:
    std::string mWriter;
    long mSeq;
};

// What a log file held, read back line by line.
struct LogCheck {
    std::map<std::string, std::set<long>> records; // complete records per writer
    std::vector<std::string> problems;             // first few problems, described
    long torn = 0;                                 // torn fragments accepted
    long lines = 0;
    long duplicates = 0;

    bool ok() const { return problems.empty(); }
    long count() const;
    std::set<long> seqs(const std::string& writer) const; // empty when none
    std::string summary() const;
};

// Reads a file of StressRecords. Every line must be well formed (section of
// process id, date and time, then the key and the exact value) and the five
// lines of each record contiguous and in order. A record of a writer in
// mayTear may have been cut short by its writer's death: its lines so far,
// the last possibly cut inside, then a new record (the torn-tail rule: the
// next writer ends a line left without its LF before it writes its own).
// betweenUsers: the writers are of several users (who share no lock), so an
// empty line between two records is allowed: the LF a record puts before
// itself when another user's record was on its way.
LogCheck checkRecordLog(const std::string& text, const std::set<std::string>& mayTear = {},
                        bool betweenUsers = false);

// Reads a file of debug records whose messages are "<writer>:<seq>".
LogCheck checkDebugLog(const std::string& text);

// Writes count records to file through a logger of its own, from seq first.
void writeRecords(const std::string& file, const std::string& writer, long first, long count);

// Runs body in a forked child (no exec) and returns what it wrote to its
// report: an empty text when all went well. For checks that must happen in
// a place the parent cannot see, such as a private mount namespace.
// "skip:<why>" tells the caller to skip.
std::string runInChild(const std::function<std::string()>& body, int timeoutMs);

} // namespace stress

#endif
