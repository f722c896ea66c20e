#ifndef ZORV_OPS_SUPPORT_H
#define ZORV_OPS_SUPPORT_H

// The real rotation and shipping tools against the library: a private home,
// the service's writers, the shipped files with their site values changed,
// and daemons started in the foreground and stopped by their pid.

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace ops {

// ZORV_OPS_SCALE multiplies the record counts (default 1: a quick run);
// ZORV_OPS_ROTATIONS, when set, replaces a test's number of rotations.
long scale();
int rotations(int byDefault);

// A fresh home for one test: HOME and every XDG_* variable point into a
// directory others may enter, the shipped table is installed as system data,
// and log/ belongs to the service user (nobody).
class OpsHome {
public:
    OpsHome();
    std::string path(const std::string& name) const { return mDir.file(name); }
    std::string logDir() const { return mDir.file("log"); }

private:
    zorvtest::TempDir mDir;
    std::vector<std::unique_ptr<zorvtest::ScopedEnv>> mEnv;
};

// The file of contrib/ as the build stages it for installing.
std::string shipped(const std::string& relative);

// text with every occurrence of each first replaced by its second; a first
// that does not occur fails the test, so the shipped file cannot drift away
// from what the test changes.
using Edits = std::vector<std::pair<std::string, std::string>>;
std::string edited(std::string text, const Edits& edits);

// The shipped logrotate snippet for file: rotated by the service user
// nobody, and every rotated file kept.
std::string serviceRotation(const std::string& file);

// Four writers, children of this program running as nobody, each logging
// count records to file through its own logger: debug records and error
// records that carry a vendor version, in turn, every vendor of the table in
// turn; with bigEvery, every bigEvery-th debug message is 250,000 bytes;
// pauseMs after each record. For writeWithRotations, the file's share is
// what it grows by between `rotations` even rotations (small records
// reckoned); with holdBack, the writers wait while the file holds one and a
// half shares until it is rotated, so that the rotations happen however the
// rotating process is scheduled.
class Writers {
public:
    Writers(const std::string& file, long count, int rotations, long bigEvery = 0, int pauseMs = 0,
            bool holdBack = false);
    bool running();
    void wait(); // fails the test unless every writer ended with 0
    long records() const { return mCount * kWriters; }
    long share() const { return mShare; }
    static constexpr int kWriters = 4;

private:
    long mCount;
    long mShare = 0;
    std::vector<std::unique_ptr<zorvtest::RoleProcess>> mChildren;
};

// Runs the writers while logrotate (-f, private state file) rotates file
// with config each time it has grown by the writers' share, and at least
// minGapMs after the last time. Returns the rotations logrotate made; every
// run must exit 0.
int writeWithRotations(const std::string& file, const std::string& config, Writers& writers,
                       int minGapMs = 0);

// The log files of file's directory, oldest first: file.N[.gz] ... file.1,
// file; what else lies there goes to *others.
std::vector<std::string> rotatedFiles(const std::string& file, std::vector<std::string>* others);

// A file's text, decompressed when it ends in .gz.
std::string readLog(const std::string& path);

// How often each record of the writers occurs in text, read back with
// "zorvlog parse --json": "d w1:4" for a debug record, "e w1:5" for an error
// record whose version line matches. Anything else counts under "bad ...".
std::map<std::string, int> tally(const std::string& text);
// The same of records already in JSON Lines, as follow prints them.
std::map<std::string, int> tallyJson(const std::string& jsonLines);

// What is wrong with a tally of writers' records: lost, doubled and bad ones.
struct Loss {
    long lost = 0, doubled = 0, bad = 0;
    std::string first; // the first problem, described
};
Loss lossOf(const std::map<std::string, int>& seen, long countPerWriter);

// A program in the foreground with its output in logFile (its standard
// input and output in, out when given); stopped with SIGTERM (SIGKILL after
// 10 s) at destruction.
class Daemon {
public:
    Daemon(const std::vector<std::string>& argv, const std::string& logFile, int in = -1,
           int out = -1);
    ~Daemon();
    pid_t pid() const { return mPid; }

private:
    pid_t mPid;
};

// A debug record and a seven-line error record of the form the library
// writes, "record n" each; appended to a log as a writer does, from to from +
// count - 1 with every fourth an error record.
std::string debugRecord(int n);
std::string errorRecord(int n);
void append(const std::string& path, const std::string& bytes);
void appendRecords(const std::string& path, int from, int count);

// A TCP port on 127.0.0.1 free at the time of asking.
int freePort();
// Whether something accepts connections on 127.0.0.1:port before the limit
// for events passes.
bool accepting(int port);

} // namespace ops

#endif
