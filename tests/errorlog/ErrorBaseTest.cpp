#include "RecordTestSupport.h"

#include <zorv/ZorvErrorBase.h>
#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

using recordtest::s;
using zorvtest::readFile;
using zorvtest::splitLines;
using Lines = std::vector<std::string>;

namespace {

// A logger whose error table was found the way every client finds it: through
// the local user data directory.
class ErrorBaseTest : public ::testing::Test {
protected:
    ErrorBaseTest() : mUname("Linux host1 2.6.18 #1 SMP Tue Jun 6 12:00:00 UTC 2026 x86_64\n") {
        mLogger.startLogging();
    }

    // The payloads of the lines one record adds, each line's section checked and cut off.
    static Lines payloads(ZorvLoggable& record, ZorvLogger& logger) {
        const std::string path = s(logger.getLogFileName());
        const std::size_t before = readFile(path).size();
        logger.log(record);
        const std::string prefix = s(logger.getHeader()) + "\t";
        Lines result;
        for (const std::string& line : splitLines(readFile(path).substr(before))) {
            EXPECT_EQ(0u, line.rfind(prefix, 0)) << line;
            result.push_back(line.substr(prefix.size()));
        }
        return result;
    }
    Lines payloads(ZorvLoggable& record) { return payloads(record, mLogger); }

    zorvtest::IsolatedHome mHome;
    // Before the logger, which loads the table when it is built.
    bool mTableInstalled = (recordtest::installErrorTable(mHome), true);
    recordtest::MarkingUname mUname;
    zorvtest::TempDir mDir;
    ZorvLogger mLogger{TStr(mDir.file("error.log"))};
};

// Writes two fixed system lines instead of asking "uname -a".
class FixedSystemError : public ZorvErrorBase {
public:
    using ZorvErrorBase::ZorvErrorBase;
    void dumpSystemInfo(ZorvLogger* logger) const override {
        logger->mLogFile.write(TStr(COMPUTER_NAME), TStr("fixed-host"));
        logger->mLogFile.write(TStr(OS), TStr("fixed-os"));
    }
};

// A component that reports its status by name rather than by number.
class NamedStatusError : public ZorvErrorBase {
public:
    using ZorvErrorBase::ZorvErrorBase;
    TStr getVendorStatusStr() const override { return TStr("E_TIMEOUT"); }
};

struct FileCase {
    const char* path;
    const char* written;
};
void PrintTo(const FileCase& c, std::ostream* out) {
    *out << '"' << c.path << "\" -> \"" << c.written << '"';
}

class FileRuleTest : public ErrorBaseTest, public ::testing::WithParamInterface<FileCase> {};

} // namespace

TEST_F(ErrorBaseTest, WorkedExampleComesOutByteForByte) {
    ZorvErrorBase record(Zorv::kBrakka, 42, TStr("/src/net/Client.cpp"), 120, TStr("11.4"));
    const std::string h = s(mLogger.getHeader());
    mLogger.log(record);
    EXPECT_EQ(h + "\tReason=Fatal error\n" + h + "\tComputerName=host1\n" + h + "\tOS=2.6.18\n" +
                  h + "\tFile=Client.cpp,Line=120\n" + h + "\tVendorID=3 [N]\n" + h +
                  "\tVendorError=42 [D]\n" + h + "\tN=11.4\n",
              readFile(s(mLogger.getLogFileName())));
    EXPECT_EQ(1, mUname.runs());
}

TEST_P(FileRuleTest, FileIsTheLastSlashSeparatedPieceElseTheWholePath) {
    ZorvErrorBase record(Zorv::kBrakka, 42, TStr(GetParam().path), -5, TStr("1"));
    const Lines lines = payloads(record);
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ(std::string("File=") + GetParam().written + ",Line=-5", lines[3]);
}

INSTANTIATE_TEST_SUITE_P(Paths, FileRuleTest,
                         ::testing::Values(FileCase{"/src/net/Client.cpp", "Client.cpp"},
                                           FileCase{"Client.cpp", "Client.cpp"},
                                           FileCase{"/src/net/", "/src/net/"},
                                           FileCase{"C:\\src\\Client.cpp", "C:\\src\\Client.cpp"},
                                           FileCase{"a//b.cpp", "b.cpp"}, FileCase{"", ""}));

TEST_F(ErrorBaseTest, LookupsDecideTheBracketsAndTheVersionLine) {
    // Code unknown: the vendor keeps its name and version, the status stands bare.
    ZorvErrorBase codeUnknown(Zorv::kBrakka, 43, TStr("f.cpp"), 1, TStr("11.4"));
    Lines lines = payloads(codeUnknown);
    EXPECT_EQ((Lines{"VendorID=3 [N]", "VendorError=43", "N=11.4"}),
              Lines(lines.begin() + 4, lines.end()));

    // Negative codes are looked up like any other; no version, no version line.
    ZorvErrorBase negative(Zorv::kBrakka, -7, TStr("f.cpp"), 1, TStr(""));
    lines = payloads(negative);
    EXPECT_EQ((Lines{"VendorID=3 [N]", "VendorError=-7 [negative]"}),
              Lines(lines.begin() + 4, lines.end()));

    // Vendor 2 describes its codes but has no name: nothing to key a version by.
    ZorvErrorBase unnamed(Zorv::kZorvLumen, 1, TStr("f.cpp"), 1, TStr("2.0"));
    lines = payloads(unnamed);
    EXPECT_EQ((Lines{"VendorID=2", "VendorError=1 [one]"}), Lines(lines.begin() + 4, lines.end()));

    // A table that was never loaded knows nothing.
    ZorvLogger unloaded(false);
    unloaded.setLogFileName(TStr(mDir.file("unloaded.log")));
    unloaded.startLogging();
    lines = payloads(codeUnknown, unloaded);
    EXPECT_EQ((Lines{"VendorID=3", "VendorError=43"}), Lines(lines.begin() + 4, lines.end()));
}

TEST_F(ErrorBaseTest, EmptyReasonAndClearDropTheReasonLine) {
    ZorvErrorBase record(Zorv::kBrakka, 42, TStr("/src/net/Client.cpp"), 120, TStr("11.4"));
    record.setReason(TStr(""));
    EXPECT_EQ("ComputerName=host1", payloads(record).at(0));

    record.clear();
    EXPECT_EQ(
        (Lines{"ComputerName=host1", "OS=2.6.18", "File=,Line=-1", "VendorID=0", "VendorError=0"}),
        payloads(record));
}

TEST_F(ErrorBaseTest, SubclassesReplaceTheStatusTextOrABlock) {
    NamedStatusError named(Zorv::kBrakka, 42, TStr("f.cpp"), 1, TStr("11.4"));
    Lines lines = payloads(named);
    EXPECT_EQ((Lines{"VendorID=3 [N]", "VendorError=E_TIMEOUT [D]", "N=11.4"}),
              Lines(lines.begin() + 4, lines.end()));
    EXPECT_EQ(TStr("42"), named.getVendorStatusIDStr());

    FixedSystemError fixed(Zorv::kBrakka, 42, TStr("/srv/pool/Pool.cc"), 77, TStr("11.4"));
    EXPECT_EQ((Lines{"Reason=Fatal error", "ComputerName=fixed-host", "OS=fixed-os",
                     "File=Pool.cc,Line=77", "VendorID=3 [N]", "VendorError=42 [D]", "N=11.4"}),
              payloads(fixed));
    EXPECT_EQ(1, mUname.runs()); // only the first record asked
}

TEST_F(ErrorBaseTest, NullLoggerWritesNothingAndRunsNoCommand) {
    ZorvErrorBase record(Zorv::kBrakka, 42, TStr("f.cpp"), 1, TStr("11.4"));
    record.dumpTechSupport(nullptr);
    EXPECT_EQ(0, mUname.runs());
    EXPECT_FALSE(zorvtest::fileExists(s(mLogger.getLogFileName())));
}
