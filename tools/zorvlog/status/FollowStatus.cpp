#include "status/FollowStatus.h"

#include "follow/FollowState.h"
#include "output/Json.h"
#include "output/TerminalText.h"
#include "read/RotationNames.h"
#include "status/RefusedCount.h"

#include <cstdio>
#include <sys/stat.h>
#include <vector>

namespace zorvlog {

namespace {

// Times in the state are microseconds since the epoch; 0 is "never".
std::string timeOf(std::uint64_t us) {
    return us == 0 ? std::string() : isoTime(static_cast<std::int64_t>(us / 1000000u));
}

// The name a generation goes by now: the log itself or one of its rotated
// files with the same inode; empty when none (deleted, or compressed into a
// file of its own).
std::string nameOf(const std::string& log, const FollowPosition& p) {
    struct stat st;
    if (::stat(log.c_str(), &st) == 0 && st.st_dev == p.dev && st.st_ino == p.ino) {
        return log;
    }
    for (const RotatedFile& file : rotatedFiles(log, nullptr)) {
        if (::stat(file.path.c_str(), &st) == 0 && st.st_dev == p.dev && st.st_ino == p.ino) {
            return file.path;
        }
    }
    return std::string();
}

// One log of the state, in both forms.
struct LogReport {
    Json json;
    std::vector<std::string> lines;
};

LogReport reportLog(const FollowState& state, const std::string& log) {
    const LogStatus status = state.status(log);
    const FollowPosition* reading = nullptr;
    std::vector<const FollowPosition*> watched;
    if (const std::vector<FollowPosition>* positions = state.find(log)) {
        for (const FollowPosition& p : *positions) {
            if (p.watched) {
                watched.push_back(&p);
            } else if (!p.previous) {
                reading = &p;
            }
        }
    }
    // Behind: measured against the log as it is now when the follower reads
    // the file at its path (or has read nothing of it yet), else as saved.
    std::uint64_t behind = status.behind;
    struct stat st;
    if (::stat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
        if (reading == nullptr) {
            behind = size;
        } else if (reading->dev == st.st_dev && reading->ino == st.st_ino) {
            behind = size > reading->offset ? size - reading->offset : 0;
        }
    }
    LogReport report;
    report.json.add("log", log);
    report.lines.push_back("log " + log);
    const std::string name = reading != nullptr ? nameOf(log, *reading) : std::string();
    report.json.addOptional("generation", !name.empty(), name);
    report.json.add("inode", static_cast<long>(reading != nullptr ? reading->ino : 0));
    report.json.add("offset", static_cast<long>(reading != nullptr ? reading->offset : 0));
    report.json.add("line", static_cast<long>(reading != nullptr ? reading->line : 0));
    report.json.add("behind", static_cast<long>(behind));
    if (reading == nullptr) {
        report.lines.push_back("reading:            nothing yet");
    } else {
        report.lines.push_back(
            "reading:            " + (name.empty() ? "a generation no longer found" : name) +
            " (inode " + std::to_string(reading->ino) + "), byte " +
            std::to_string(reading->offset) + ", line " + std::to_string(reading->line));
    }
    report.lines.push_back("behind:             " + std::to_string(behind) + " bytes");
    const std::string lastOut = timeOf(status.lastOut);
    report.json.addOptional("last_out", !lastOut.empty(), lastOut);
    report.lines.push_back("last record out:    " + (lastOut.empty() ? "none" : lastOut));
    std::vector<std::string> watchedJson;
    std::string watchedText;
    for (const FollowPosition* p : watched) {
        const std::string generation = nameOf(log, *p);
        Json one;
        one.addOptional("generation", !generation.empty(), generation)
            .add("inode", static_cast<long>(p->ino))
            .add("offset", static_cast<long>(p->offset));
        watchedJson.push_back(one.str());
        watchedText += (watchedText.empty() ? "" : ", ") +
                       (generation.empty() ? "inode " + std::to_string(p->ino) : generation) +
                       " at byte " + std::to_string(p->offset);
    }
    report.json.addRaw("watched", Json::array(watchedJson));
    report.lines.push_back("watched:            " +
                           (watchedText.empty() ? std::string("none") : watchedText));
    report.json.add("damage", static_cast<long>(status.damage));
    report.json.add("gaps", static_cast<long>(status.gaps));
    report.lines.push_back("damage, gaps named: " + std::to_string(status.damage) + ", " +
                           std::to_string(status.gaps));
    return report;
}

} // namespace

int followStatus(const std::string& statePath, bool json) {
    FollowState state;
    std::string error;
    if (!state.read(statePath, error)) {
        std::fprintf(stderr, "zorvlog status: %s\n", forTerminal(error).c_str());
        return 1;
    }
    const OutputStatus& output = state.output();
    const std::string saved = timeOf(state.savedAt()), since = timeOf(output.since);
    std::vector<LogReport> logs;
    for (const std::string& log : state.logs()) {
        logs.push_back(reportLog(state, log));
    }
    if (json) {
        Json out, condition;
        condition.addBool("taking", output.taking)
            .addOptional("since", !output.taking && !since.empty(), since)
            .addOptional("why", !output.taking, output.why);
        std::vector<std::string> logsJson;
        for (const LogReport& log : logs) {
            logsJson.push_back(log.json.str());
        }
        out.add("state", statePath)
            .add("format", static_cast<long>(state.format() - '0'))
            .addOptional("saved", !saved.empty(), saved)
            .addRaw("output", condition.str())
            .addRaw("logs", Json::array(logsJson));
        std::printf("%s\n", out.str().c_str());
    } else {
        // Paths and the output's reason are shown escaped: none of them
        // drives the terminal.
        std::printf("state:  %s (format %c, saved %s)\n", forTerminal(statePath).c_str(),
                    state.format(), saved.empty() ? "never" : saved.c_str());
        const std::string condition =
            output.taking ? "taking records"
                          : "retrying since " + (since.empty() ? "an unknown time" : since) + ": " +
                                output.why;
        std::printf("output: %s\n", forTerminal(condition).c_str());
        for (const LogReport& log : logs) {
            std::printf("%s\n", forTerminal(log.lines[0]).c_str());
            for (std::size_t i = 1; i < log.lines.size(); ++i) {
                std::printf("    %s\n", forTerminal(log.lines[i]).c_str());
            }
        }
    }
    return output.taking ? 0 : 1;
}

} // namespace zorvlog
