#include "RecordTestSupport.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>

using recordtest::s;
using zorvtest::readFile;

namespace {

// A logger of its own on a file in a temporary directory, its section started.
class DebugLogTest : public ::testing::Test {
protected:
    DebugLogTest() : mLogger(false) {
        mLogger.setLogFileName(TStr(mPath));
        mLogger.startLogging();
    }

    std::string logged(ZorvLoggable& record) {
        mLogger.log(record);
        return readFile(mPath);
    }
    std::string line(const std::string& component, const std::string& message) {
        return s(mLogger.getHeader()) + "\t" + component + "\t" + message + "\t\n";
    }

    zorvtest::IsolatedHome mHome;
    zorvtest::TempDir mDir;
    std::string mPath = mDir.file("debug.log");
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

TEST_P(ComponentNameTest, LineIsSectionComponentAndMessageEachFollowedByATab) {
    ZorvDebugLog record(static_cast<Zorv::VendorID>(GetParam().id), TStr("x"));
    record.setReason(TStr("never written"));
    EXPECT_EQ(line(GetParam().name, "x"), logged(record));
}

INSTANTIATE_TEST_SUITE_P(EveryNamedIdAndTheGaps, ComponentNameTest,
                         ::testing::Values(NamedId{1, "ZorvCore"}, NamedId{2, "ZorvLumen"},
                                           NamedId{3, "Brakka"}, NamedId{4, "BrakkaBoot"},
                                           NamedId{5, "ZorvPod"}, NamedId{7, "ZorvLoom"},
                                           NamedId{8, "ZorvQet"}, NamedId{9, "ZorvWyn"},
                                           NamedId{10, "ZorvFell"}, NamedId{0, "None"},
                                           NamedId{6, "None"}, NamedId{11, "None"},
                                           NamedId{1000, "None"}, NamedId{-1, "None"}));

TEST_F(DebugLogTest, DefaultConstructedRecordWritesNoneAndAnEmptyMessage) {
    ZorvDebugLog record;
    EXPECT_EQ(line("None", ""), logged(record));
}

TEST_F(DebugLogTest, ClearedRecordWritesEmptyFieldsUntilNamedAgain) {
    ZorvDebugLog record(Zorv::kZorvQet, TStr("gone"));
    record.setReason(TStr("why"));
    record.clear();
    EXPECT_EQ(TStr(), record.getReason());
    // Three tabs after the time: the one closing it, then the two empty fields.
    EXPECT_EQ(s(mLogger.getHeader()) + "\t\t\t\n", logged(record));
    record.setComponentIDStr();
    EXPECT_EQ(line("", "") + line("None", ""), logged(record));
}

TEST_F(DebugLogTest, MessageIsWrittenUnescapedAndTheSeparatorReadAtEachWrite) {
    ZorvDebugLog record(Zorv::kZorvPod, TStr("a\tb\nc"));
    EXPECT_EQ(line("ZorvPod", "a\tb\nc"), logged(record));

    const char* saved = ZorvDelimitedFile::kTab;
    ZorvDelimitedFile::kTab = "|";
    const std::string before = readFile(mPath);
    const std::string after = logged(record);
    ZorvDelimitedFile::kTab = saved;
    EXPECT_EQ(s(mLogger.mLogFile.getCurrentSection(TStr("|"))) + "|ZorvPod|a\tb\nc|\n",
              after.substr(before.size()));
}

TEST_F(DebugLogTest, NullLoggerWritesNothing) {
    ZorvDebugLog record(Zorv::kZorvCore, TStr("x"));
    record.dumpTechSupport(nullptr);
    EXPECT_FALSE(zorvtest::fileExists(mPath));
}
