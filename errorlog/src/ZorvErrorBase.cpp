#include <zorv/ZorvErrorBase.h>

#include "LastingText.h"

#include <zorv/ZorvLogger.h>

#include <cstring>
#include <list>
#include <utility>

const char* const ZorvErrorBase::THROWN_FILE = "File";
const char* const ZorvErrorBase::THROWN_LINE = "Line";
const char* const ZorvErrorBase::REASON_FATAL_ERROR = "Fatal error";
const char* const ZorvErrorBase::VENDOR_ID = "VendorID";
const char* const ZorvErrorBase::VENDOR_ERROR = "VendorError";

namespace {

const zorv_detail::LastingText kDecimal("%1");
const zorv_detail::LastingText kFileKey(ZorvErrorBase::THROWN_FILE);
const zorv_detail::LastingText kLineKey(ZorvErrorBase::THROWN_LINE);
const zorv_detail::LastingText kVendorIdKey(ZorvErrorBase::VENDOR_ID);
const zorv_detail::LastingText kVendorErrorKey(ZorvErrorBase::VENDOR_ERROR);

// Plain signed decimal, through the same formatting the rest of the library
// uses.
TStr decimal(int value) {
    return static_cast<const TStr&>(kDecimal).arg(value, 0, 10, ' ');
}

// The last "/"-separated piece of a path, as popString gives it, without
// the copy of the path popString would shorten.
TStr lastPiece(const TStr& path) {
    const std::string& bytes = path.bytes();
    const char* slash = static_cast<const char*>(::memrchr(bytes.data(), '/', bytes.size()));
    if (slash == nullptr) {
        return path;
    }
    const std::size_t at = static_cast<std::size_t>(slash - bytes.data()) + 1;
    return TStr(bytes.data() + at, bytes.size() - at);
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
    // Made in room of its final size: one allocation at most.
    std::string result;
    result.reserve(text.byteLength() + description.byteLength() + 3);
    result += text.bytes();
    result += " [";
    result += description.bytes();
    result += ']';
    return TStr(std::move(result));
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
        TStr name = lastPiece(mThrownFile);
        if (!name.isEmpty()) {
            pairs.emplace_back(kFileKey, std::move(name));
        }
    }
    if (pairs.empty()) {
        // No usable last piece (empty path, or one ending in "/"): the path as given.
        pairs.emplace_back(kFileKey, mThrownFile);
    }
    pairs.emplace_back(kLineKey, decimal(mThrownLine));
    logger->mLogFile.write(pairs);
}

void ZorvErrorBase::dumpErrorInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    const int vendor = static_cast<int>(mVendorID);
    const TStr vendorName = logger->mErrorTable.GetVendorName(vendor);
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
