#include "cli/JournalctlHabits.h"

#include <cstring>
#include <string>

namespace zorvlog {

void answerJournalctlHabits(ArgParser& parser, const char* command) {
    const bool follows = std::strcmp(command, "follow") == 0;
    const auto both = [&](const char* letter, const char* name, const std::string& text) {
        parser.hint(letter, text);
        parser.hint(name, text);
    };
    if (!follows) {
        both("-f", "--follow", "to print records as they are written, use 'zorvlog follow'");
    }
    both("-e", "--pager-end",
         follows ? "-n N prints the last N records, then follows"
                 : "-n N prints the last N records");
    both("-u", "--unit",
         "zorvlog reads log files, not a unit's journal: name the FILE ('zorvlog status' names "
         "your own logs)");
    both("-k", "--dmesg", "zorvlog reads the library's log files, not the kernel's messages");
}

} // namespace zorvlog
