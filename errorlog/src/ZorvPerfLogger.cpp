#include <zorv/ZorvPerfLogger.h>

#include "ZorvDefaultLog.h"

#include <zorv/ZorvLoggable.h>

const char* ZorvPerfLogger::ZORV_PERF_LOG = "ZORV_PERF_LOG";

ZorvPerfLogger::ZorvPerfLogger() : ZorvLogger(false), mPerfLogEnabled(false), mPerfLogFilePath() {
    // The directory is made even when the logger stays off, so that switching
    // the variable on for the next run finds a place to write.
    initPerfLogFilePath();
    checkIfPerfLogIsEnabled();
}

ZorvPerfLogger::~ZorvPerfLogger() = default;

void ZorvPerfLogger::log(const ZorvLoggable& record) {
    // A virtual call, so that a further override of the pointer form applies.
    log(const_cast<ZorvLoggable*>(&record));
}

void ZorvPerfLogger::log(ZorvLoggable* record) {
    // Switched off, this is the whole cost of a record: no file, no mutex.
    if (record != nullptr && mPerfLogEnabled) {
        ZorvLogger::log(record);
    }
}

void ZorvPerfLogger::checkIfPerfLogIsEnabled() {
    // Only ever switches on: an enabled logger stays enabled.
    if (ZorvDefaultLog::switchedOn(ZORV_PERF_LOG)) {
        mPerfLogEnabled = true;
    }
}

void ZorvPerfLogger::initPerfLogFilePath() {
    mPerfLogFilePath = ZorvDefaultLog::filePath("ZorvPerfLog.csv");
    // An empty path is ignored here, so a logger without a location keeps no
    // file name at all and writes nothing.
    setLogFileName(mPerfLogFilePath);
}
