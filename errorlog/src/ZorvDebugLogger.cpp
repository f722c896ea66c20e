#include <zorv/ZorvDebugLogger.h>

#include "DefaultLog.h"
#include "RecordGuard.h"

const char* ZorvDebugLogger::ZORV_DEBUG_MODE = "ZORV_DEBUG_MODE";

ZorvDebugLogger::ZorvDebugLogger()
    : ZorvLogger(false), mDebugLogEnabled(false), mDebugLogFilePath() {
    initDebugLogFilePath();
    checkIfDebugLogIsEnabled();
}

ZorvDebugLogger::~ZorvDebugLogger() = default;

void ZorvDebugLogger::log(const ZorvLoggable& record) {
    // A virtual call, so that a further override of the pointer form applies.
    log(const_cast<ZorvLoggable*>(&record));
}

void ZorvDebugLogger::log(ZorvLoggable* record) {
    // Switched off, a record costs these two tests: no file, no mutex.
    if (record != nullptr && mDebugLogEnabled) {
        logWithWaitLimit(record, zorv_detail::kRecordWaitLimitMs);
    }
}

void ZorvDebugLogger::checkIfDebugLogIsEnabled() {
    zorv_detail::switchOnWhenSet(mDebugLogEnabled, ZORV_DEBUG_MODE);
}

void ZorvDebugLogger::initDebugLogFilePath() {
    zorv_detail::useDefaultFile(*this, mDebugLogFilePath, "ZorvDebug.log");
}
