#include "RecordTestSupport.h"

#include "UnameParser.h"

#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using recordtest::MarkingUname;
using recordtest::s;
using zorvtest::FakeUname;
using zorvtest::readFile;
using zorvtest::splitFields;
using zorvtest::splitLines;

namespace {

// Writes what a client chooses of the base's building blocks.
class BlocksRecord : public ZorvLoggable {
public:
    explicit BlocksRecord(const TStr& reason, bool header = true, bool system = true)
        : ZorvLoggable(reason), mHeader(header), mSystem(system) {}
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

struct SystemInfo {
    std::string computer;
    std::string os;
};

SystemInfo systemInfo() {
    BlocksRecord record{TStr()};
    TStr computer("stale");
    TStr os("stale");
    record.getSystemInformation(computer, os);
    return {s(computer), s(os)};
}

class LoggableTest : public ::testing::Test {
protected:
    LoggableTest() : mLogger(false) {
        mLogger.setLogFileName(TStr(mPath));
        mLogger.startLogging();
    }

    // The payloads (what follows the section and its tab) of the lines written.
    std::vector<std::string> payloads(ZorvLoggable& record) {
        mLogger.log(record);
        std::vector<std::string> result;
        const std::string prefix = s(mLogger.getHeader()) + "\t";
        const std::string text = readFile(mPath);
        std::string::size_type at = 0;
        // Split at the section rather than at newlines: a value may hold one.
        while ((at = text.find(prefix, at)) != std::string::npos) {
            const std::string::size_type start = at + prefix.size();
            std::string::size_type next = text.find(prefix, start);
            const std::string::size_type end = (next == std::string::npos ? text.size() : next) - 1;
            result.push_back(text.substr(start, end - start));
            at = start;
        }
        return result;
    }

    zorvtest::IsolatedHome mHome;
    zorvtest::TempDir mDir;
    std::string mPath = mDir.file("record.log");
    ZorvLogger mLogger;
};

} // namespace

TEST_F(LoggableTest, ReasonIsSetReplacedAndCleared) {
    BlocksRecord record{TStr("Fatal error")};
    EXPECT_EQ("Fatal error", s(record.getReason()));
    record.setReason(TStr("disk full"));
    EXPECT_EQ("disk full", s(record.getReason()));
    record.clear();
    EXPECT_EQ("", s(record.getReason()));
}

TEST_F(LoggableTest, HeaderBlockIsTheReasonLineOnlyWhenThereIsAReason) {
    BlocksRecord record(TStr("disk full"), true, false);
    EXPECT_EQ(std::vector<std::string>{"Reason=disk full"}, payloads(record));

    record.clear();
    EXPECT_EQ(std::vector<std::string>{"Reason=disk full"}, payloads(record));
    BlocksRecord empty(TStr(), true, false);
    EXPECT_EQ(std::vector<std::string>{"Reason=disk full"}, payloads(empty));
}

TEST_F(LoggableTest, KeysAreTheClassConstants) {
    EXPECT_STREQ("Reason", ZorvLoggable::REASON);
    EXPECT_STREQ("OS", ZorvLoggable::OS);
    EXPECT_STREQ("ComputerName", ZorvLoggable::COMPUTER_NAME);
}

TEST_F(LoggableTest, SystemBlockIsNodeNameAndKernelRelease) {
    FakeUname uname("Linux buildhost 6.1.0-13-amd64 #1 SMP PREEMPT_DYNAMIC x86_64 GNU/Linux\n");
    BlocksRecord record(TStr("r"));
    EXPECT_EQ((std::vector<std::string>{"Reason=r", "ComputerName=buildhost", "OS=6.1.0-13-amd64"}),
              payloads(record));
}

TEST_F(LoggableTest, RunsOfSpacesSeparateLikeOneButATabDoesNot) {
    {
        FakeUname uname("   Linux     host   5.10   more\n");
        SystemInfo info = systemInfo();
        EXPECT_EQ("host", info.computer);
        EXPECT_EQ("5.10", info.os);
    }
    {
        FakeUname uname("Linux\thost 5.10 more\n");
        SystemInfo info = systemInfo();
        EXPECT_EQ("5.10", info.computer);
        EXPECT_EQ("more\n", info.os);
    }
}

TEST_F(LoggableTest, NewlineStaysInTheLastToken) {
    {
        FakeUname uname("Linux host\n");
        SystemInfo info = systemInfo();
        EXPECT_EQ("host\n", info.computer);
        EXPECT_EQ("", info.os);
    }
    {
        FakeUname uname("Linux host 5.10\n");
        EXPECT_EQ("5.10\n", systemInfo().os);
    }
}

TEST_F(LoggableTest, LaterLinesFillWhatEarlierOnesLacked) {
    {
        FakeUname uname("Linux\nLinux first\nLinux second 5.10 x\nLinux third 6.0 y\n");
        SystemInfo info = systemInfo();
        EXPECT_EQ("second", info.computer);
        EXPECT_EQ("5.10", info.os);
    }
    {
        FakeUname uname("Linux first\n\n   \n");
        SystemInfo info = systemInfo();
        EXPECT_EQ("first\n", info.computer);
        EXPECT_EQ("", info.os);
    }
}

TEST_F(LoggableTest, LongLinesAreReadIn2047BytePieces) {
    // The first piece is "Linux " and 2041 x: two tokens. The rest of the line
    // is a piece of its own whose second and third tokens decide.
    FakeUname uname("Linux " + std::string(3000, 'x') + " node release tail\n");
    SystemInfo info = systemInfo();
    EXPECT_EQ("node", info.computer);
    EXPECT_EQ("release", info.os);

    FakeUname shorter("Linux " + std::string(2041, 'x') + "\n");
    info = systemInfo();
    EXPECT_EQ(std::string(2041, 'x'), info.computer); // the newline is the next piece
    EXPECT_EQ("", info.os);
}

TEST_F(LoggableTest, EveryCallRunsTheCommandAfresh) {
    MarkingUname uname("Linux host 5.10 x\n");
    EXPECT_EQ("host", systemInfo().computer);
    EXPECT_EQ("host", systemInfo().computer);
    EXPECT_EQ(2, uname.runs());
    FakeUname other("Linux other 6.0 x\n");
    EXPECT_EQ("other", systemInfo().computer);
}

TEST_F(LoggableTest, WithoutUnameBothLinesAreWrittenEmpty) {
    FakeUname none("", true);
    SystemInfo info = systemInfo();
    EXPECT_EQ("", info.computer);
    EXPECT_EQ("", info.os);

    BlocksRecord record(TStr(), false, true);
    EXPECT_EQ((std::vector<std::string>{"ComputerName=", "OS="}), payloads(record));
}

TEST_F(LoggableTest, NullLoggerRunsNoCommandAndWritesNothing) {
    MarkingUname uname("Linux host 5.10 x\n");
    BlocksRecord record{TStr("r")};
    record.dumpSystemInfo(nullptr);
    record.dumpHeaderInfo(nullptr);
    record.dumpTechSupport(nullptr);
    EXPECT_EQ(0, uname.runs());
}

// The tokenizer on its own, for what the command cannot easily be made to print.
TEST(UnameParserTest, SplitsOnlyAtSpacesAndKeepsNoMoreThanThreeTokens) {
    struct Case {
        std::string piece;
        bool hasNode;
        std::string node;
        bool hasRelease;
        std::string release;
    } cases[] = {
        {"", false, "", false, ""},
        {"     ", false, "", false, ""},
        {"\n", false, "", false, ""},
        {"Linux", false, "", false, ""},
        {"Linux   ", false, "", false, ""},
        {"Linux \n", true, "\n", false, ""},
        {"a b", true, "b", false, ""},
        {"a b ", true, "b", false, ""},
        {"a b c", true, "b", true, "c"},
        {"  a  b  c  d  ", true, "b", true, "c"},
        {"a\rb\tc d e", true, "d", true, "e"},
        {std::string("a b\0x c", 7), true, std::string("b\0x", 3), true, "c"},
    };
    for (const Case& c : cases) {
        zorv_detail::UnameFields f = zorv_detail::parseUnamePiece(c.piece.data(), c.piece.size());
        EXPECT_EQ(c.hasNode, f.hasNode) << c.piece;
        EXPECT_EQ(c.node, f.node) << c.piece;
        EXPECT_EQ(c.hasRelease, f.hasRelease) << c.piece;
        EXPECT_EQ(c.release, f.release) << c.piece;
    }
}
