#include "follow/LogFollow.h"

#include "cli/ArgParser.h"
#include "follow/FollowState.h"
#include "follow/FollowedLog.h"
#include "follow/JournalOutput.h"
#include "output/EntryFormat.h"
#include "output/TerminalText.h"
#include "read/EntryFilter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <stdexcept>
#include <sys/time.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// How often a log is looked at when nothing has come. Polling, not inotify:
// it sees a log on any file system, a directory made or replaced later, and
// a rename in one way, at the cost of up to this much delay.
const long kPollMs = 200;

volatile std::sig_atomic_t gStop = 0;

// A stop signal sets gStop and from then on SIGALRM comes every 0.1 s: the
// handlers are installed without SA_RESTART, so a write blocked on a reader
// that takes nothing returns (EINTR), also when the stop came just before
// the write began.
void onStop(int) {
    gStop = 1;
    const struct itimerval every {
        {0, 100000}, { 0, 100000 }
    };
    ::setitimer(ITIMER_REAL, &every, nullptr);
}

void onAlarm(int) {}

bool stopRequested() {
    return gStop != 0;
}

// Asked to stop while waiting to print a record: it is not printed, and its
// position not kept.
struct Stopped {};

// Standard output, one record at a time, each written whole or not at all:
// stopped while the reader takes nothing (a collector that is down), follow
// ends before a record, never in the middle of one.
class FollowOutput : public TextSink {
public:
    void beginRecord() {
        if (gStop != 0) {
            throw Stopped();
        }
        mStarted = false;
    }
    void endRecord() { flush(); }

protected:
    void write(const char* data, std::size_t size) override {
        while (size > 0) {
            const ssize_t n = ::write(1, data, size);
            if (n < 0 && errno == EINTR && gStop != 0 && !mStarted) {
                throw Stopped();
            }
            if (n < 0 && errno != EINTR) {
                throw std::runtime_error(std::string("cannot write the output: ") +
                                         std::strerror(errno));
            }
            if (n > 0) {
                mStarted = true;
                data += n;
                size -= static_cast<std::size_t>(n);
            }
        }
    }

private:
    bool mStarted = false;
};

// Offers a record to output until it takes it, pausing 0.1 s, then twice as
// long each time up to 5 s; what stands in the way is said once, and again
// that it goes on. A stop signal ends the pause: the record is not taken.
void offer(RecordOutput& output, const LogEntry& entry, const std::string& source,
           const std::string& key) {
    long pauseMs = 100;
    bool said = false;
    for (;;) {
        if (gStop != 0) {
            throw Stopped();
        }
        if (output.take(entry, source, key) && output.handOver()) {
            if (said) {
                std::fprintf(stderr, "zorvlog follow: the output takes records again\n");
            }
            return;
        }
        if (!said) {
            std::fprintf(stderr, "zorvlog follow: %s; trying again\n",
                         forTerminal(output.why()).c_str());
            said = true;
        }
        const struct timespec pause { pauseMs / 1000, (pauseMs % 1000) * 1000000 };
        if (gStop == 0) {
            ::nanosleep(&pause, nullptr);
        }
        pauseMs = pauseMs * 2 > 5000 ? 5000 : pauseMs * 2;
    }
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) {
        throw std::runtime_error(std::string("cannot tell the current directory: ") +
                                 std::strerror(errno));
    }
    return std::string(cwd) + "/" + path;
}

} // namespace

int LogFollow::run(const std::vector<std::string>& args) {
    std::vector<ArgParser::Option> options{
        {"json", false}, {"journal", false}, {"state", true}, {"owner", true, true}};
    for (const ArgParser::Option& filterOption : EntryFilter::options()) {
        options.push_back(filterOption);
    }
    ArgParser parser(options);
    parser.parse(args);
    const EntryFilter filter = EntryFilter::fromOptions(parser, std::time(nullptr));
    const bool json = parser.has("json");
    if (json && parser.has("journal")) {
        throw UsageError("--json and --journal exclude each other");
    }
    const std::vector<std::string>& sources = parser.operands();
    if (sources.empty()) {
        throw UsageError("no LOGFILE given");
    }
    TrustedOwners owners;
    for (const std::string& user : parser.values("owner")) {
        const long uid = ownerUid(user);
        if (uid < 0) {
            throw UsageError("--owner " + user + ": no such user");
        }
        owners.add(static_cast<uid_t>(uid));
    }
    std::vector<std::string> paths;
    std::set<std::string> seen;
    for (const std::string& source : sources) {
        paths.push_back(absolute(source));
        if (!seen.insert(paths.back()).second) {
            throw UsageError("'" + forTerminal(source) + "' is given twice");
        }
    }
    std::string error;
    const std::string statePath = parser.has("state") ? absolute(parser.value("state"))
                                                      : FollowState::defaultPath(paths, error);
    FollowState state;
    if (statePath.empty() || !state.open(statePath, paths, error)) {
        std::fprintf(stderr, "zorvlog follow: %s\n", forTerminal(error).c_str());
        return 1;
    }

    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGALRM}) {
        struct sigaction action {};
        action.sa_handler = sig == SIGALRM ? onAlarm : onStop;
        ::sigaction(sig, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<FollowedLog>> logs;
    auto save = [&] {
        FollowState::Positions positions;
        for (const auto& log : logs) {
            positions.emplace_back(log->path(), log->positions());
        }
        state.save(positions);
    };
    FollowOutput out;
    std::unique_ptr<RecordOutput> journal;
    if (parser.has("journal")) {
        journal = std::make_unique<JournalOutput>();
    }
    SectionClock clock;
    std::string lastSource;
    try {
        if (!json && !journal) {
            out.buffer() += tableHeading() + "\n";
            out.flush();
        }
        bool resumes = false;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            const std::string source = sources[i];
            auto emit = [&, source](const LogEntry& entry, const std::string& key) {
                if (!filter.matches(entry)) {
                    save(); // passed over, never to be read again
                    return;
                }
                if (journal) {
                    offer(*journal, entry, source, key);
                    save();
                    return;
                }
                out.beginRecord();
                if (json) {
                    writeEntryJson(out, entry, source, clock, key);
                } else {
                    if (paths.size() > 1 && source != lastSource) {
                        out.buffer() += "==> " + forTerminal(source) + " <==\n";
                        lastSource = source;
                    }
                    writeEntryRow(out, entry);
                }
                out.buffer() += '\n';
                out.endRecord();
                save();
            };
            const std::vector<FollowPosition>* resume = state.find(paths[i]);
            resumes = resumes || resume != nullptr;
            logs.push_back(
                std::make_unique<FollowedLog>(paths[i], owners, emit, save, resume, stopRequested));
        }
        if (resumes) {
            std::fprintf(stderr, "zorvlog follow: resuming where the state file %s says\n",
                         forTerminal(statePath).c_str());
        }
        save();
        while (gStop == 0) {
            bool busy = false;
            for (const auto& log : logs) {
                busy = log->poll() || busy;
            }
            // A stop signal ends the pause early.
            const struct timespec pause { 0, kPollMs * 1000000 };
            if (!busy && gStop == 0) {
                ::nanosleep(&pause, nullptr);
            }
        }
    } catch (const Stopped&) {
    }
    return 0;
}

const char* LogFollow::help() {
    return "Usage: zorvlog follow [--json | --journal] [--state FILE] [--owner USER]...\n"
           "                      [--since TIME] [--until TIME] [--kind KIND] [--pid N]\n"
           "                      [--vendor ID] [--code N] [--grep REGEX] LOGFILE...\n"
           "\n"
           "Prints every record written to the LOGFILEs, as it is written, and goes on\n"
           "across rotation. A log is read as a chain of generations: whenever follow looks,\n"
           "however late, every generation after the one it read last (found by its identity\n"
           "or, compressed, by what was read of it) is read to its end, oldest first, in the\n"
           "order of the rotated names (LOGFILE.N, higher N older; LOGFILE with a date\n"
           "suffix, earlier dates older; either with .gz), then the LOGFILE. A generation\n"
           "rotated away is watched for late writes for 60 s meanwhile. A missing LOGFILE is\n"
           "waited for. Records are grouped as 'zorvlog parse' groups them, one record (an\n"
           "error record's lines together) per output line, flushed at once. A record is\n"
           "printed when the next line shows it is whole, or when the file has been quiet\n"
           "for half a second.\n"
           "\n"
           "Only the log's own files are read: regular files owned by root, by this user, by\n"
           "the owner of the first generation accepted or by an --owner; a link only when it\n"
           "belongs to root or to this user. What is passed over, a run of zero bytes, a\n"
           "compressed file cut short and a record cut at 16 MiB are named on stderr.\n"
           "\n"
           "The position in each LOGFILE is kept in a state file after every record, so a\n"
           "follower stopped with SIGTERM resumes with no record lost or repeated (after\n"
           "SIGKILL, at most the last record repeats); it says where it resumes. Without a\n"
           "state, a LOGFILE is read from its start.\n"
           "\n"
           "  --json        one JSON object per record: the members of 'zorvlog parse\n"
           "                --json' (source is the LOGFILE as given), then \"key\": the\n"
           "                generation's identity and the record's offset, the same whenever\n"
           "                the record is read, so that a collector can drop a repeat\n"
           "  --journal     each record one entry of the systemd journal, its parts in\n"
           "                fields (SYSLOG_IDENTIFIER the vendor or component, PRIORITY\n"
           "                by kind, ZORV_KEY the key as --json has it, ZORV_LINES the\n"
           "                record's lines whole); the state moves past a record once\n"
           "                journald's socket took it. While journald takes nothing,\n"
           "                follow says so once and offers the record again, every 5 s\n"
           "                at the most, losing nothing\n"
           "  --state FILE  the state file (default: $XDG_STATE_HOME/zorv/, else\n"
           "                ~/.local/state/zorv/, a file named for the LOGFILEs); one\n"
           "                follower at a time may use it; a LOGFILE, a file named as one\n"
           "                of its generations, anything but a regular file and a file of\n"
           "                other content are refused\n"
           "  --owner USER  trust the files of USER (a name or a number) as the log's own,\n"
           "                where several users write one log; may be given again\n"
           "\n"
           "Filters, as 'zorvlog parse' has them (see its --help), print only the records\n"
           "that pass all of them; the others are read and passed over, and the state moves\n"
           "past them as past a record printed:\n"
           "\n"
           "  --since TIME  records whose section time (when the writer started its\n"
           "                section, not when it wrote the record) is TIME or later\n"
           "  --until TIME  records whose section time is TIME or earlier\n"
           "  --kind KIND   error, debug, perf, pairs or text; several joined by commas\n"
           "  --pid N       records written by process N\n"
           "  --vendor ID   error records of that vendor (a number or a component name)\n"
           "  --code N      error records whose VendorError is N\n"
           "  --grep REGEX  records one of whose lines holds a match of REGEX\n"
           "\n"
           "Stops on SIGTERM, SIGINT or SIGHUP with exit status 0, between two records. Exit\n"
           "status 1: the state file cannot be used, or the output cannot be written; 2: bad\n"
           "arguments (a filter that does not read: one line says which).\n";
}

} // namespace zorvlog
