#ifndef ZORVLOG_FOLLOWOPTIONS_H
#define ZORVLOG_FOLLOWOPTIONS_H

#include "follow/GenerationOpen.h"
#include "follow/LogPattern.h"
#include "follow/RelpSettings.h"
#include "output/OutputMode.h"
#include "read/EntryFilter.h"

#include <string>
#include <vector>

namespace zorvlog {

// What follow's command line asks for, read and checked; --help's text
// describes each option, and every option's rule lives here once.
struct FollowOptions {
    // Where the records go.
    enum class Sink { kStandard, kJournal, kRelp };

    // Throws UsageError, one line saying which option or operand is wrong.
    // An --olddir that is no directory yet is said on stderr, not refused.
    static FollowOptions fromArgs(const std::vector<std::string>& args);
    static const char* help();

    std::vector<std::string> named; // the LOGFILEs that name one log, as given
    std::vector<std::string> paths; // the same, absolute
    std::vector<LogPattern> patterns;
    std::string statePath; // absolute; empty: nothing kept across a restart
    Sink sink = Sink::kStandard;
    OutputMode mode = OutputMode::kShort; // for Sink::kStandard
    RelpSettings relp;                    // for Sink::kRelp
    EntryFilter filter;
    long lastN = -1; // records of each log printed at the start; -1: all
    TrustedOwners owners;
    std::string olddir; // where logrotate's "olddir" puts the generations
};

} // namespace zorvlog

#endif
