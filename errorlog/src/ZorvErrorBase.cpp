#include <zorv/ZorvErrorBase.h>

#include <zorv/ZorvLogger.h>

#include <list>
#include <utility>

const char* const ZorvErrorBase::THROWN_FILE = "File";
const char* const ZorvErrorBase::THROWN_LINE = "Line";
const char* const ZorvErrorBase::REASON_FATAL_ERROR = "Fatal error";
const char* const ZorvErrorBase::VENDOR_ID = "VendorID";
const char* const ZorvErrorBase::VENDOR_ERROR = "VendorError";

namespace {

// Plain signed decimal, through the same formatting the rest of the library
// uses. (No function-local static texts in the record path: a record may be
// logged by a clean-up at exit, after such statics are destroyed.)
TStr decimal(int value) {
    return TStr("%1").arg(value, 0, 10, ' ');
}

} // namespace

ZorvErrorBase::ZorvErrorBase(Zorv::VendorID vendorId, int vendorStatusId, const TStr& thrownFile,
                             int thrownLine, const TStr& vendorVersion)
    : ZorvLoggable(TStr(REASON_FATAL_ERROR)), mThrownFile(thrownFile), mThrownLine(thrownLine),
      mVendorID(vendorId), mVendorStatusID(vendorStatusId), mVendorVersion(vendorVersion) {}

ZorvErrorBase::~ZorvErrorBase() = default;

void ZorvErrorBase::clear() {
    ZorvLoggable::clear();
    mThrownFile.clear();
    mThrownLine = -1;
    mVendorID = Zorv::kNone;
    mVendorStatusID = 0;
    mVendorVersion.clear();
}

TStr ZorvErrorBase::getVendorIDStr() const {
    return decimal(static_cast<int>(mVendorID));
}

TStr ZorvErrorBase::getVendorStatusIDStr() const {
    return decimal(mVendorStatusID);
}

TStr ZorvErrorBase::getVendorStatusStr() const {
    return getVendorStatusIDStr();
}

TStr ZorvErrorBase::addDescription(const TStr& text, const TStr& description) const {
    if (description.isEmpty()) {
        return text;
    }
    TStr result(text);
    result += " [";
    result += description;
    result += ']';
    return result;
}

void ZorvErrorBase::dumpTechSupport(ZorvLogger* logger) const {
    // Every block tests the logger itself, so that a subclass replacing one
    // block cannot rely on a test made here.
    dumpHeaderInfo(logger);
    dumpSystemInfo(logger);
    dumpGeneralInfo(logger);
    dumpErrorInfo(logger);
    dumpVendorVersionInfo(logger);
}

void ZorvErrorBase::dumpGeneralInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    std::list<std::pair<TStr, TStr>> pairs;
    if (!mThrownFile.isEmpty()) {
        // popString shortens what it is called on; the stored path stays whole.
        TStr path(mThrownFile);
        TStr name = path.popString(TStr("/"));
        if (!name.isEmpty()) {
            pairs.emplace_back(TStr(THROWN_FILE), std::move(name));
        }
    }
    if (pairs.empty()) {
        // No usable last piece (empty path, or one ending in "/"): the path as given.
        pairs.emplace_back(TStr(THROWN_FILE), mThrownFile);
    }
    pairs.emplace_back(TStr(THROWN_LINE), decimal(mThrownLine));
    logger->mLogFile.write(pairs);
}

void ZorvErrorBase::dumpErrorInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    const int vendor = static_cast<int>(mVendorID);
    const TStr vendorName = logger->mErrorTable.GetVendorName(vendor);
    logger->mLogFile.write(TStr(VENDOR_ID), addDescription(getVendorIDStr(), vendorName));
    const TStr description = logger->mErrorTable.GetErrorDescription(vendor, mVendorStatusID);
    logger->mLogFile.write(TStr(VENDOR_ERROR), addDescription(getVendorStatusStr(), description));
}

void ZorvErrorBase::dumpVendorVersionInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    // Looked up again rather than shared with the error block: either block may
    // be replaced by a subclass on its own.
    const TStr vendorName = logger->mErrorTable.GetVendorName(static_cast<int>(mVendorID));
    if (mVendorVersion.isEmpty() || vendorName.isEmpty()) {
        return;
    }
    logger->mLogFile.write(vendorName, mVendorVersion);
}
