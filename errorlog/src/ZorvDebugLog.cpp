#include <zorv/ZorvDebugLog.h>

#include "LineFormat.h"
#include "VendorNames.h"

#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvLogger.h>

#include <utility>

ZorvDebugLog::ZorvDebugLog(Zorv::VendorID id, TStr message)
    : ZorvLoggable(TStr()), mMessage(std::move(message)), mVendorID(id) {
    setComponentIDStr();
}

ZorvDebugLog::ZorvDebugLog() : ZorvLoggable(TStr()), mVendorID(Zorv::kNone) {
    setComponentIDStr();
}

ZorvDebugLog::~ZorvDebugLog() = default;

void ZorvDebugLog::setComponentIDStr() {
    mComponentIDStr = zorv_detail::vendorName(static_cast<int>(mVendorID));
}

void ZorvDebugLog::clear() {
    ZorvLoggable::clear();
    mMessage.clear();
    mVendorID = Zorv::kNone;
    // Deliberately not "None": a cleared record shows an empty component field.
    mComponentIDStr.clear();
}

void ZorvDebugLog::dumpTechSupport(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    // The items in the order of zorv_detail::DebugItem, none of them copied:
    // the same line writeDebugLog makes of a list.
    static_assert(zorv_detail::kDebugComponent == 0 && zorv_detail::kDebugMessage == 1);
    const TStr* const items[] = {&mComponentIDStr, &mMessage};
    // kTab may have been pointed elsewhere by a client (or at nothing, which
    // is an empty text); read it now.
    const char* const separator = ZorvDelimitedFile::kTab;
    logger->mLogFile.writeItems(items, 2, separator != nullptr ? separator : "");
}
