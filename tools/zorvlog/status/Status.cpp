#include "status/Status.h"

#include "QetFiles.h"
#include "SystemCalls.h"

#include "DirectoryPolicy.h"
#include "LockPlace.h"
#include "cli/ArgParser.h"
#include "output/Json.h"
#include "output/TerminalText.h"
#include "read/PathName.h"
#include "status/FollowStatus.h"
#include "status/QetInstance.h"
#include "status/RefusedCount.h"
#include "table/TableCheck.h"
#include "write/DefaultLoggers.h"
#include "write/LogFileAccess.h"

#include <zorv/ZorvUtil.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zorvlog {

namespace {

// One item of the report: its label and words in the text (lines of their
// own below it in `more`), its member in the JSON object, and whether it
// stops something a client needs (`off`, a fault) or is off by choice (a
// logger switched off, no QET serving).
struct Item {
    Item(const char* key, const char* label, std::string text, Json json, bool off)
        : key(key), label(label), text(std::move(text)), json(std::move(json)), off(off) {}

    const char* key;
    const char* label;
    std::string text;
    Json json;
    bool off = false;
    bool unused = false;
    std::vector<std::string> more;
};

// A default log file: whether a record could be appended to it, asked without
// making it, and the item's words for it.
std::string fileProblem(const std::string& path) {
    return path.empty() ? "no local user data directory" : appendProblem(path);
}

void describeFile(Item& item, std::string& words, const std::string& path,
                  const std::string& problem) {
    item.json.addOptional("file", !path.empty(), path)
        .addOptional("problem", !problem.empty(), problem);
    words += path.empty() ? "none" : path;
    words += problem.empty() || path.empty() ? "" : ": cannot be written: " + problem;
}

// A switchable logger: its variable, whether it writes, and its file. The
// file matters only while the logger is on.
Item loggerItem(const char* key, const char* label, const char* variable, bool on,
                const std::string& path) {
    Item item{key, label, on ? "on" : "off", Json(), false};
    const char* value = zorv_detail::environmentValue(variable);
    const std::string shown = value != nullptr ? value : "";
    item.json.add("variable", variable).addOptional("value", value != nullptr, shown);
    item.json.addBool("on", on);
    item.text +=
        " (" + std::string(variable) + (value != nullptr ? "=\"" + shown + "\")" : " is not set)");
    const bool misleading = switchReadsOff(variable);
    const std::string warning =
        "any value switches it on, \"" + shown + "\" too: unset " + variable + " to switch it off";
    item.json.addOptional("warning", misleading, warning);
    item.text += misleading ? "; warning: " + warning : "";
    const std::string problem = fileProblem(path);
    item.more.push_back("file ");
    describeFile(item, item.more.back(), path, problem);
    item.off = on && !problem.empty();
    item.unused = !on;
    return item;
}

Item qetLogItem(const std::string& path) {
    const std::string problem = fileProblem(path);
    Item item{"qet_log", "QET's log", "", Json(), !problem.empty()};
    describeFile(item, item.text, path, problem);
    return item;
}

Item directoryItem(const std::string& dir) {
    std::string why;
    const bool usable =
        !dir.empty() && zorv_detail::directoryAllowed(dir, zorv_detail::DirectoryUse::Logs, &why);
    Item item{"log_directory", "log directory", dir.empty() ? "none" : dir, Json(), !usable};
    item.json.addOptional("path", !dir.empty(), dir)
        .addBool("usable", usable)
        .addOptional("reason", !usable, dir.empty() ? "no local user data directory" : why);
    item.text += usable        ? ": usable"
                 : dir.empty() ? ""
                               : " " + why + ": the library writes nothing there";
    return item;
}

Item tableItem() {
    const TableCheck::Search found = TableCheck::search();
    const std::string& path = found.path;
    Item item{"table", "error-code table", path.empty() ? "none found" : path, Json(), true};
    item.json.addOptional("file", !path.empty(), path);
    // Tables the search passed over: a person put them there and expects
    // them to be read.
    std::string passedOver;
    for (const std::string& note : found.passedOver) {
        passedOver += (passedOver.empty() ? "" : "\n") + note;
    }
    item.json.addOptional("passed_over", !passedOver.empty(), passedOver);
    if (path.empty()) {
        item.json.addNull("clean");
        item.text += " (" + TableCheck::noTableText(found) + ")";
    } else {
        TableCheck checker;
        const bool read = checker.check(path);
        item.off = !read || !checker.findings().empty();
        item.json.addBool("clean", !item.off);
        if (!read) {
            item.json.add("problem", checker.readError());
            item.text += ": cannot be read: " + checker.readError();
        } else {
            const long findings = static_cast<long>(checker.findings().size());
            item.json.add("tables", static_cast<long>(checker.tableCount()))
                .add("errors", static_cast<long>(checker.errorCount()))
                .add("findings", findings);
            item.text +=
                item.off ? ": " + std::to_string(findings) + " findings (see 'zorvlog check-table')"
                         : ": clean (" + std::to_string(checker.tableCount()) + " tables, " +
                               std::to_string(checker.errorCount()) + " error codes)";
        }
    }
    item.more.insert(item.more.end(), found.passedOver.begin(), found.passedOver.end());
    if (!found.unloadable.empty()) {
        item.more.push_back(found.unloadable);
    }
    return item;
}

// Why no mutex file could be made in the lock place now, or nothing: room
// for one (a mutex's file is far smaller than the page a file system gives
// it) is reserved in a file without a name that is gone with its descriptor.
const off_t kMutexFileRoom = 128;

std::string roomProblem(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        // A file system without unnamed files says nothing about room.
        return errno == ENOSPC || errno == EDQUOT ? "is full" : std::string();
    }
    const int error = ::posix_fallocate(fd, 0, kMutexFileRoom);
    ::close(fd);
    return error == ENOSPC || error == EDQUOT ? "is full" : std::string();
}

Item lockPlaceItem(const std::string& dir, const std::string& why) {
    const std::string full = dir.empty() ? std::string() : roomProblem(dir);
    Item item{"lock_place", "lock place", dir, Json(), dir.empty() || !full.empty()};
    item.json.addOptional("path", !dir.empty(), dir)
        .addOptional("reason", item.off, dir.empty() ? why : dir + " " + full);
    if (dir.empty()) {
        item.text = "none (" + why + "): records are written without the lock";
    } else if (!full.empty()) {
        item.text += " " + full + ": no mutex can be made, records are written without the lock";
    }
    return item;
}

Item qetItem(const std::string& lockDir) {
    QetInstance qet;
    if (lockDir.empty()) {
        qet.detail = "no lock place to look in";
    } else {
        qet = QetInstance::find(lockDir);
    }
    Item item{"qet", "QET", "", Json(), false};
    item.unused = qet.state != QetInstance::kServing;
    item.json.add("state", qet.state == QetInstance::kServing      ? "serving"
                           : qet.state == QetInstance::kNotServing ? "not serving"
                                                                   : "unknown");
    item.json.addOptional("lock_file", !qet.lockFile.empty(), qet.lockFile);
    if (qet.state != QetInstance::kServing) {
        item.json.add("detail", qet.detail);
        item.text =
            (qet.state == QetInstance::kNotServing ? "not serving: " : "unknown: ") + qet.detail;
        return item;
    }
    struct stat st;
    const bool reachable =
        !qet.socket.empty() && ::stat(qet.socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    item.off = !qet.socket.empty() && !reachable;
    item.json.add("pid", qet.pid).addOptional("socket", !qet.socket.empty(), qet.socket);
    item.json.addBool("socket_present", reachable);
    item.text = "serving this user (pid " + std::to_string(qet.pid) + ")";
    item.text += qet.socket.empty() ? ", socket not recorded yet"
                 : reachable        ? " on " + qet.socket
                                    : ", but its socket " + qet.socket + " is gone";
    return item;
}

} // namespace

int Status::run(const std::vector<std::string>& args) {
    ArgParser parser({{"json", false}, {"user", true}, {"state", true}});
    parser.parse(args);
    if (parser.has("state")) {
        if (!parser.operands().empty() || parser.has("user")) {
            throw UsageError("status --state takes no LOGFILE and no --user");
        }
        return followStatus(parser.value("state"), parser.has("json"));
    }
    if (parser.operands().size() > 1 || (parser.has("user") && parser.operands().empty())) {
        throw UsageError("status takes at most one operand, the log file (--user needs it)");
    }

    DebugLogger debug;
    PerfLogger perf;
    const std::string debugLog = debug.getLogFileName().bytes();
    const std::string dataDir = debugLog.empty() ? std::string() : directoryOf(debugLog);
    std::string lockWhy;
    const std::string lockDir = zorv_detail::lockDirectory(&lockWhy);

    std::vector<Item> items;
    items.push_back(loggerItem("debug", "debug logging", ZorvDebugLogger::ZORV_DEBUG_MODE,
                               debug.enabled(), debugLog));
    items.push_back(loggerItem("perf", "performance logging", ZorvPerfLogger::ZORV_PERF_LOG,
                               perf.enabled(), perf.getLogFileName().bytes()));
    items.push_back(
        qetLogItem(dataDir.empty() ? dataDir : dataDir + "/" + zorv_detail::kQetErrorLogName));
    items.push_back(directoryItem(dataDir));
    items.push_back(tableItem());
    items.push_back(lockPlaceItem(lockDir, lockWhy));
    items.push_back(qetItem(lockDir));
    if (!parser.operands().empty()) {
        RefusedReport refused = refusedReport(parser.operands()[0], parser.value("user"));
        items.push_back(Item{"refused", "refused records", refused.text, refused.json, false});
    }

    std::vector<std::string> offKeys, offLabels, unusedOrOff;
    for (const Item& item : items) {
        if (item.off) {
            offKeys.push_back(item.key);
            offLabels.push_back(item.label);
        }
        if (item.off || item.unused) {
            unusedOrOff.push_back(item.key);
        }
    }
    if (parser.has("json")) {
        Json all;
        for (const Item& item : items) {
            all.addRaw(item.key, item.json.str());
        }
        all.addRaw("off", Json::stringArray(unusedOrOff));
        all.addRaw("faults", Json::stringArray(offKeys));
        std::printf("%s\n", all.str().c_str());
    } else {
        for (const Item& item : items) {
            // The words hold the environment's values and paths: escaped as
            // parse escapes a log's text, so that none of it drives the terminal.
            std::printf("%-21s %s\n", (std::string(item.label) + ":").c_str(),
                        forTerminal(item.text).c_str());
            for (const std::string& line : item.more) {
                std::printf("    %s\n", forTerminal(line).c_str());
            }
        }
        std::string summary;
        for (const std::string& label : offLabels) {
            summary += (summary.empty() ? "" : ", ") + label;
        }
        std::printf("%s\n", summary.empty() ? "Everything a client needs works."
                                            : ("Off: " + summary + ".").c_str());
    }
    return offKeys.empty() ? 0 : 1;
}

const char* Status::help() {
    return "Usage: zorvlog status [--json] [--user USER] [LOGFILE]\n"
           "       zorvlog status [--json] --state FILE\n"
           "\n"
           "Says what a client of this environment would do, for when nothing is logged:\n"
           "whether ZORV_DEBUG_MODE and ZORV_PERF_LOG switch the debug and performance\n"
           "loggers on (any value does, 0 too), their files and QET's QET.log in the local\n"
           "user data directory and whether the directory policy lets the library write\n"
           "there, the error-code table the library would load and whether it is clean (as\n"
           "check-table finds it), the lock place of the log mutexes, and whether a QET\n"
           "serves this user and on which socket (from QET's instance lock: nothing is\n"
           "connected to, so a socket-activated QET is not started). Like any client it\n"
           "makes the data directory and the lock place when they are missing.\n"
           "With LOGFILE, also how many records of it its writers refused (and when the\n"
           "last was, and why), as counted in the lock place for every log of that name.\n"
           "\n"
           "  --json        one JSON object: debug, perf, qet_log, log_directory, table,\n"
           "                lock_place, qet, refused (with LOGFILE: count, last, reason);\n"
           "                off, the members that are off (a logger switched off, no QET\n"
           "                serving, and each fault); faults, the faults alone\n"
           "  --user USER   read USER's lock place for LOGFILE's count (root only)\n"
           "  --state FILE  instead, how the zorvlog follow keeping the state FILE stands,\n"
           "                read without its lock while it runs: for each log the\n"
           "                generation and byte read, the bytes behind the log's end, when\n"
           "                the last record went out, the generations watched, the damage\n"
           "                and gaps named since it started; when the state was saved; and\n"
           "                whether the output takes records or is retrying, since when and\n"
           "                why (exit status 1 while retrying). With --json: state, format,\n"
           "                saved, output (taking, since, why) and logs (log, generation,\n"
           "                inode, offset, line, behind, last_out, watched, damage, gaps).\n"
           "                Root reads another user's state\n"
           "\n"
           "Exit status: 0 everything a client needs works (a logger switched off or no\n"
           "QET running is not a fault); 1 something is off: a log file or its directory\n"
           "cannot be written, no clean table, no lock place, or QET's socket is gone;\n"
           "2 bad arguments.\n";
}

} // namespace zorvlog
