#ifndef ZORVLOG_DEFAULTLOGGERS_H
#define ZORVLOG_DEFAULTLOGGERS_H

#include "SystemCalls.h"

#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvPerfLogger.h>

#include <cstdlib>
#include <strings.h>

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

// Whether a switch variable is set to a value that reads as "off" to a person
// ("0", "false", "no", "off" in any case, or empty): it switches its logger on
// all the same, since the library asks only whether the variable is present.
inline bool switchReadsOff(const char* variable) {
    const char* value = zorv_detail::environmentValue(variable);
    if (value == nullptr) {
        return false;
    }
    for (const char* off : {"", "0", "false", "no", "off"}) {
        if (::strcasecmp(value, off) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace zorvlog

#endif
