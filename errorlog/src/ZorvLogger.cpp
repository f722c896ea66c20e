#include "zorv/ZorvLogger.h"

#include "DelimitedFileState.h"
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

// How long a record waits for the named mutex, in the mutex's unit. The record
// is written whether or not the lock was obtained in that time.
constexpr int kLockWaitLimit = 10000;

const char kMutexSuffix[] = ".Mutex";
constexpr std::size_t kMutexSuffixLength = sizeof kMutexSuffix - 1;

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
    logWithWaitLimit(record, kLockWaitLimit);
}

// One record: the file's named mutex, the file opened for appending, the
// record's own lines, and the file closed, which is when the record reaches
// it, in one write.
ZorvLogger::RecordLock ZorvLogger::logWithWaitLimit(ZorvLoggable* record, int waitLimit) {
    if (record == nullptr) {
        return kNoRecord;
    }
    if (mMutex == nullptr) {
        mMutex = new ZorvMutex();
    }
    const bool synchronised = initSynchronizeObject();
    // Written whether or not the lock came in time.
    const bool locked = synchronised && mMutex->lock(waitLimit);
    try {
        mLogFile.mState->record.begin(locked, mLogFile.mState->mutexName.bytes());
        if (mLogFile.open(false)) {
            record->dumpTechSupport(this);
        }
    } catch (...) {
        // The lines so far reach the file, the next writer is not locked out
        // and the next log starts from a clean state.
        endRecord(synchronised);
        throw;
    }
    endRecord(synchronised);
    return locked ? kRecordLocked : synchronised ? kRecordWaitRanOut : kRecordWithoutMutex;
}

void ZorvLogger::endRecord(bool synchronised) {
    mLogFile.close();
    mLogFile.mState->record.end();
    if (synchronised) {
        mMutex->unlock();
    }
    delete mMutex;
    mMutex = nullptr;
}

bool ZorvLogger::initSynchronizeObject() {
    const std::string& path = mLogFile.mFilename.bytes();
    if (path.empty() || mMutex == nullptr) {
        return false;
    }
    // Named after the file's last component only, so that every logger
    // writing to a file of that name, in any process, shares the mutex.
    const char* slash = static_cast<const char*>(::memrchr(path.data(), '/', path.size()));
    const char* component = slash != nullptr ? slash + 1 : path.data();
    const std::size_t length = static_cast<std::size_t>(path.data() + path.size() - component);
    if (length == 0) {
        return false;
    }
    // Made in the room the file keeps for it, and only when the component
    // differs from the one the name was made of: no allocation per record.
    TStr& name = mLogFile.mState->mutexName;
    const std::string& made = name.bytes();
    if (made.size() != length + kMutexSuffixLength ||
        std::memcmp(made.data(), component, length) != 0) {
        name.clear();
        name += component;
        name += kMutexSuffix;
    }
    return mMutex->create(name);
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
