#include "RecordTestSupport.h"

#include <zorv/ZorvLogger.h>
#include <zorv/ZorvPerfLog.h>
#include <zorv/ZorvUtilVersion.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using recordtest::s;
using zorvtest::readFile;
using zorvtest::splitFields;
using zorvtest::splitLines;

namespace {

const char* const kUname =
    "Linux host1 2.6.18 #1 SMP Tue Jun 6 12:00:00 UTC 2026 x86_64 GNU/Linux\n";

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
    PerfLogTest() : mUname(kUname), mLogger(false) {
        mPath = mDir.file("perf.csv");
        mLogger.setLogFileName(TStr(mPath));
        mLogger.startLoggingWMilliSecs();
    }

    std::string section() const { return s(mLogger.mLogFile.getCurrentSection(TStr(","))); }
    std::string version() const { return zorvUtilVersionString(); }

    // Columns 4 to 10 of the one row a record writes; columns 1 to 3 checked
    // against the section on the way.
    std::vector<std::string> columns(ZorvLoggable& record) {
        const std::size_t before = readFile(mPath).size();
        mLogger.log(record);
        const std::vector<std::string> lines = splitLines(readFile(mPath).substr(before));
        if (lines.size() != 1u) {
            ADD_FAILURE() << "expected one row, got " << lines.size();
            return {};
        }
        EXPECT_EQ(0u, lines[0].rfind(section() + ",", 0)) << lines[0];
        std::vector<std::string> fields = splitFields(lines[0].substr(section().size() + 1), ',');
        EXPECT_EQ("", fields.back()) << "every column ends in a comma";
        fields.pop_back();
        return fields;
    }

    zorvtest::IsolatedHome mHome;
    recordtest::MarkingUname mUname;
    zorvtest::TempDir mDir;
    std::string mPath;
    ZorvLogger mLogger;
};

} // namespace

TEST_F(PerfLogTest, WorkedExampleComesOutByteForByte) {
    ASSERT_FALSE(version().empty());
    mLogger.startLogging();
    ZorvPerfLog record(Zorv::kZorvCore, data("a", "b", "c", "d", "e"));
    mLogger.log(record);
    EXPECT_EQ(section() + ",2.6.18,host1," + version() + ",a:b,c:d,ZorvCore,e,\n", readFile(mPath));
    EXPECT_EQ(1, mUname.runs());
}

TEST_F(PerfLogTest, DefaultDataIsNotAvailableEverywhere) {
    ZorvPerfLog record(Zorv::kZorvLumen, ZorvPerfLogData());
    EXPECT_EQ((std::vector<std::string>{"2.6.18", "host1", version(), "NA:NA", "NA:NA", "ZorvLumen",
                                        "NA"}),
              columns(record));
}

TEST_F(PerfLogTest, EmptyFieldsBecomeNotAvailableInTheRecordOnly) {
    ZorvPerfLogData empty = data("", "", "", "", "");
    ZorvPerfLog record(Zorv::kBrakka, empty);
    EXPECT_TRUE(empty.mFirst.isEmpty() && empty.mSecond.isEmpty() && empty.mThird.isEmpty() &&
                empty.mFourth.isEmpty() && empty.mFifth.isEmpty());
    const std::vector<std::string> cols = columns(record);
    ASSERT_EQ(7u, cols.size());
    EXPECT_EQ("NA:NA", cols[3]);
    EXPECT_EQ("NA:NA", cols[4]);
    EXPECT_EQ("NA", cols[6]);

    ZorvPerfLog half(Zorv::kBrakka, data("a", "", "", "d", "e"));
    const std::vector<std::string> halfCols = columns(half);
    ASSERT_EQ(7u, halfCols.size());
    EXPECT_EQ("a:NA", halfCols[3]);
    EXPECT_EQ("NA:d", halfCols[4]);
    EXPECT_EQ("e", halfCols[6]);
}

TEST_F(PerfLogTest, UnnamedIdsShowNoneNotNotAvailable) {
    ZorvPerfLog zero(Zorv::kNone, ZorvPerfLogData());
    ZorvPerfLog six(static_cast<Zorv::VendorID>(6), ZorvPerfLogData());
    EXPECT_EQ("None", columns(zero).at(5));
    EXPECT_EQ("None", columns(six).at(5));
}

TEST_F(PerfLogTest, ClearEmptiesTheDataButKeepsTheComponentName) {
    ZorvPerfLog record(Zorv::kZorvQet, data("a", "b", "c", "d", "e"));
    record.setReason(TStr("r"));
    record.clear();
    EXPECT_EQ(TStr(), record.getReason());
    EXPECT_EQ((std::vector<std::string>{"2.6.18", "host1", version(), ":", ":", "ZorvQet", ""}),
              columns(record));
}

TEST_F(PerfLogTest, WithoutUnameTheSystemColumnsAreNotAvailable) {
    zorvtest::FakeUname none("", true);
    ZorvPerfLog record(Zorv::kZorvCore, data("a", "b", "c", "d", "e"));
    const std::vector<std::string> cols = columns(record);
    ASSERT_EQ(7u, cols.size());
    EXPECT_EQ("NA", cols[0]);
    EXPECT_EQ("NA", cols[1]);
}

TEST_F(PerfLogTest, SystemFactsAreAskedForEveryRow) {
    ZorvPerfLog record(Zorv::kZorvCore, data("a", "b", "c", "d", "e"));
    EXPECT_EQ("host1", columns(record).at(1));
    {
        zorvtest::FakeUname renamed("Linux host2 3.0.1 #1\n");
        const std::vector<std::string> cols = columns(record);
        ASSERT_EQ(7u, cols.size());
        EXPECT_EQ("3.0.1", cols[0]);
        EXPECT_EQ("host2", cols[1]);
    }
    EXPECT_EQ("host1", columns(record).at(1));
    EXPECT_EQ(2, mUname.runs());
}

TEST_F(PerfLogTest, CommaInAFieldAddsAColumn) {
    ZorvPerfLog record(Zorv::kZorvCore, data("a,b", "c", "d", "e", "f"));
    const std::vector<std::string> cols = columns(record);
    ASSERT_EQ(8u, cols.size());
    EXPECT_EQ("a", cols[3]);
    EXPECT_EQ("b:c", cols[4]);
}

TEST_F(PerfLogTest, NullLoggerRunsNoCommandAndUnstartedSectionWritesNoRow) {
    ZorvPerfLog record(Zorv::kZorvCore, data("a", "b", "c", "d", "e"));
    record.dumpTechSupport(nullptr);
    EXPECT_EQ(0, mUname.runs());
    EXPECT_FALSE(zorvtest::fileExists(mPath));

    ZorvLogger unstarted(false);
    unstarted.setLogFileName(TStr(mDir.file("unstarted.csv")));
    unstarted.log(record);
    EXPECT_EQ(0, zorvtest::fileSize(mDir.file("unstarted.csv")));
}
