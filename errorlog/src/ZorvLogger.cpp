#include "zorv/ZorvLogger.h"

#include "DelimitedFileState.h"
#include "RecordOwner.h"
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

namespace {

const char kErrorCodesFileName[] = "ZorvErrorCodes.xml";

// Registered with the clean-up manager as the library is loaded, before any
// clean-up of a client: the logger of instance() goes when the manager runs.
struct DefaultLoggerCleanup : CZorvUtilCleanup {
    void cleanup(void*) override { ZorvLogger::close(); }
};
CZorvUtilCleanup* loadedCleanup = nullptr;

// Destroyed when the library is unloaded (dlclose) or the process exits, the
// first of the library's statics to go. The clean-up manager of the utility
// library outlives this library, so what this library registered there is
// withdrawn before its code goes away: otherwise the manager would later call
// cleanup() on an object whose code is unmapped. At process exit, withdrawing
// the clean-up registered at load first runs every clean-up registered after
// it (the client's, and the singleton of instance_m() after those registered
// after it), here, after the client's global objects are gone and while this
// library is whole (see CZorvUtilCleanup.cpp).
struct LibraryUnload {
    ~LibraryUnload() {
        CZorvUtilObjectManager::withdraw(loadedCleanup);
        CZorvUtilSingleton<ZorvLogger>*& singleton = CZorvUtilSingleton<ZorvLogger>::instance_i();
        if (singleton != nullptr) {
            CZorvUtilObjectManager::withdraw(singleton);
            singleton->cleanup(nullptr);
        }
        ZorvLogger::close();
        delete loadedCleanup;
        loadedCleanup = nullptr;
    }
} libraryUnload;

// As the library loads: every clean-up a client registers comes after it.
const bool kLoadedCleanupRegistered = [] {
    loadedCleanup = new DefaultLoggerCleanup;
    CZorvUtilObjectManager::at_exit(loadedCleanup, nullptr);
    return true;
}();

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
// record's own lines, and, as the record's owner goes, the lines in one write
// and the lock released (RecordOwner.h).
ZorvLogger::RecordLock ZorvLogger::logWithWaitLimit(ZorvLoggable* record, int waitLimit) {
    if (record == nullptr) {
        return kNoRecord;
    }
    zorv_detail::RecordOwner owner(mMutex, mLogFile.state().record);
    const bool synchronised = initSynchronizeObject();
    // Written whether or not the lock came in time.
    const bool locked = owner.lock(synchronised, waitLimit);
    if (mLogFile.open(false)) {
        record->dumpTechSupport(this);
    }
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
