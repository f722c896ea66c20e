#include <zorv/ZorvPerfLog.h>

#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvUtilVersion.h>

#include <list>

namespace {

const char* const kNotAvailable = "NA";

TStr orNotAvailable(const TStr& text) {
    return text.isEmpty() ? TStr(kNotAvailable) : text;
}

TStr joined(const TStr& left, const TStr& right) {
    TStr result(left);
    result += ':';
    result += right;
    return result;
}

} // namespace

ZorvPerfLog::ZorvPerfLog(Zorv::VendorID id, const ZorvPerfLogData& data)
    : ZorvDebugLog(id, TStr("")), mPerfData() {
    mPerfData.mFirst = data.mFirst;
    mPerfData.mSecond = data.mSecond;
    mPerfData.mThird = data.mThird;
    mPerfData.mFourth = data.mFourth;
    mPerfData.mFifth = data.mFifth;
    // The row relies on this: columns 7, 8 and 10 are not tested again there.
    mPerfData.checkData();
}

ZorvPerfLog::~ZorvPerfLog() = default;

void ZorvPerfLog::clear() {
    // Not through ZorvDebugLog::clear: the component name outlives a clear,
    // so a cleared row still says whose it was.
    ZorvLoggable::clear();
    mPerfData.mFirst.clear();
    mPerfData.mSecond.clear();
    mPerfData.mThird.clear();
    mPerfData.mFourth.clear();
    mPerfData.mFifth.clear();
    mVendorID = Zorv::kNone;
}

void ZorvPerfLog::dumpTechSupport(ZorvLogger* logger) const {
    if (logger == nullptr) {
        return;
    }
    // Asked afresh for every row: a long-running process may see its host
    // renamed or its kernel replaced.
    TStr computerName;
    TStr osRelease;
    getSystemInformation(computerName, osRelease);

    // The OS column comes before the computer name, unlike the system block.
    std::list<TStr> items;
    items.push_back(orNotAvailable(osRelease));
    items.push_back(orNotAvailable(computerName));
    items.push_back(orNotAvailable(TStr(zorvUtilVersionString())));
    items.push_back(joined(mPerfData.mFirst, mPerfData.mSecond));
    items.push_back(joined(mPerfData.mThird, mPerfData.mFourth));
    items.push_back(orNotAvailable(mComponentIDStr));
    items.push_back(mPerfData.mFifth);
    logger->mLogFile.writeDebugLog(items, TStr(","));
}
