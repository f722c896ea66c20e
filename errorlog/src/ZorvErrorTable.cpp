#include "zorv/ZorvErrorTable.h"

#include "ErrorTableIndex.h"
#include "ErrorTableRules.h"

#include <string>

using namespace zorv_detail;

namespace {

TStr textOf(const TiXmlElement* element) {
    return TStr(element != nullptr ? element->GetText() : nullptr);
}

// The class's layout is part of the binary interface, so the index made at
// load hangs off the document's user pointer, which TinyXML leaves to its
// user; the table owns it.
const ErrorTableIndex* indexOf(const TiXmlDocument& document) {
    return static_cast<const ErrorTableIndex*>(document.GetUserData());
}

void dropIndex(TiXmlDocument& document) {
    delete static_cast<ErrorTableIndex*>(document.GetUserData());
    document.SetUserData(nullptr);
}

TStr answer(const TStr* found) {
    return found != nullptr ? *found : TStr();
}

} // namespace

ZorvErrorTable::ZorvErrorTable(const TStr& pathName) : mPathName(pathName), mLoaded(false) {}

ZorvErrorTable::~ZorvErrorTable() {
    dropIndex(mDocument);
}

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
    // Whatever happens next, the table answers from nothing it held before.
    dropIndex(mDocument);
    mDocument.Clear();
    std::string bytes;
    if (!readTableBytes(path, bytes) || refusalOf(bytes) != TableRefusal::None) {
        return false;
    }
    if (!parseTable(bytes, mDocument)) {
        mDocument.Clear();
        return false;
    }
    mDocument.SetUserData(new ErrorTableIndex(mDocument));
    mLoaded = true;
    return true;
}

const ErrorTableIndex* ZorvErrorTable::index() const {
    return mLoaded ? indexOf(mDocument) : nullptr;
}

TStr ZorvErrorTable::GetVendorName(int vendorId) {
    const ErrorTableIndex* loaded = index();
    return loaded != nullptr ? answer(loaded->vendorName(vendorId)) : TStr();
}

TStr ZorvErrorTable::GetErrorDescription(int vendorId, int code) {
    const ErrorTableIndex* loaded = index();
    return loaded != nullptr ? answer(loaded->description(vendorId, code)) : TStr();
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
