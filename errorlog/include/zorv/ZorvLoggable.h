#ifndef ZORV_LOGGABLE_H
#define ZORV_LOGGABLE_H

#include "ZorvErrorLogExport.h"
#include <zorv/TStr.h>

class ZorvLogger;

// The abstract base of every record. A logger calls dumpTechSupport with itself
// while its file is open; the record writes its own lines through it.
class ZORV_ERRORLOG_EXPORT ZorvLoggable {
public:
    static const char* const REASON;
    static const char* const OS;
    static const char* const COMPUTER_NAME;

    explicit ZorvLoggable(const TStr& reason);

    // The order of the virtual operations is part of the binary interface.
    virtual void dumpTechSupport(ZorvLogger* logger) const = 0;
    virtual void setReason(const TStr& reason);
    virtual TStr getReason() const;
    virtual ~ZorvLoggable();
    virtual void dumpHeaderInfo(ZorvLogger* logger) const;
    virtual void dumpSystemInfo(ZorvLogger* logger) const;
    virtual void clear();

    // The computer name and the OS release, from the output of "uname -a".
    void getSystemInformation(TStr& computerName, TStr& osRelease) const;

protected:
    ZorvLoggable(const ZorvLoggable&) = default;
    ZorvLoggable& operator=(const ZorvLoggable&) = default;

    TStr mReason;
};

#endif
