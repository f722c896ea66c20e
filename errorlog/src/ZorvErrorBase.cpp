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

// Plain signed decimal, through the same formatting the rest of the library uses.
TStr decimal(int value) {
    static const TStr kNumber("%1");
    return kNumber.arg(value, 0, 10, ' ');
}

// The keys and the separator are made into texts once: every record uses them.
const TStr& fileKey() {
    static const TStr key(ZorvErrorBase::THROWN_FILE);
    return key;
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
        static const TStr kSlash("/");
        TStr name = path.popString(kSlash);
        if (!name.isEmpty()) {
            pairs.emplace_back(fileKey(), std::move(name));
        }
    }
    if (pairs.empty()) {
        // No usable last piece (empty path, or one ending in "/"): the path as given.
        pairs.emplace_back(fileKey(), mThrownFile);
    }
    static const TStr kLineKey(THROWN_LINE);
    pairs.emplace_back(kLineKey, decimal(mThrownLine));
    logger->mLogFile.write(pairs);
}

void ZorvErrorBase::dumpErrorInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    const int vendor = static_cast<int>(mVendorID);
    const TStr vendorName = logger->mErrorTable.GetVendorName(vendor);
    static const TStr kVendorIdKey(VENDOR_ID);
    static const TStr kVendorErrorKey(VENDOR_ERROR);
    logger->mLogFile.write(kVendorIdKey, addDescription(getVendorIDStr(), vendorName));
    const TStr description = logger->mErrorTable.GetErrorDescription(vendor, mVendorStatusID);
    logger->mLogFile.write(kVendorErrorKey, addDescription(getVendorStatusStr(), description));
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
