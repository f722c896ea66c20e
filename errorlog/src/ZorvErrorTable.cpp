#include "zorv/ZorvErrorTable.h"

#include "ErrorTableRules.h"

#include <string>

using namespace zorv_detail;

namespace {

TStr textOf(const TiXmlElement* element) {
    return TStr(element != nullptr ? element->GetText() : nullptr);
}

} // namespace

ZorvErrorTable::ZorvErrorTable(const TStr& pathName) : mPathName(pathName), mLoaded(false) {}

ZorvErrorTable::~ZorvErrorTable() = default;

void ZorvErrorTable::SetPathName(const TStr& pathName) {
    mPathName = pathName;
}

bool ZorvErrorTable::Load() {
    mLoaded = false;
    if (mPathName.isEmpty()) {
        return false;
    }
    const char* path = mPathName.toUtf8();
    if (path == nullptr) {
        return false;
    }
    // Whatever happens now, the old document is no longer what the table holds.
    mDocument.Clear();
    std::string bytes;
    if (!readTableBytes(path, bytes) || refusalOf(bytes) != TableRefusal::None) {
        return false;
    }
    mLoaded = parseTable(bytes, mDocument);
    if (!mLoaded) {
        mDocument.Clear();
    }
    return mLoaded;
}

TStr ZorvErrorTable::GetVendorName(int vendorId) {
    if (!mLoaded) {
        return TStr();
    }
    for (TiXmlElement* table = vendorTable(firstTable(mDocument), vendorId); table != nullptr;
         table = vendorTable(table->NextSibling(), vendorId)) {
        // A matching table without a name leaves the name to a later one.
        if (TiXmlElement* name = firstChildElement(table, kNameElement)) {
            return textOf(name);
        }
    }
    return TStr();
}

TStr ZorvErrorTable::GetErrorDescription(int vendorId, int code) {
    if (!mLoaded) {
        return TStr();
    }
    // Only the first table of the vendor is searched.
    TiXmlElement* table = vendorTable(firstTable(mDocument), vendorId);
    return table != nullptr ? GetVendorErrorDescription(table, code) : TStr();
}

TStr ZorvErrorTable::GetVendorErrorDescription(TiXmlNode* table, int code) {
    TiXmlElement* first = firstChildElement(table, kErrorElement);
    for (TiXmlElement* error = nextElement(first); error != nullptr;
         error = nextElement(error->NextSibling())) {
        int value = 0;
        const Key key = readKey(error, kCodeAttribute, value);
        if (key == Key::Missing) {
            return TStr();
        }
        if (key == Key::Read && value == code) {
            // The first entry of the code decides, with or without a description.
            return textOf(firstChildElement(error, kDescriptionElement));
        }
    }
    return TStr();
}
