#ifndef ZORV_DEBUGLOGGER_H
#define ZORV_DEBUGLOGGER_H

#include "ZorvLogger.h"

// The debug logger: writes "ZorvDebug.log" in the local user data directory, and
// only when the environment variable ZORV_DEBUG_MODE was present at construction.
class ZORV_ERRORLOG_EXPORT ZorvDebugLogger : public ZorvLogger {
public:
    static const char* ZORV_DEBUG_MODE;

    ZorvDebugLogger();

    // The order of the virtual operations is part of the binary interface.
    ~ZorvDebugLogger() override;
    void log(const ZorvLoggable& record) override;
    void log(ZorvLoggable* record) override;

    void checkIfDebugLogIsEnabled();
    void initDebugLogFilePath();

protected:
    bool mDebugLogEnabled;
    TStr mDebugLogFilePath;
};

#endif
