#include "zorv/ZorvLogger.h"

#include "DelimitedFileState.h"
#include "RecordGuard.h"
#include "zorv/ZorvLoggable.h"

#include <zorv/CZorvUtilObjectManager.h>
#include <zorv/ZorvMutex.h>
#include <zorv/ZorvUtil.h>

#include <cstring>

// The one CZorvUtilSingleton<ZorvLogger> of the process lives here, so that a
// client calling its instance() itself reaches the same object as instance_m().
// Its export comes from the extern declaration in the header; GCC refuses to
// see the attribute a second time.
template class CZorvUtilSingleton<ZorvLogger>;

ZorvLogger* ZorvLogger::mInstance = nullptr;

// Loading, unloading and the order at exit: LibraryLifetime.cpp.

namespace {

const char kErrorCodesFileName[] = "ZorvErrorCodes.xml";

} // namespace

ZorvLogger::ZorvLogger() : mLogFile(TStr()), mErrorTable(TStr()), mMutex(nullptr) {
    loadErrorTable();
}

ZorvLogger::ZorvLogger(bool loadTable) : mLogFile(TStr()), mErrorTable(TStr()), mMutex(nullptr) {
    if (loadTable) {
        loadErrorTable();
    }
}

ZorvLogger::ZorvLogger(const TStr& logFileName)
    : mLogFile(logFileName), mErrorTable(TStr()), mMutex(nullptr) {
    if (!logFileName.isEmpty()) {
        loadErrorTable();
    }
}

ZorvLogger::ZorvLogger(const char* logFileName) : ZorvLogger(TStr(logFileName)) {}

ZorvLogger::~ZorvLogger() {
    if (mMutex != nullptr) {
        delete mMutex;
        mMutex = nullptr;
    }
}

void ZorvLogger::log(const ZorvLoggable& record) {
    // Virtual on purpose: a subclass that overrides the pointer form decides.
    log(const_cast<ZorvLoggable*>(&record));
}

void ZorvLogger::log(ZorvLoggable* record) {
    logWithWaitLimit(record, zorv_detail::kRecordWaitLimitMs);
}

// One record: the file's named mutex, the file opened for appending, the
// record's own lines, the lines in one write as the file closes, and the lock
// released (RecordGuard.h, which also does that when the record throws).
ZorvLogger::RecordLock ZorvLogger::logWithWaitLimit(ZorvLoggable* record, int waitLimit) {
    if (record == nullptr) {
        return kNoRecord;
    }
    zorv_detail::RecordGuard guard(mMutex, mLogFile.state().record);
    const bool synchronised = initSynchronizeObject();
    // Written whether or not the lock came in time.
    const bool locked = guard.lock(synchronised, waitLimit);
    if (mLogFile.open(false)) {
        record->dumpTechSupport(this);
        mLogFile.close();
    }
    guard.release();
    return locked ? kRecordLocked : synchronised ? kRecordWaitRanOut : kRecordWithoutMutex;
}

bool ZorvLogger::initSynchronizeObject() {
    const TStr* name = mLogFile.mutexName();
    return name != nullptr && mMutex != nullptr && mMutex->create(*name);
}

void ZorvLogger::startLogging() {
    mLogFile.updateCurrentSection(false);
}

void ZorvLogger::startLoggingWMilliSecs() {
    mLogFile.updateCurrentSection(true);
}

TStr ZorvLogger::getHeader() const {
    return mLogFile.getCurrentSection(TStr(ZorvDelimitedFile::kTab));
}

TStr ZorvLogger::getLogFileName() const {
    return mLogFile.getFilename();
}

void ZorvLogger::setLogFileName(const TStr& logFileName) {
    if (logFileName.isEmpty()) {
        return;
    }
    mLogFile.setFilename(logFileName);
}

bool ZorvLogger::loadErrorTable() {
    TStr path = ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, TStr());
    if (path.isEmpty()) {
        return false;
    }
    if (path.right(1) != "/") {
        path += '/';
    }
    path += kErrorCodesFileName;
    mErrorTable.SetPathName(path);
    return mErrorTable.Load();
}

ZorvLogger* ZorvLogger::instance() {
    if (mInstance != nullptr) {
        return mInstance;
    }
    // If the constructor throws, nothing is held and the exception goes on.
    ZorvLogger* created = new ZorvLogger();
    mInstance = created;
    return mInstance;
}

void ZorvLogger::close() {
    ZorvLogger* held = mInstance;
    mInstance = nullptr;
    delete held;
}

ZorvLogger* ZorvLogger::instance_m() {
    return CZorvUtilSingleton<ZorvLogger>::instance();
}
