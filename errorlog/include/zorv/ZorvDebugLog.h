#ifndef ZORV_DEBUGLOG_H
#define ZORV_DEBUGLOG_H

#include "ZorvLoggable.h"
#include "ZorvVendorID.h"

// One debug message of a component: one tab-separated line.
class ZORV_ERRORLOG_EXPORT ZorvDebugLog : public ZorvLoggable {
public:
    ZorvDebugLog(Zorv::VendorID id, TStr message);
    ZorvDebugLog();

    void dumpTechSupport(ZorvLogger* logger) const override;
    ~ZorvDebugLog() override;
    void clear() override;

    // Sets the component name from mVendorID.
    void setComponentIDStr();

protected:
    TStr mMessage;
    Zorv::VendorID mVendorID;
    TStr mComponentIDStr;
};

#endif
