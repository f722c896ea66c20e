#ifndef ZORVLOG_JOURNALCTLHABITS_H
#define ZORVLOG_JOURNALCTLHABITS_H

#include "cli/ArgParser.h"

namespace zorvlog {

// journalctl's options that mean nothing to `command` ("parse" or "follow"),
// answered with what does the same here: an operator who reads the journal
// every day types them first.
void answerJournalctlHabits(ArgParser& parser, const char* command);

} // namespace zorvlog

#endif
