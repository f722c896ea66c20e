// The client of docs/client-guide.md: it builds, it runs, and the guide shows
// it as it is.
#include "ZorvlogFixture.h"

#include <zorv/ZorvUtilVersion.h>

namespace zorvtest {
namespace {

using Lines = std::vector<std::string>;

// With the table the packages ship, as a client's users have it.
class ClientExample : public ZorvlogTest {
protected:
    ClientExample() { installTable(readFile(SHIPPED_TABLE)); }
};

TEST_F(ClientExample, WritesAllThreeRecords) {
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "1");
    ScopedEnv perfOn("ZORV_PERF_LOG", "1");
    const std::string log = mDir.file("client.log");
    CapturedProcess run = runCaptured({CLIENT_EXAMPLE_EXE, log});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "debug log: " + mHome.zorvDataDir() + "/ZorvDebug.log\n");

    // A vendor of its own, whose code the shipped table does not describe.
    Lines errors = payloads(log);
    ASSERT_EQ(errors.size(), 7u);
    EXPECT_EQ(errors[0], "Reason=the settings file cannot be read; defaults used");
    EXPECT_EQ(errors[3].rfind("File=main.cpp,Line=", 0), 0u) << errors[3];
    EXPECT_EQ(errors[4], "VendorID=10 [ZorvFell]");
    EXPECT_EQ(errors[5], "VendorError=1");
    EXPECT_EQ(errors[6], "ZorvFell=5.0.0");

    EXPECT_EQ(payloads(mHome.zorvDataDir() + "/ZorvDebug.log"),
              (Lines{"ZorvFell\tclient example started\t"}));

    Lines perf = payloads(mHome.zorvDataDir() + "/ZorvPerfLog.csv", ',');
    ASSERT_EQ(perf.size(), 1u);
    std::vector<std::string> columns = splitFields(perf[0], ',');
    ASSERT_EQ(columns.size(), 8u) << perf[0]; // seven columns, each followed by a comma
    EXPECT_EQ(columns[2], zorvUtilVersionString());
    EXPECT_EQ(columns[3], "build:2890");
    EXPECT_EQ(columns[4].rfind("us:", 0), 0u);
    EXPECT_EQ(columns[5], "ZorvFell");
    EXPECT_EQ(columns[6], "client-example");

    // What it wrote reads back as one error record.
    CapturedProcess parsed = zorvlog({"parse", "--json", log});
    ASSERT_EQ(parsed.status, 0);
    EXPECT_EQ(nlohmann::json::parse(parsed.out).at("kind").get<std::string>(), "error");
}

TEST_F(ClientExample, WithoutTheSwitchesOnlyTheErrorRecordIsWritten) {
    const std::string log = mDir.file("client.log");
    ASSERT_EQ(runCaptured({CLIENT_EXAMPLE_EXE, log}).status, 0);
    EXPECT_EQ(payloads(log).size(), 7u);
    EXPECT_FALSE(fileExists(mHome.zorvDataDir() + "/ZorvDebug.log"));
    EXPECT_FALSE(fileExists(mHome.zorvDataDir() + "/ZorvPerfLog.csv"));
    EXPECT_EQ(runCaptured({CLIENT_EXAMPLE_EXE}).status, 2);
}

TEST_F(ClientExample, TheGuideShowsTheExampleVerbatim) {
    const std::string guide = readFile(SOURCE_DIR "/docs/client-guide.md");
    const std::string example = readFile(SOURCE_DIR "/examples/client/main.cpp");
    ASSERT_FALSE(example.empty());
    EXPECT_NE(guide.find("```cpp\n" + example + "```\n"), std::string::npos)
        << "docs/client-guide.md must hold examples/client/main.cpp as it is";
}

} // namespace
} // namespace zorvtest
