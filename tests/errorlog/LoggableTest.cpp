#include "RecordTestSupport.h"

#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using recordtest::MarkingUname;
using zorvtest::FakeUname;

namespace {

// A client record made of the base's two building blocks.
class BlocksRecord : public ZorvLoggable {
public:
    BlocksRecord(const char* reason, bool header, bool system)
        : ZorvLoggable(TStr(reason)), mHeader(header), mSystem(system) {}
    void dumpTechSupport(ZorvLogger* logger) const override {
        if (mHeader) {
            dumpHeaderInfo(logger);
        }
        if (mSystem) {
            dumpSystemInfo(logger);
        }
    }

private:
    bool mHeader;
    bool mSystem;
};

std::pair<std::string, std::string> systemInfo() {
    TStr computer("stale");
    TStr os("stale");
    BlocksRecord("", false, false).getSystemInformation(computer, os);
    return {computer.bytes(), os.bytes()};
}

class LoggableTest : public ::testing::Test {
protected:
    LoggableTest() : mLogger(false) {
        mLogger.setLogFileName(TStr(mPath));
        mLogger.startLogging();
    }

    // What the record adds to the file, without the section before each line.
    std::string logged(ZorvLoggable& record) {
        const std::size_t before = zorvtest::readFile(mPath).size();
        mLogger.log(record);
        std::string added = zorvtest::readFile(mPath).substr(before);
        const std::string prefix = mLogger.getHeader().bytes() + "\t";
        for (std::size_t at; (at = added.find(prefix)) != std::string::npos;) {
            added.erase(at, prefix.size());
        }
        return added;
    }

    zorvtest::IsolatedHome mHome;
    zorvtest::TempDir mDir;
    std::string mPath = mDir.file("record.log");
    ZorvLogger mLogger;
};

} // namespace

TEST_F(LoggableTest, HeaderBlockIsTheReasonLineWhenThereIsAReason) {
    BlocksRecord record("Fatal error", true, false);
    EXPECT_EQ("Fatal error", record.getReason().bytes());
    EXPECT_EQ("Reason=Fatal error\n", logged(record));
    record.setReason(TStr("disk full"));
    EXPECT_EQ("Reason=disk full\n", logged(record));
    record.clear();
    EXPECT_EQ("", record.getReason().bytes());
    EXPECT_EQ("", logged(record));
}

TEST_F(LoggableTest, SystemBlockFromUnameOutput) {
    FakeUname uname("Linux buildhost 6.1.0-13-amd64 #1 SMP PREEMPT_DYNAMIC x86_64 GNU/Linux\n");
    BlocksRecord record("r", true, true);
    EXPECT_EQ("Reason=r\nComputerName=buildhost\nOS=6.1.0-13-amd64\n", logged(record));
}

TEST_F(LoggableTest, TokenRules) {
    const struct {
        std::string output;
        std::string computer;
        std::string os;
    } cases[] = {
        {"   Linux     host   5.10   more\n", "host", "5.10"}, // runs of spaces are one
        {"Linux\thost 5.10 more\n", "5.10", "more\n"},         // a tab is no separator
        {"Linux host\n", "host\n", ""},                        // the newline stays
        {"Linux host 5.10\n", "host", "5.10\n"},
        {"Linux\nLinux first\nL second 5.10 x\nL third 6.0 y\n", "second", "5.10"},
        {"Linux first\n\n   \n", "first\n", ""},
        // 2047-byte pieces: "Linux " and 2041 x, then the rest of the line.
        {"Linux " + std::string(3000, 'x') + " node release tail\n", "node", "release"},
        {"Linux " + std::string(2041, 'x') + "\n", std::string(2041, 'x'), ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        FakeUname uname(c.output);
        EXPECT_EQ(std::make_pair(c.computer, c.os), systemInfo()) << c.output.substr(0, 40);
    }
}

TEST_F(LoggableTest, CommandRunsAfreshAndOnlyForALogger) {
    MarkingUname uname("Linux host 5.10 x\n");
    BlocksRecord record("r", true, true);
    record.dumpTechSupport(nullptr);
    EXPECT_EQ(0, uname.runs());
    EXPECT_EQ("host", systemInfo().first);
    EXPECT_EQ("host", systemInfo().first);
    EXPECT_EQ(2, uname.runs());
    FakeUname other("Linux other 6.0 x\n");
    EXPECT_EQ("other", systemInfo().first);
}

TEST_F(LoggableTest, WithoutUnameBothLinesAreWrittenEmpty) {
    FakeUname none("", true);
    EXPECT_EQ(std::make_pair(std::string(), std::string()), systemInfo());
    BlocksRecord record("", false, true);
    EXPECT_EQ("ComputerName=\nOS=\n", logged(record));
}
