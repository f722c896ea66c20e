#ifndef ZORV_LOGGER_H
#define ZORV_LOGGER_H

#include "ZorvDelimitedFile.h"
#include "ZorvErrorLogExport.h"
#include "ZorvErrorTable.h"
#include <zorv/CZorvUtilSingleton.h>
#include <zorv/TStr.h>
#include <zorv/ZorvMutexImp.h>

#include <list>
#include <type_traits>

class ZorvLoggable;

// Writes records to its file, one named-mutex-guarded open/close per record.
class ZORV_ERRORLOG_EXPORT ZorvLogger {
public:
    ZorvLogger();
    explicit ZorvLogger(bool loadTable);
    explicit ZorvLogger(const TStr& logFileName);
    // A string literal or pointer is a path, not the bool; an integer (0, 1)
    // is the bool.
    explicit ZorvLogger(const char* logFileName);
    template <class Integer, class = std::enable_if_t<std::is_integral_v<Integer> &&
                                                      !std::is_same_v<Integer, bool>>>
    explicit ZorvLogger(Integer loadTable) : ZorvLogger(loadTable != 0) {}

    // The order of the virtual operations is part of the binary interface.
    virtual ~ZorvLogger();
    virtual void log(const ZorvLoggable& record);
    virtual void log(ZorvLoggable* record);

    ZorvLogger(const ZorvLogger&) = delete;
    ZorvLogger& operator=(const ZorvLogger&) = delete;

    bool initSynchronizeObject();
    void startLogging();
    void startLoggingWMilliSecs();
    TStr getHeader() const;
    TStr getLogFileName() const;
    void setLogFileName(const TStr& logFileName);
    bool loadErrorTable();

    static ZorvLogger* instance();
    static void close();
    static ZorvLogger* instance_m();

    // Records, ours and those clients write, reach these directly.
    ZorvDelimitedFile mLogFile;
    ZorvErrorTable mErrorTable;

protected:
    // How one record went with its file's named mutex. The record is written
    // in each case, when its file opens.
    enum RecordLock {
        kNoRecord,           // a null record: nothing was done
        kRecordLocked,       // under the mutex
        kRecordWaitRanOut,   // without it: the wait limit ran out first
        kRecordWithoutMutex, // without it: no mutex of that name could be had
    };
    // What log(record) does, waiting at most waitLimit ms for the named mutex
    // (log waits 10000; a negative limit, without bound): for a subclass whose
    // records must not wait as long.
    RecordLock logWithWaitLimit(ZorvLoggable* record, int waitLimit);

    ZorvMutexImp* mMutex;

private:
    static ZorvLogger* mInstance;
};

extern template class ZORV_ERRORLOG_EXPORT CZorvUtilSingleton<ZorvLogger>;

#endif
