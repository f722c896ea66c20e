#ifndef ZORV_ERRORBASE_H
#define ZORV_ERRORBASE_H

#include "ZorvLoggable.h"
#include "ZorvVendorID.h"

// An error of a component: reason, system facts, source position, vendor id and
// status with their looked-up texts, and the vendor's version.
class ZORV_ERRORLOG_EXPORT ZorvErrorBase : public ZorvLoggable {
public:
    static const char* const THROWN_FILE;
    static const char* const THROWN_LINE;
    static const char* const REASON_FATAL_ERROR;
    static const char* const VENDOR_ID;
    static const char* const VENDOR_ERROR;

    ZorvErrorBase(Zorv::VendorID vendorId, int vendorStatusId, const TStr& thrownFile,
                  int thrownLine, const TStr& vendorVersion);

    // The order of the virtual operations is part of the binary interface.
    void dumpTechSupport(ZorvLogger* logger) const override;
    ~ZorvErrorBase() override;
    void clear() override;
    virtual TStr getVendorStatusStr() const;
    virtual void dumpErrorInfo(ZorvLogger* logger) const;
    virtual void dumpGeneralInfo(ZorvLogger* logger) const;
    virtual void dumpVendorVersionInfo(ZorvLogger* logger) const;

    TStr getVendorIDStr() const;
    TStr getVendorStatusIDStr() const;
    TStr addDescription(const TStr& text, const TStr& description) const;

protected:
    TStr mThrownFile;
    int mThrownLine;
    Zorv::VendorID mVendorID;
    int mVendorStatusID;
    TStr mVendorVersion;
};

#endif
