#ifndef ZORV_PERFLOGGER_H
#define ZORV_PERFLOGGER_H

#include "ZorvLogger.h"

// The performance logger: writes "ZorvPerfLog.csv" in the local user data directory, and
// only when the environment variable ZORV_PERF_LOG was present at construction.
class ZORV_ERRORLOG_EXPORT ZorvPerfLogger : public ZorvLogger {
public:
    static const char* ZORV_PERF_LOG;

    ZorvPerfLogger();

    // The order of the virtual operations is part of the binary interface.
    ~ZorvPerfLogger() override;
    void log(const ZorvLoggable& record) override;
    void log(ZorvLoggable* record) override;

    void checkIfPerfLogIsEnabled();
    void initPerfLogFilePath();

protected:
    bool mPerfLogEnabled;
    TStr mPerfLogFilePath;
};

#endif
