#ifndef ZORV_ERRORTABLE_H
#define ZORV_ERRORTABLE_H

#include "ZorvErrorLogExport.h"
#include <zorv/TStr.h>

#include <tinyxml.h>

namespace zorv_detail {
class ErrorTableIndex;
}

// Vendor names and error descriptions read from "ZorvErrorCodes.xml".
class ZORV_ERRORLOG_EXPORT ZorvErrorTable {
public:
    ZorvErrorTable(const TStr& pathName);
    ~ZorvErrorTable();
    ZorvErrorTable(const ZorvErrorTable&) = delete;
    ZorvErrorTable& operator=(const ZorvErrorTable&) = delete;

    void SetPathName(const TStr& pathName);
    bool Load();
    TStr GetVendorName(int vendorId);
    TStr GetErrorDescription(int vendorId, int code);
    TStr GetVendorErrorDescription(TiXmlNode* table, int code);

    // For the library's own records, not exported: the loaded table's
    // answers, which they use without copying; null when nothing is loaded.
    ZORV_ERRORLOG_INTERNAL const zorv_detail::ErrorTableIndex* index() const;

private:
    TStr mPathName;
    bool mLoaded;
    TiXmlDocument mDocument;
};

#endif
