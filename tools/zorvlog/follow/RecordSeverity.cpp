#include "follow/RecordSeverity.h"

namespace zorvlog {

int recordSeverity(LogEntry::Kind kind) {
    switch (kind) {
    case LogEntry::kError:
        return 3;
    case LogEntry::kPerf:
        return 6;
    case LogEntry::kDebug:
        return 7;
    default:
        return 5;
    }
}

} // namespace zorvlog
