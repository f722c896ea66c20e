#ifndef ZORVLOG_RECORDSEVERITY_H
#define ZORVLOG_RECORDSEVERITY_H

#include "read/LogEntry.h"

namespace zorvlog {

// The syslog severity of a record, the same for every output that names one
// (the journal's PRIORITY, a RELP message's PRI): error records 3 (err),
// performance rows 6 (info), debug records 7 (debug), the others 5 (notice).
int recordSeverity(LogEntry::Kind kind);

} // namespace zorvlog

#endif
