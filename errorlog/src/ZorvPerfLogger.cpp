#include <zorv/ZorvPerfLogger.h>

#include "DefaultLog.h"
#include "RecordGuard.h"

const char* ZorvPerfLogger::ZORV_PERF_LOG = "ZORV_PERF_LOG";

ZorvPerfLogger::ZorvPerfLogger() : ZorvLogger(false), mPerfLogEnabled(false), mPerfLogFilePath() {
    initPerfLogFilePath();
    checkIfPerfLogIsEnabled();
}

ZorvPerfLogger::~ZorvPerfLogger() = default;

void ZorvPerfLogger::log(const ZorvLoggable& record) {
    // A virtual call, so that a further override of the pointer form applies.
    log(const_cast<ZorvLoggable*>(&record));
}

void ZorvPerfLogger::log(ZorvLoggable* record) {
    // Switched off, a record costs these two tests: no file, no mutex.
    if (record != nullptr && mPerfLogEnabled) {
        logWithWaitLimit(record, zorv_detail::kRecordWaitLimitMs);
    }
}

void ZorvPerfLogger::checkIfPerfLogIsEnabled() {
    zorv_detail::switchOnWhenSet(mPerfLogEnabled, ZORV_PERF_LOG);
}

void ZorvPerfLogger::initPerfLogFilePath() {
    zorv_detail::useDefaultFile(*this, mPerfLogFilePath, "ZorvPerfLog.csv");
}
