#ifndef ZORV_LOGGER_H
#define ZORV_LOGGER_H

#include "ZorvDelimitedFile.h"
#include "ZorvErrorLogExport.h"
#include "ZorvErrorTable.h"
#include <zorv/CZorvUtilSingleton.h>
#include <zorv/TStr.h>
#include <zorv/ZorvMutexImp.h>

#include <list>

class ZorvLoggable;

// Writes records to its file, one named-mutex-guarded open/close per record.
class ZORV_ERRORLOG_EXPORT ZorvLogger {
public:
    ZorvLogger();
    explicit ZorvLogger(bool loadTable);
    explicit ZorvLogger(const TStr& logFileName);
    // A string literal must not pick ZorvLogger(bool).
    explicit ZorvLogger(const char* logFileName);

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
    ZorvMutexImp* mMutex;

private:
    static ZorvLogger* mInstance;

    // The mutex name derived for the file name in mMutexFileName, so that a
    // record derives it again only when the file name has changed.
    TStr mMutexFileName;
    TStr mMutexName;
    // The items of the debug record's line, kept between records so that
    // their texts reuse the room of the previous record's.
    std::list<TStr> mDebugItems;
    friend class ZorvDebugLog;
};

extern template class ZORV_ERRORLOG_EXPORT CZorvUtilSingleton<ZorvLogger>;

#endif
