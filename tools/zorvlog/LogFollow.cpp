#include "LogFollow.h"

#include "ArgParser.h"
#include "EntryFormat.h"
#include "FollowState.h"
#include "FollowedLog.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <set>
#include <stdexcept>
#include <unistd.h>

namespace zorvlog {

namespace {

// How often a log is looked at when nothing has come. Polling, not inotify:
// it sees a log on any file system, a directory made or replaced later, and
// a rename in one way, at the cost of up to this much delay.
const long kPollMs = 200;

volatile std::sig_atomic_t gStop = 0;

void onStop(int) {
    gStop = 1;
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

void writeOut(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        throw std::runtime_error(std::string("cannot write the output: ") + std::strerror(errno));
    }
}

} // namespace

int LogFollow::run(const std::vector<std::string>& args) {
    ArgParser parser({{"json", false}, {"state", true}});
    parser.parse(args);
    const bool json = parser.has("json");
    const std::vector<std::string>& sources = parser.operands();
    if (sources.empty()) {
        throw UsageError("no LOGFILE given");
    }
    std::vector<std::string> paths;
    std::set<std::string> seen;
    for (const std::string& source : sources) {
        paths.push_back(absolute(source));
        if (!seen.insert(paths.back()).second) {
            throw UsageError("'" + source + "' is given twice");
        }
    }
    std::string error;
    const std::string statePath = parser.has("state") ? absolute(parser.value("state"))
                                                      : FollowState::defaultPath(paths, error);
    FollowState state;
    if (statePath.empty() || !state.open(statePath, error)) {
        std::fprintf(stderr, "zorvlog follow: %s\n", error.c_str());
        return 1;
    }

    // The stop signals are let in only while waiting, so a record is never
    // cut between its output and its position.
    sigset_t stops, waiting;
    sigemptyset(&stops);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stops, sig);
        struct sigaction action {};
        action.sa_handler = onStop;
        ::sigaction(sig, &action, nullptr);
    }
    ::sigprocmask(SIG_BLOCK, &stops, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGHUP);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<FollowedLog>> logs;
    auto save = [&] {
        std::vector<std::pair<std::string, FollowPosition>> positions;
        for (const auto& log : logs) {
            positions.emplace_back(log->path(), log->position());
        }
        state.save(positions);
    };
    std::string lastSource;
    if (!json) {
        writeOut(tableHeading() + "\n");
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string source = sources[i];
        auto emit = [&, source](const LogEntry& entry, const std::string& key) {
            std::string out;
            if (json) {
                out = entryJson(entry, source).add("key", key).str();
            } else {
                if (paths.size() > 1 && source != lastSource) {
                    out = "==> " + source + " <==\n";
                    lastSource = source;
                }
                out += entryRow(entry);
            }
            writeOut(out + "\n");
            save();
        };
        logs.push_back(std::make_unique<FollowedLog>(paths[i], emit, save, state.find(paths[i])));
    }
    save();

    while (gStop == 0) {
        bool busy = false;
        for (const auto& log : logs) {
            busy = log->poll() || busy;
        }
        struct timespec pause {
            0, busy ? 0 : kPollMs * 1000000
        };
        ::ppoll(nullptr, 0, &pause, &waiting);
    }
    return 0;
}

const char* LogFollow::help() {
    return "Usage: zorvlog follow [--json] [--state FILE] LOGFILE...\n"
           "\n"
           "Prints every record written to the LOGFILEs, as it is written, and goes on\n"
           "across rotation: a file renamed away is read to its end (and for 2 s more, for\n"
           "writes that were under way), then the new file at the name; a missing or\n"
           "removed LOGFILE is waited for. Records are grouped as 'zorvlog parse' groups\n"
           "them, one record (an error record's lines together) per output line, flushed\n"
           "at once. A record is printed when the next line shows it is whole, or when the\n"
           "file has been quiet for half a second.\n"
           "\n"
           "The position in each LOGFILE is kept in a state file after every record, so a\n"
           "follower stopped with SIGTERM resumes with no record lost or repeated (after\n"
           "SIGKILL, at most the last record repeats). On a restart the file it stopped in\n"
           "is found again even when it has been rotated (renamed or gzip-compressed) and\n"
           "read to its end, then the files rotated after it, then the LOGFILE. Without a\n"
           "state, a LOGFILE is read from its start.\n"
           "\n"
           "  --json        one JSON object per record: the members of 'zorvlog parse\n"
           "                --json' (source is the LOGFILE as given), then \"key\": the\n"
           "                file's identity and the record's offset, the same whenever the\n"
           "                record is read, so that a collector can drop a repeat\n"
           "  --state FILE  the state file (default: $XDG_STATE_HOME/zorv/, else\n"
           "                ~/.local/state/zorv/, a file named for the LOGFILEs); one\n"
           "                follower at a time may use it\n"
           "\n"
           "Stops on SIGTERM, SIGINT or SIGHUP with exit status 0. Exit status 1: the state\n"
           "file cannot be used, or the output cannot be written; 2: bad arguments.\n";
}

} // namespace zorvlog
