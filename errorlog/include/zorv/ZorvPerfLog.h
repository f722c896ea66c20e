#ifndef ZORV_PERFLOG_H
#define ZORV_PERFLOG_H

#include "ZorvDebugLog.h"

// The five texts of one performance row; "NA" where a text is missing.
class ZorvPerfLogData {
public:
    ZorvPerfLogData() : mFirst("NA"), mSecond("NA"), mThird("NA"), mFourth("NA"), mFifth("NA") {}

    void checkData() {
        TStr* fields[] = {&mFirst, &mSecond, &mThird, &mFourth, &mFifth};
        for (TStr* field : fields) {
            if (field->isEmpty()) {
                *field = "NA";
            }
        }
    }

    TStr mFirst;
    TStr mSecond;
    TStr mThird;
    TStr mFourth;
    TStr mFifth;
};

// One performance measurement: one comma-separated row of ten columns.
class ZORV_ERRORLOG_EXPORT ZorvPerfLog : public ZorvDebugLog {
public:
    ZorvPerfLog(Zorv::VendorID id, const ZorvPerfLogData& data);

    void dumpTechSupport(ZorvLogger* logger) const override;
    ~ZorvPerfLog() override;
    void clear() override;

protected:
    ZorvPerfLogData mPerfData;
};

#endif
