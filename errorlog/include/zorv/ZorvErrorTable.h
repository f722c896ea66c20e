#ifndef ZORV_ERRORTABLE_H
#define ZORV_ERRORTABLE_H

#include "ZorvErrorLogExport.h"
#include <zorv/TStr.h>

#include <tinyxml.h>

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

private:
    TStr mPathName;
    bool mLoaded;
    TiXmlDocument mDocument;
    // The last answer of each look-up: an error record asks for the name of
    // its vendor twice. Forgotten by Load and SetPathName, the only ways the
    // document or what it stands for can change.
    bool mNameKnown;
    int mNameVendorId;
    TStr mName;
    bool mDescriptionKnown;
    int mDescriptionVendorId;
    int mDescriptionCode;
    TStr mDescription;

    void forgetLookups();
};

#endif
