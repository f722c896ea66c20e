#include <zorv/ZorvDebugLogger.h>

#include "ZorvDefaultLog.h"

#include <zorv/ZorvLoggable.h>

const char* ZorvDebugLogger::ZORV_DEBUG_MODE = "ZORV_DEBUG_MODE";

ZorvDebugLogger::ZorvDebugLogger()
    : ZorvLogger(false), mDebugLogEnabled(false), mDebugLogFilePath() {
    // The directory is made even when the logger stays off, so that switching
    // the variable on for the next run finds a place to write.
    initDebugLogFilePath();
    checkIfDebugLogIsEnabled();
}

ZorvDebugLogger::~ZorvDebugLogger() = default;

void ZorvDebugLogger::log(const ZorvLoggable& record) {
    // A virtual call, so that a further override of the pointer form applies.
    log(const_cast<ZorvLoggable*>(&record));
}

void ZorvDebugLogger::log(ZorvLoggable* record) {
    // Switched off, this is the whole cost of a record: no file, no mutex.
    if (record != nullptr && mDebugLogEnabled) {
        ZorvLogger::log(record);
    }
}

void ZorvDebugLogger::checkIfDebugLogIsEnabled() {
    // Only ever switches on: an enabled logger stays enabled.
    if (ZorvDefaultLog::switchedOn(ZORV_DEBUG_MODE)) {
        mDebugLogEnabled = true;
    }
}

void ZorvDebugLogger::initDebugLogFilePath() {
    mDebugLogFilePath = ZorvDefaultLog::filePath("ZorvDebug.log");
    // An empty path is ignored here, so a logger without a location keeps no
    // file name at all and writes nothing.
    setLogFileName(mDebugLogFilePath);
}
