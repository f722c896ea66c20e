#include <zorv/ZorvPerfLog.h>

#include "LineFormat.h"

#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvUtilVersion.h>

#include <iterator>
#include <list>

namespace {

TStr orNotAvailable(const TStr& text) {
    return text.isEmpty() ? TStr(zorv_detail::kNotAvailable) : text;
}

TStr joined(const TStr& left, const TStr& right) {
    TStr result(left);
    result += zorv_detail::kPerfPairJoiner;
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
    using namespace zorv_detail;
    TStr columns[kPerfColumnCount];
    columns[kPerfOs] = orNotAvailable(osRelease);
    columns[kPerfComputerName] = orNotAvailable(computerName);
    columns[kPerfUtilVersion] = orNotAvailable(TStr(zorvUtilVersionString()));
    columns[kPerfFirstSecond] = joined(mPerfData.mFirst, mPerfData.mSecond);
    columns[kPerfThirdFourth] = joined(mPerfData.mThird, mPerfData.mFourth);
    columns[kPerfComponent] = orNotAvailable(mComponentIDStr);
    columns[kPerfFifth] = mPerfData.mFifth;
    std::list<TStr> items(std::make_move_iterator(std::begin(columns)),
                          std::make_move_iterator(std::end(columns)));
    logger->mLogFile.writeDebugLog(items, TStr(std::string(1, kPerfSeparator)));
}
