#ifndef ZORVLOG_DEFAULTLOGGERS_H
#define ZORVLOG_DEFAULTLOGGERS_H

#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvPerfLogger.h>

namespace zorvlog {

// The switchable loggers with their switch opened up: asking them is the only
// way to know whether they write at all. The library is silent by design; the
// tool must not be. Made as a client makes them, so the local user data
// directory is made (0770) when missing.
class DebugLogger : public ZorvDebugLogger {
public:
    bool enabled() const { return mDebugLogEnabled; }
};

class PerfLogger : public ZorvPerfLogger {
public:
    bool enabled() const { return mPerfLogEnabled; }
};

} // namespace zorvlog

#endif
