#include <zorv/ZorvErrorBase.h>

#include "ErrorTableIndex.h"
#include "LastingText.h"
#include "LineFormat.h"
#include "SystemCalls.h"

#include <zorv/ZorvLogger.h>

#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

const char* const ZorvErrorBase::THROWN_FILE = "File";
const char* const ZorvErrorBase::THROWN_LINE = "Line";
const char* const ZorvErrorBase::REASON_FATAL_ERROR = "Fatal error";
const char* const ZorvErrorBase::VENDOR_ID = "VendorID";
const char* const ZorvErrorBase::VENDOR_ERROR = "VendorError";

namespace {

const zorv_detail::LastingText kFileKey(ZorvErrorBase::THROWN_FILE);
const zorv_detail::LastingText kLineKey(ZorvErrorBase::THROWN_LINE);
const zorv_detail::LastingText kVendorIdKey(ZorvErrorBase::VENDOR_ID);
const zorv_detail::LastingText kVendorErrorKey(ZorvErrorBase::VENDOR_ERROR);

// An int as plain signed decimal, in room of its own: a record's numbers go
// into its lines without a text made for each.
class Decimal {
public:
    explicit Decimal(int value) : mFirst(mDigits + sizeof mDigits) {
        // From the last digit back, on the magnitude as unsigned (which holds INT_MIN's).
        unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : value;
        do {
            *--mFirst = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) {
            *--mFirst = '-';
        }
    }
    std::string_view text() const {
        return std::string_view(mFirst,
                                static_cast<std::size_t>(mDigits + sizeof mDigits - mFirst));
    }

private:
    char mDigits[std::numeric_limits<int>::digits10 + 2];
    char* mFirst;
};

TStr decimal(int value) {
    const Decimal number(value);
    return TStr(number.text().data(), number.text().size());
}

std::string_view bytesOf(const TStr& text) {
    return text.bytes();
}

std::string_view bytesOf(const TStr* text) {
    return text != nullptr ? std::string_view(text->bytes()) : std::string_view();
}

// The last "/"-separated piece of a path; the path as given when that piece
// is empty (an empty path, or one ending in "/").
std::string_view fileNameOf(const TStr& path) {
    const std::string_view last = zorv_detail::lastComponentOf(path.bytes());
    return last.empty() ? std::string_view(path.bytes()) : last;
}

const zorv_detail::ErrorTableIndex* tableOf(ZorvLogger* logger) {
    return logger->mErrorTable.index();
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
    result.reserve(text.byteLength() + zorv_detail::kDescriptionOpen.size() +
                   description.byteLength() + 1);
    result += text.bytes();
    result += zorv_detail::kDescriptionOpen;
    result += description.bytes();
    result += zorv_detail::kDescriptionClose;
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

// The blocks below build their lines straight from the record's own texts
// and the table's answers, with no text made in between; what they write is
// what addDescription and the table's look-ups would give.

void ZorvErrorBase::dumpGeneralInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    const Decimal line(mThrownLine);
    const zorv_detail::DescribedPair pairs[] = {{bytesOf(kFileKey), fileNameOf(mThrownFile), {}},
                                                {bytesOf(kLineKey), line.text(), {}}};
    logger->mLogFile.writePairs(pairs, 2);
}

void ZorvErrorBase::dumpErrorInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    const int vendor = static_cast<int>(mVendorID);
    const zorv_detail::ErrorTableIndex* table = tableOf(logger);
    const Decimal id(vendor);
    const zorv_detail::DescribedPair idPair = {
        bytesOf(kVendorIdKey), id.text(),
        bytesOf(table != nullptr ? table->vendorName(vendor) : nullptr)};
    logger->mLogFile.writePairs(&idPair, 1);
    // A subclass may word the status its own way.
    const TStr status = getVendorStatusStr();
    const zorv_detail::DescribedPair errorPair = {
        bytesOf(kVendorErrorKey), bytesOf(status),
        bytesOf(table != nullptr ? table->description(vendor, mVendorStatusID) : nullptr)};
    logger->mLogFile.writePairs(&errorPair, 1);
}

void ZorvErrorBase::dumpVendorVersionInfo(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    // Looked up again rather than shared with the error block: either block may
    // be replaced by a subclass on its own.
    const zorv_detail::ErrorTableIndex* table = tableOf(logger);
    const std::string_view vendorName =
        bytesOf(table != nullptr ? table->vendorName(static_cast<int>(mVendorID)) : nullptr);
    if (mVendorVersion.isEmpty() || vendorName.empty()) {
        return;
    }
    const zorv_detail::DescribedPair pair = {vendorName, bytesOf(mVendorVersion), {}};
    logger->mLogFile.writePairs(&pair, 1);
}
