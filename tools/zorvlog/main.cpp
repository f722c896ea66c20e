// zorvlog: the logging library on the command line. Writes error, debug and
// performance records through the library's own loggers, checks an error-code
// table, reads log files back, follows them, and says what stands in the way.
#include "cli/ArgParser.h"
#include "follow/LogFollow.h"
#include "read/LogParse.h"
#include "status/Status.h"
#include "table/TableCheck.h"
#include "write/RecordWriter.h"

#include <zorv/ZorvUtilVersion.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

struct Command {
    const char* name;
    int (*run)(const std::vector<std::string>&);
    const char* (*help)();
    const char* summary;
};

const Command kCommands[] = {
    {"error", zorvlog::RecordWriter::error, zorvlog::RecordWriter::errorHelp,
     "append an error record to a log file"},
    {"debug", zorvlog::RecordWriter::debug, zorvlog::RecordWriter::debugHelp,
     "append a debug record (ZorvDebug.log, or --to a file)"},
    {"perf", zorvlog::RecordWriter::perf, zorvlog::RecordWriter::perfHelp,
     "append a performance row (ZorvPerfLog.csv, or --to a file)"},
    {"check-table", zorvlog::TableCheck::run, zorvlog::TableCheck::help,
     "check an error-code table (ZorvErrorCodes.xml)"},
    {"parse", zorvlog::LogParse::run, zorvlog::LogParse::help, "read log files back"},
    {"follow", zorvlog::LogFollow::run, zorvlog::LogFollow::help,
     "print records as they are written, across rotation"},
    {"status", zorvlog::Status::run, zorvlog::Status::help,
     "what would be logged where, and what stands in the way"},
};

void usage(FILE* out) {
    std::fprintf(out, "Usage: zorvlog COMMAND [OPTIONS] [ARGUMENTS]\n\nCommands:\n");
    for (const Command& command : kCommands) {
        std::fprintf(out, "  %-12s %s\n", command.name, command.summary);
    }
    std::fprintf(out, "\n'zorvlog COMMAND --help' describes a command; 'zorvlog --version' prints "
                      "the library version.\nExit status: 0 done, 1 not done (see the command), "
                      "2 bad arguments.\n");
}

// What an operator types most, for --help and the manual page's EXAMPLES
// (help2man makes the section from this paragraph).
const char kExamples[] =
    "\nExamples:\n"
    "  zorvlog status\n"
    "      why nothing is logged: the loggers, their files, the table, QET\n"
    "  zorvlog parse -n 20 /var/log/app/app.log\n"
    "      the last 20 records of a log\n"
    "  zorvlog parse --kind error --since -1h /var/log/app/app.log*\n"
    "      the error records of the last hour, rotated generations included\n"
    "  zorvlog follow --json /var/log/app/app.log\n"
    "      every record as it is written, one JSON object a line, across rotation\n"
    "  zorvlog check-table\n"
    "      the error-code table the library would load, and what is wrong with it\n";

bool wantsHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            return false;
        }
        if (arg == "--help" || arg == "-h") {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        usage(stdout);
        std::fputs(kExamples, stdout);
        return 0;
    }
    if (name == "--version") {
        std::printf("zorvlog %s\n", zorvUtilVersionString());
        return 0;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const Command& command : kCommands) {
        if (name != command.name) {
            continue;
        }
        if (wantsHelp(args)) {
            std::fputs(command.help(), stdout);
            return 0;
        }
        try {
            return command.run(args);
        } catch (const zorvlog::UsageError& e) {
            std::fprintf(stderr, "zorvlog %s: %s\nTry 'zorvlog %s --help'.\n", command.name,
                         e.what(), command.name);
            return 2;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zorvlog %s: %s\n", command.name, e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "zorvlog: unknown command '%s'\n", name.c_str());
    usage(stderr);
    return 2;
}
