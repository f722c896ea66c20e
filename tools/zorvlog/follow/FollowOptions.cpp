#include "follow/FollowOptions.h"

#include "cli/JournalctlHabits.h"
#include "output/TerminalText.h"
#include "read/RotationNames.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvlog {

namespace {

// Records of each log printed at the start by a follower without a state.
const long kUnkeptLines = 10;

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

FollowOptions FollowOptions::fromArgs(const std::vector<std::string>& args) {
    std::vector<ArgParser::Option> options = outputOptions();
    options.insert(options.end(), {{"journal", false},
                                   {"state", true},
                                   {"owner", true, true},
                                   {"lines", true, false, 'n'},
                                   {"olddir", true}});
    for (const ArgParser::Option& filterOption : EntryFilter::options()) {
        options.push_back(filterOption);
    }
    for (const ArgParser::Option& relpOption : RelpSettings::options()) {
        options.push_back(relpOption);
    }
    ArgParser parser(options);
    answerJournalctlHabits(parser, "follow");
    parser.parse(args);
    FollowOptions chosen;
    chosen.filter = EntryFilter::fromOptions(parser, std::time(nullptr));
    chosen.mode = outputMode(parser);
    const bool standard = parser.has("json") || parser.has("output");
    if (standard + parser.has("journal") + parser.has("relp") > 1) {
        throw UsageError("--json or --output, --journal and --relp exclude each other");
    }
    chosen.sink = parser.has("journal") ? Sink::kJournal
                  : parser.has("relp")  ? Sink::kRelp
                                        : Sink::kStandard;
    chosen.relp = RelpSettings::fromOptions(parser);
    // Without a state, as tail -f: a glance at the last records, then what comes.
    chosen.lastN = parser.has("state") ? -1 : kUnkeptLines;
    if (parser.has("lines")) {
        const bool all = parser.value("lines") == "all";
        chosen.lastN = all ? -1 : parser.number("lines", -1);
        if (!all && chosen.lastN < 0) {
            throw UsageError("--lines needs a number of records or 'all', not '" +
                             parser.value("lines") + "'");
        }
    }
    const std::vector<std::string>& sources = parser.operands();
    if (sources.empty()) {
        throw UsageError("no LOGFILE given");
    }
    for (const std::string& user : parser.values("owner")) {
        const long uid = ownerUid(user);
        if (uid < 0) {
            throw UsageError("--owner " + user + ": no such user");
        }
        chosen.owners.add(static_cast<uid_t>(uid));
    }
    std::set<std::string> seen;
    for (const std::string& source : sources) {
        LogPattern pattern;
        const std::string path = absolute(source);
        if (LogPattern::parse(path, &pattern)) {
            chosen.patterns.push_back(pattern);
            continue;
        }
        chosen.paths.push_back(path);
        chosen.named.push_back(source);
        if (!seen.insert(path).second) {
            throw UsageError("'" + forTerminal(source) + "' is given twice");
        }
    }
    chosen.olddir = parser.has("olddir") ? parser.value("olddir") : std::string();
    if (parser.has("olddir") && chosen.olddir.empty()) {
        throw UsageError("--olddir needs a directory");
    }
    for (std::size_t i = 0; !chosen.olddir.empty() && i < chosen.paths.size(); ++i) {
        // Looked for at every rotation, so one made later still counts.
        struct stat st;
        const std::string dir = olddirOf(chosen.paths[i], chosen.olddir);
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            std::fprintf(stderr,
                         "zorvlog follow: %s: --olddir %s is no directory (yet): generations "
                         "are looked for beside the log only\n",
                         forTerminal(chosen.named[i]).c_str(), forTerminal(dir).c_str());
        }
    }
    chosen.statePath = parser.has("state") ? absolute(parser.value("state")) : "";
    return chosen;
}

const char* FollowOptions::help() {
    return "Usage: zorvlog follow [--json | -o MODE | --journal | --relp HOST:PORT]\n"
           "                      [--relp-tls] [--relp-ca FILE] [--relp-cert FILE]\n"
           "                      [--relp-key FILE] [--relp-peer NAME] [-n N] [--state FILE]\n"
           "                      [--olddir DIR] [--owner USER]... [--since TIME]\n"
           "                      [--until TIME] [--kind KIND]\n"
           "                      [-p PRIORITY] [--pid N] [--vendor ID] [--code N]\n"
           "                      [--grep REGEX [-i]] [--no-pager] LOGFILE...\n"
           "\n"
           "Prints every record written to the LOGFILEs, as it is written, and goes on\n"
           "across rotation. A log is read as a chain of generations: whenever follow looks,\n"
           "however late, every generation after the one it read last (found by its identity\n"
           "or, compressed, by what was read of it) is read to its end, oldest first, in the\n"
           "order of the rotated names (LOGFILE.N, higher N older; LOGFILE with a date\n"
           "suffix, earlier dates older; either compressed: .gz, .xz, .zst or .bz2), then\n"
           "the LOGFILE. A generation\n"
           "rotated away is watched for late writes for 60 s meanwhile. A missing LOGFILE is\n"
           "waited for. Records are grouped as 'zorvlog parse' groups them, one record (an\n"
           "error record's lines together) per output line. A record is printed as soon as\n"
           "it shows its own end (a debug record, a performance row, an error record with\n"
           "its version line), else when the next line shows it is whole or the file has\n"
           "been quiet for half a second. Follow sleeps until inotify reports a change to\n"
           "the log's directory or to a generation it holds open, or a signal comes; it\n"
           "also looks every 10 s, for changes inotify cannot report (writes through a\n"
           "shared mapping, a network file system). Where inotify cannot be had or a\n"
           "watch cannot be added, follow says so once, naming the limit to raise\n"
           "(fs.inotify.max_user_instances or fs.inotify.max_user_watches), and looks at\n"
           "the logs concerned every second.\n"
           "\n"
           "A LOGFILE may also find its logs: a directory takes every regular file in it,\n"
           "and a path whose last part holds a wildcard (*, ? or [...], quoted so that the\n"
           "shell leaves it) the regular files that match it. A name that exists as given\n"
           "is never a pattern. A file named as a rotated generation of a name taken\n"
           "(app.log.1, app.log.2.gz, app-20261209.log beside app.log) is that log's\n"
           "generation, never a log of its own. A file that comes to match later is\n"
           "followed as soon as inotify reports it (within a second without inotify) and\n"
           "read from its start; one whose files are all gone is let go. How many logs\n"
           "one follower takes is bounded by its open\n"
           "files limit (raised to the hard limit); follow says when that bound is reached.\n"
           "\n"
           "Only the log's own files are read: regular files owned by root, by this user, by\n"
           "the owner of the first generation accepted or by an --owner; a link only when it\n"
           "belongs to root or to this user. What is passed over, a run of zero bytes, a\n"
           "compressed file cut short and a record cut at 16 MiB are named on stderr.\n"
           "\n"
           "Without --state, follow keeps nothing: like tail -f it prints the last 10\n"
           "records of each LOGFILE (see -n), then what comes, and any number of followers\n"
           "may follow one log. With --state, records are written in batches (what is\n"
           "ready, up to 512 records or 1 MiB), and the position in each LOGFILE is kept in\n"
           "the state file after each batch is written, so a follower stopped with SIGTERM\n"
           "resumes with no record lost or repeated (after SIGKILL, or SIGTERM while the\n"
           "reader of the output takes nothing, at most the records of the last batch\n"
           "repeat, with the same keys); it says where it resumes. A LOGFILE the state\n"
           "holds no position for is read from its start.\n"
           "\n"
           "  --json        one JSON object per record: the members of 'zorvlog parse\n"
           "                --json' (source is the LOGFILE as given), then \"key\": the\n"
           "                generation's identity and the record's offset, the same whenever\n"
           "                the record is read, so that a collector can drop a repeat\n"
           "  -o, --output MODE  short: the table of 'zorvlog parse' (the default); json:\n"
           "                as --json; cat: only the table's CONTENT column\n"
           "  --no-pager    taken, as journalctl takes it; the output is never paged\n"
           "  --journal     each record one entry of the systemd journal, its parts in\n"
           "                fields (SYSLOG_IDENTIFIER the vendor or component, PRIORITY\n"
           "                by kind, ZORV_KEY the key as --json has it, ZORV_LINES the\n"
           "                record's lines whole); the state moves past a record once\n"
           "                journald's socket took it. While journald takes nothing,\n"
           "                follow says so once and offers the record again, every 5 s\n"
           "                at the most, losing nothing\n"
           "  --relp HOST:PORT  each record one RFC 5424 message over RELP to a collector\n"
           "                (an IPv6 address in brackets: [::1]:2514), its MSG the line\n"
           "                --json prints; the state moves past a record only once the\n"
           "                collector acknowledged it. At most 512 records await their\n"
           "                acknowledgement; a broken connection is made again, every 5 s\n"
           "                at the most, and repeats at most those 512\n"
           "  --relp-tls    RELP over TLS: the collector's certificate must check against\n"
           "                --relp-ca and hold HOST or the --relp-peer NAME; one that\n"
           "                does not ends follow with exit status 1, nothing sent\n"
           "  --relp-ca FILE  the authorities (PEM) that sign the collector's certificate\n"
           "                (default: the system's)\n"
           "  --relp-cert FILE  this machine's certificate (PEM), for a collector that\n"
           "                takes records only from certified machines\n"
           "  --relp-key FILE  the private key of --relp-cert (PEM)\n"
           "  --relp-peer NAME  the name the collector's certificate must hold, when\n"
           "                HOST is not it\n"
           "  --state FILE  keep the positions in FILE and resume from them; one\n"
           "                follower at a time may use it; a LOGFILE, a file named as one\n"
           "                of its generations, anything but a regular file and a file of\n"
           "                other content are refused. Give it to a follower that feeds the\n"
           "                journal or a collector: without it, what is written while\n"
           "                follow is down never reaches them\n"
           "  -n, --lines N  print only the last N records of a LOGFILE (without --state:\n"
           "                10), then follow; -n 0: only new records; -n all: the whole\n"
           "                file. Where the state holds a position, it wins, and follow\n"
           "                says so\n"
           "  --olddir DIR  look for generations in DIR too, where logrotate's olddir\n"
           "                moves them (relative to each LOGFILE's directory)\n"
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
           "  -p, --priority PRIORITY  records of that priority and the more important\n"
           "                ones, or a range FROM..TO, by name or number; a record has\n"
           "                the PRIORITY that --journal gives it\n"
           "  --pid N       records written by process N\n"
           "  --vendor ID   error records of that vendor (a number or a component name)\n"
           "  --code N      error records whose VendorError is N\n"
           "  --grep REGEX  records one of whose lines holds a match of REGEX (RE2's\n"
           "                syntax, as 'zorvlog parse --help' says)\n"
           "  -i, --ignore-case  --grep ignores case\n"
           "\n"
           "Stops on SIGTERM, SIGINT or SIGHUP with exit status 0, between two records. Exit\n"
           "status 1: the state file cannot be used, the output cannot be written, or the\n"
           "collector's certificate does not check; 2: bad arguments (a filter that does\n"
           "not read: one line says which).\n";
}

} // namespace zorvlog
