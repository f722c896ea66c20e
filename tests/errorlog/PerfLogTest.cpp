#include "RecordTestSupport.h"

#include <zorv/ZorvLogger.h>
#include <zorv/ZorvPerfLog.h>
#include <zorv/ZorvUtilVersion.h>

#include <gtest/gtest.h>

#include <string>

using recordtest::s;
using zorvtest::readFile;

namespace {

ZorvPerfLogData data(const char* first, const char* second, const char* third, const char* fourth,
                     const char* fifth) {
    ZorvPerfLogData result;
    result.mFirst = first;
    result.mSecond = second;
    result.mThird = third;
    result.mFourth = fourth;
    result.mFifth = fifth;
    return result;
}

class PerfLogTest : public ::testing::Test {
protected:
    PerfLogTest() : mUname("Linux host1 2.6.18 #1 SMP Tue Jun 6 12:00:00 UTC 2026 x86_64\n") {
        mLogger.setLogFileName(TStr(mPath));
        mLogger.startLogging();
    }

    // The row a record adds, less the section and the facts of columns 4 to 6.
    std::string tail(ZorvLoggable& record) {
        const std::size_t before = readFile(mPath).size();
        mLogger.log(record);
        const std::string row = readFile(mPath).substr(before);
        const std::string head = s(mLogger.mLogFile.getCurrentSection(TStr(","))) +
                                 ",2.6.18,host1," + zorvUtilVersionString() + ",";
        EXPECT_EQ(0u, row.rfind(head, 0)) << row;
        return row.substr(head.size());
    }

    zorvtest::IsolatedHome mHome;
    recordtest::MarkingUname mUname;
    zorvtest::TempDir mDir;
    std::string mPath = mDir.file("perf.csv");
    ZorvLogger mLogger{false};
};

} // namespace

TEST_F(PerfLogTest, WorkedExampleComesOutByteForByte) {
    const std::string version = zorvUtilVersionString();
    ASSERT_FALSE(version.empty());
    ZorvPerfLog record(Zorv::kZorvCore, data("a", "b", "c", "d", "e"));
    mLogger.log(record);
    EXPECT_EQ(s(mLogger.mLogFile.getCurrentSection(TStr(","))) + ",2.6.18,host1," + version +
                  ",a:b,c:d,ZorvCore,e,\n",
              readFile(mPath));
}

TEST_F(PerfLogTest, MissingTextsShowAsNotAvailable) {
    ZorvPerfLog defaults(Zorv::kZorvLumen, ZorvPerfLogData());
    EXPECT_EQ("NA:NA,NA:NA,ZorvLumen,NA,\n", tail(defaults));

    ZorvPerfLogData empty = data("", "", "", "", "");
    ZorvPerfLog fromEmpty(Zorv::kNone, empty);
    EXPECT_TRUE(empty.mFirst.isEmpty() && empty.mFifth.isEmpty()); // the caller's copy stays
    EXPECT_EQ("NA:NA,NA:NA,None,NA,\n", tail(fromEmpty));

    ZorvPerfLog half(static_cast<Zorv::VendorID>(6), data("a", "", "", "d,x", "e"));
    EXPECT_EQ("a:NA,NA:d,x,None,e,\n", tail(half));
}

TEST_F(PerfLogTest, ClearEmptiesTheTextsButKeepsTheComponentName) {
    ZorvPerfLog record(Zorv::kZorvQet, data("a", "b", "c", "d", "e"));
    record.setReason(TStr("r"));
    record.clear();
    EXPECT_EQ(TStr(), record.getReason());
    EXPECT_EQ(":,:,ZorvQet,,\n", tail(record));
}

TEST_F(PerfLogTest, SystemColumnsAreNotAvailableWithoutUname) {
    zorvtest::FakeUname none("", true);
    ZorvPerfLog record(Zorv::kZorvCore, data("a", "b", "c", "d", "e"));
    mLogger.log(record);
    EXPECT_EQ(s(mLogger.mLogFile.getCurrentSection(TStr(","))) + ",NA,NA," +
                  zorvUtilVersionString() + ",a:b,c:d,ZorvCore,e,\n",
              readFile(mPath));
}

TEST_F(PerfLogTest, NullLoggerRunsNoCommand) {
    ZorvPerfLog record(Zorv::kZorvCore, data("a", "b", "c", "d", "e"));
    record.dumpTechSupport(nullptr);
    EXPECT_EQ(0, mUname.runs());
    EXPECT_FALSE(zorvtest::fileExists(mPath));
}
