#include "RecordTestSupport.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

using recordtest::s;
using zorvtest::readFile;
using zorvtest::splitFields;
using zorvtest::splitLines;

namespace {

// A logger of its own on a file in a temporary directory, its section started.
class DebugLogTest : public ::testing::Test {
protected:
    DebugLogTest() : mLogger(false) {
        mPath = mDir.file("debug.log");
        mLogger.setLogFileName(TStr(mPath));
        mLogger.startLogging();
    }

    std::string logged(ZorvLoggable& record) {
        mLogger.log(record);
        return readFile(mPath);
    }

    // The line a debug record must produce under the current section.
    std::string expectedLine(const std::string& component, const std::string& message) {
        return s(mLogger.getHeader()) + "\t" + component + "\t" + message + "\t\n";
    }

    zorvtest::IsolatedHome mHome;
    zorvtest::TempDir mDir;
    std::string mPath;
    ZorvLogger mLogger;
};

struct NamedId {
    int id;
    const char* name;
};

void PrintTo(const NamedId& n, std::ostream* out) {
    *out << n.id << " -> " << n.name;
}

class ComponentNameTest : public DebugLogTest, public ::testing::WithParamInterface<NamedId> {};

} // namespace

TEST_P(ComponentNameTest, LineCarriesTheComponentNameOfTheId) {
    ZorvDebugLog record(static_cast<Zorv::VendorID>(GetParam().id), TStr("msg"));
    EXPECT_EQ(expectedLine(GetParam().name, "msg"), logged(record));
}

INSTANTIATE_TEST_SUITE_P(EveryNamedIdAndTheGaps, ComponentNameTest,
                         ::testing::Values(NamedId{1, "ZorvCore"}, NamedId{2, "ZorvLumen"},
                                           NamedId{3, "Brakka"}, NamedId{4, "BrakkaBoot"},
                                           NamedId{5, "ZorvPod"}, NamedId{7, "ZorvLoom"},
                                           NamedId{8, "ZorvQet"}, NamedId{9, "ZorvWyn"},
                                           NamedId{10, "ZorvFell"}, NamedId{0, "None"},
                                           NamedId{6, "None"}, NamedId{11, "None"},
                                           NamedId{1000, "None"}, NamedId{-1, "None"},
                                           NamedId{-2147483647 - 1, "None"}));

TEST_F(DebugLogTest, LineIsSectionComponentAndMessageEachFollowedByATab) {
    ZorvDebugLog record(Zorv::kZorvCore, TStr("x"));
    const std::vector<std::string> lines = splitLines(logged(record));
    ASSERT_EQ(1u, lines.size());
    const std::vector<std::string> fields = splitFields(lines[0], '\t');
    ASSERT_EQ(6u, fields.size());
    EXPECT_EQ(std::to_string(::getpid()), fields[0]);
    EXPECT_EQ(10u, fields[1].size()); // year/month/day
    EXPECT_EQ('/', fields[1][4]);
    EXPECT_EQ(8u, fields[2].size()); // hour:minute:second, no milliseconds
    EXPECT_EQ("ZorvCore", fields[3]);
    EXPECT_EQ("x", fields[4]);
    EXPECT_EQ("", fields[5]);
}

TEST_F(DebugLogTest, DefaultConstructedRecordWritesNoneAndAnEmptyMessage) {
    ZorvDebugLog record;
    const std::string text = logged(record);
    EXPECT_EQ(expectedLine("None", ""), text);
    EXPECT_EQ("None\t\t\n", text.substr(text.size() - 7));
}

TEST_F(DebugLogTest, ClearedRecordWritesEmptyComponentAndMessage) {
    ZorvDebugLog record(Zorv::kZorvQet, TStr("gone"));
    record.setReason(TStr("why"));
    record.clear();
    EXPECT_EQ(TStr(), record.getReason());
    // Three tabs after the time field: the one closing it and the two closing
    // the empty component and message.
    EXPECT_EQ(s(mLogger.getHeader()) + "\t\t\t\n", logged(record));

    // Only an explicit call brings a name back, that of id 0.
    record.setComponentIDStr();
    mLogger.log(record);
    EXPECT_EQ(expectedLine("", "") + expectedLine("None", ""), readFile(mPath));
}

TEST_F(DebugLogTest, ReasonNeverReachesTheDebugLine) {
    ZorvDebugLog record(Zorv::kBrakka, TStr("m"));
    record.setReason(TStr("Fatal error"));
    EXPECT_EQ(expectedLine("Brakka", "m"), logged(record));
}

TEST_F(DebugLogTest, SeparatorsInTheMessageAreWrittenAsTheyStand) {
    ZorvDebugLog tabbed(Zorv::kZorvPod, TStr("a\tb"));
    ZorvDebugLog broken(Zorv::kZorvPod, TStr("first\nsecond"));
    mLogger.log(tabbed);
    mLogger.log(broken);
    const std::vector<std::string> lines = splitLines(readFile(mPath));
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(7u, splitFields(lines[0], '\t').size());
    EXPECT_EQ(s(mLogger.getHeader()) + "\tZorvPod\tfirst", lines[1]);
    EXPECT_EQ("second\t", lines[2]);
}

TEST_F(DebugLogTest, UsesTheCurrentValueOfTheTabSeparator) {
    const char* saved = ZorvDelimitedFile::kTab;
    ZorvDelimitedFile::kTab = "|";
    ZorvDebugLog record(Zorv::kZorvWyn, TStr("m"));
    const std::string text = logged(record);
    ZorvDelimitedFile::kTab = saved;
    EXPECT_EQ(s(mLogger.mLogFile.getCurrentSection(TStr("|"))) + "|ZorvWyn|m|\n", text);
}

TEST_F(DebugLogTest, MillisecondSectionShowsInTheTimeField) {
    mLogger.startLoggingWMilliSecs();
    ZorvDebugLog record(Zorv::kZorvFell, TStr("m"));
    const std::vector<std::string> fields = splitFields(splitLines(logged(record))[0], '\t');
    ASSERT_EQ(6u, fields.size());
    EXPECT_EQ(3u, static_cast<unsigned>(std::count(fields[2].begin(), fields[2].end(), ':')));
}

TEST_F(DebugLogTest, RecordsLoggedInOneSectionShareItsTime) {
    ZorvDebugLog first(Zorv::kZorvCore, TStr("1"));
    ZorvDebugLog second(Zorv::kZorvLumen, TStr("2"));
    mLogger.log(first);
    ::usleep(1100 * 1000); // across a second boundary: the section must not follow the clock
    mLogger.log(second);
    EXPECT_EQ(expectedLine("ZorvCore", "1") + expectedLine("ZorvLumen", "2"), readFile(mPath));
}

TEST_F(DebugLogTest, NullLoggerAndUnstartedSectionWriteNothing) {
    ZorvDebugLog record(Zorv::kZorvCore, TStr("x"));
    record.dumpTechSupport(nullptr);
    EXPECT_FALSE(zorvtest::fileExists(mPath));

    ZorvLogger unstarted(false);
    const std::string other = mDir.file("unstarted.log");
    unstarted.setLogFileName(TStr(other));
    unstarted.log(record);
    EXPECT_EQ(0, zorvtest::fileSize(other));
}

TEST_F(DebugLogTest, LoggingLeavesTheRecordUnchanged) {
    ZorvDebugLog record(Zorv::kZorvLoom, TStr("same"));
    mLogger.log(record);
    mLogger.log(record);
    EXPECT_EQ(expectedLine("ZorvLoom", "same") + expectedLine("ZorvLoom", "same"), readFile(mPath));
}
