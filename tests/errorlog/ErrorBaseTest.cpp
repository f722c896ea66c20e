#include "RecordTestSupport.h"

#include <zorv/ZorvErrorBase.h>
#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

using recordtest::s;
using zorvtest::readFile;
using zorvtest::splitLines;

namespace {

const char* const kUname =
    "Linux host1 2.6.18 #1 SMP Tue Jun 6 12:00:00 UTC 2026 x86_64 GNU/Linux\n";

// A logger on a file in a temporary directory whose error table was found the
// way every client finds it: through the local user data directory.
class ErrorBaseTest : public ::testing::Test {
protected:
    ErrorBaseTest() : mUname(kUname) {
        recordtest::installErrorTable(mHome);
        mPath = mDir.file("error.log");
        mLogger.reset(new ZorvLogger(TStr(mPath)));
        mLogger->startLogging();
    }

    // The payloads of the lines one record adds, each line's section checked and cut off.
    static std::vector<std::string> payloads(ZorvLoggable& record, ZorvLogger& logger,
                                             const std::string& path) {
        const std::size_t before = readFile(path).size();
        logger.log(record);
        const std::string prefix = s(logger.getHeader()) + "\t";
        std::vector<std::string> result;
        for (const std::string& line : splitLines(readFile(path).substr(before))) {
            EXPECT_EQ(0u, line.rfind(prefix, 0)) << line;
            result.push_back(line.substr(prefix.size()));
        }
        return result;
    }
    std::vector<std::string> payloads(ZorvLoggable& record) {
        return payloads(record, *mLogger, mPath);
    }

    ZorvErrorBase example() {
        return ZorvErrorBase(Zorv::kBrakka, 42, TStr("/src/net/Client.cpp"), 120, TStr("11.4"));
    }

    zorvtest::IsolatedHome mHome;
    recordtest::MarkingUname mUname;
    zorvtest::TempDir mDir;
    std::string mPath;
    std::unique_ptr<ZorvLogger> mLogger;
};

// Writes two fixed system lines instead of asking "uname -a".
class FixedSystemError : public ZorvErrorBase {
public:
    using ZorvErrorBase::ZorvErrorBase;
    void dumpSystemInfo(ZorvLogger* logger) const override {
        if (logger != nullptr) {
            logger->mLogFile.write(TStr(COMPUTER_NAME), TStr("fixed-host"));
            logger->mLogFile.write(TStr(OS), TStr("fixed-os"));
        }
    }
};

// A component that reports its status by name rather than by number.
class NamedStatusError : public ZorvErrorBase {
public:
    using ZorvErrorBase::ZorvErrorBase;
    TStr getVendorStatusStr() const override { return TStr("E_TIMEOUT"); }
};

} // namespace

TEST_F(ErrorBaseTest, WorkedExampleComesOutByteForByte) {
    ZorvErrorBase record = example();
    const std::string header = s(mLogger->getHeader());
    mLogger->log(record);
    EXPECT_EQ(header + "\tReason=Fatal error\n" + header + "\tComputerName=host1\n" + header +
                  "\tOS=2.6.18\n" + header + "\tFile=Client.cpp,Line=120\n" + header +
                  "\tVendorID=3 [N]\n" + header + "\tVendorError=42 [D]\n" + header + "\tN=11.4\n",
              readFile(mPath));
    EXPECT_EQ(1, mUname.runs());
}

struct FileCase {
    const char* path;
    const char* written;
};

void PrintTo(const FileCase& c, std::ostream* out) {
    *out << '"' << c.path << "\" -> \"" << c.written << '"';
}

class FileRuleTest : public ErrorBaseTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(FileRuleTest, FileIsTheLastSlashSeparatedPieceElseTheWholePath) {
    ZorvErrorBase record(Zorv::kBrakka, 42, TStr(GetParam().path), 7, TStr("1"));
    const std::vector<std::string> lines = payloads(record);
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ(std::string("File=") + GetParam().written + ",Line=7", lines[3]);
}

INSTANTIATE_TEST_SUITE_P(Paths, FileRuleTest,
                         ::testing::Values(FileCase{"/src/net/Client.cpp", "Client.cpp"},
                                           FileCase{"Client.cpp", "Client.cpp"},
                                           FileCase{"net/Client.cpp", "Client.cpp"},
                                           FileCase{"/src/net/", "/src/net/"}, FileCase{"/", "/"},
                                           FileCase{"C:\\src\\Client.cpp", "C:\\src\\Client.cpp"},
                                           FileCase{"a//b.cpp", "b.cpp"}, FileCase{"", ""}));

TEST_F(ErrorBaseTest, StoredPathSurvivesLogging) {
    ZorvErrorBase record = example();
    mLogger->log(record);
    EXPECT_EQ("File=Client.cpp,Line=120", payloads(record)[3]);
}

TEST_F(ErrorBaseTest, VendorKnownButCodeUnknownKeepsNameAndVersion) {
    ZorvErrorBase record(Zorv::kBrakka, 43, TStr("f.cpp"), 1, TStr("11.4"));
    const std::vector<std::string> lines = payloads(record);
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ("VendorID=3 [N]", lines[4]);
    EXPECT_EQ("VendorError=43", lines[5]);
    EXPECT_EQ("N=11.4", lines[6]);
}

TEST_F(ErrorBaseTest, NegativeNumbersKeepTheirSign) {
    ZorvErrorBase record(Zorv::kBrakka, -7, TStr("f.cpp"), -5, TStr(""));
    const std::vector<std::string> lines = payloads(record);
    ASSERT_EQ(6u, lines.size()); // no version: nothing to key it by
    EXPECT_EQ("File=f.cpp,Line=-5", lines[3]);
    EXPECT_EQ("VendorError=-7 [negative]", lines[5]);
    EXPECT_EQ(TStr("-7"), record.getVendorStatusIDStr());
}

TEST_F(ErrorBaseTest, VersionLineNeedsBothVersionAndVendorName) {
    // Vendor 2 describes its codes but has no name; vendor 9 is not in the table.
    ZorvErrorBase unnamed(Zorv::kZorvLumen, 1, TStr("f.cpp"), 1, TStr("2.0"));
    ZorvErrorBase unknown(Zorv::kZorvWyn, 1, TStr("f.cpp"), 1, TStr("2.0"));
    ZorvErrorBase noVersion(Zorv::kZorvLoom, 1, TStr("f.cpp"), 1, TStr(""));

    std::vector<std::string> lines = payloads(unnamed);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("VendorID=2", lines[4]);
    EXPECT_EQ("VendorError=1 [one]", lines[5]);

    lines = payloads(unknown);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("VendorID=9", lines[4]);
    EXPECT_EQ("VendorError=1", lines[5]);

    lines = payloads(noVersion);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("VendorID=7 [Loom]", lines[4]);
}

TEST_F(ErrorBaseTest, UnloadedTableGivesBareNumbersAndNoVersionLine) {
    ZorvLogger unloaded(false);
    const std::string path = mDir.file("unloaded.log");
    unloaded.setLogFileName(TStr(path));
    unloaded.startLogging();
    ZorvErrorBase record = example();
    const std::vector<std::string> lines = payloads(record, unloaded, path);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("VendorID=3", lines[4]);
    EXPECT_EQ("VendorError=42", lines[5]);
}

TEST_F(ErrorBaseTest, EmptyReasonStartsWithTheComputerName) {
    ZorvErrorBase record = example();
    EXPECT_EQ(TStr("Fatal error"), record.getReason());
    record.setReason(TStr(""));
    const std::vector<std::string> lines = payloads(record);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("ComputerName=host1", lines[0]);
}

TEST_F(ErrorBaseTest, ClearedRecordWritesVendorZeroAndLineMinusOne) {
    ZorvErrorBase record = example();
    record.clear();
    EXPECT_EQ(TStr(), record.getReason());
    EXPECT_EQ((std::vector<std::string>{"ComputerName=host1", "OS=2.6.18", "File=,Line=-1",
                                        "VendorID=0", "VendorError=0"}),
              payloads(record));
}

TEST_F(ErrorBaseTest, OverriddenStatusTextChangesOnlyTheVendorError) {
    NamedStatusError record(Zorv::kBrakka, 42, TStr("f.cpp"), 1, TStr("11.4"));
    const std::vector<std::string> lines = payloads(record);
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ("VendorID=3 [N]", lines[4]);
    EXPECT_EQ("VendorError=E_TIMEOUT [D]", lines[5]);
    // The number itself is still there for whoever asks.
    EXPECT_EQ(TStr("42"), record.getVendorStatusIDStr());
}

TEST_F(ErrorBaseTest, ReplacedBlockKeepsItsPlaceAndTheOthers) {
    FixedSystemError record(Zorv::kBrakka, 42, TStr("/src/net/Client.cpp"), 120, TStr("11.4"));
    EXPECT_EQ((std::vector<std::string>{"Reason=Fatal error", "ComputerName=fixed-host",
                                        "OS=fixed-os", "File=Client.cpp,Line=120", "VendorID=3 [N]",
                                        "VendorError=42 [D]", "N=11.4"}),
              payloads(record));
    EXPECT_EQ(0, mUname.runs());
}

TEST_F(ErrorBaseTest, NullLoggerWritesNothingAndRunsNoCommand) {
    ZorvErrorBase record = example();
    record.dumpTechSupport(nullptr);
    EXPECT_EQ(0, mUname.runs());
    EXPECT_FALSE(zorvtest::fileExists(mPath));
}

TEST_F(ErrorBaseTest, UnstartedSectionWritesNoLineButLaterBlocksStillRun) {
    ZorvLogger unstarted(TStr(mDir.file("unstarted.log")));
    ZorvErrorBase record = example();
    unstarted.log(record);
    EXPECT_EQ(0, zorvtest::fileSize(mDir.file("unstarted.log")));
    // The system block ran though its lines could not be written.
    EXPECT_EQ(1, mUname.runs());
}

TEST(ErrorBaseText, AddDescriptionBracketsOnlyANonEmptyDescription) {
    const ZorvErrorBase record(Zorv::kZorvLoom, 0, TStr(""), 0, TStr(""));
    EXPECT_EQ(TStr("7 [N]"), record.addDescription(TStr("7"), TStr("N")));
    EXPECT_EQ(TStr("7"), record.addDescription(TStr("7"), TStr("")));
    EXPECT_EQ(TStr(" [x]"), record.addDescription(TStr(""), TStr("x")));
    EXPECT_EQ(TStr("7"), record.getVendorIDStr());
    EXPECT_EQ(TStr("0"), record.getVendorStatusStr());
}
