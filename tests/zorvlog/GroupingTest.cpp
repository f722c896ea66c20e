// zorvlog's reader on a log's lines, called directly: which lines make one
// entry, what its fields are, and what parse --json makes of them.
#include "ReaderSupport.h"
#include "support/TestSupport.h"

#include <zorv/ErrorLog.h>

#include <gtest/gtest.h>

#include <unistd.h>

namespace zorvtest {
namespace {

TEST(Grouping, ValuesHoldingSeparators) {
    IsolatedHome home;
    TempDir dir;
    const std::string log = dir.file("odd.log");
    ZorvLogger logger{TStr(log.c_str())};
    logger.startLogging();
    // A comma (with no "=" after it) stays in its value; a line break is
    // joined back, an empty line too unless it ends the value (then it reads
    // as the blank line a writer may leave between two records).
    ZorvErrorBase error(Zorv::kBrakka, 42, "dir/a,b.cpp", 1, "");
    error.setReason("disk full,\n\nretrying\n");
    logger.log(error);
    // A tab in a debug message adds a field: it belongs to the message.
    logger.log(ZorvDebugLog(Zorv::kZorvQet, "a\tb"));
    // "=" after a comma cannot be told from a new pair: the reader splits there.
    ZorvErrorBase ambiguous(Zorv::kBrakka, 42, "x.cpp", 1, "");
    ambiguous.setReason("x,y=z");
    logger.log(ambiguous);

    const std::vector<nlohmann::json> entries = entriesOf(readFile(log));
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[0].at("kind"), "error");
    EXPECT_EQ(entries[0].at("reason"), "disk full,\n\nretrying");
    EXPECT_EQ(entries[0].at("file"), "a,b.cpp");
    EXPECT_EQ(entries[1].at("message"), "a\tb");
    // The ambiguous record no longer reads as an error record: its first
    // line stands alone with two pairs.
    EXPECT_EQ(entries[2].at("kind"), "pairs");
    ASSERT_EQ(entries[2].at("pairs").size(), 2u);
    EXPECT_EQ(entries[2].at("pairs")[0].at("value"), "x");
    EXPECT_EQ(entries[2].at("pairs")[1].at("key"), "y");
}

// The version line is the one keyed by the name in the VendorID brackets,
// even when that name is also a key of the record's own lines; a record
// keeps its lines as they stand in the file.
TEST(Grouping, VendorNamedLikeARecordKey) {
    const std::string record5 = "7\t2026/1/1\t0:0:0\tComputerName=h\n"
                                "7\t2026/1/1\t0:0:0\tOS=5.10\n"
                                "7\t2026/1/1\t0:0:0\tFile=a,Line=1\n"
                                "7\t2026/1/1\t0:0:0\tVendorID=5 [OS]\n"
                                "7\t2026/1/1\t0:0:0\tVendorError=1\n"
                                "7\t2026/1/1\t0:0:0\tOS=5.0.0\n";
    const std::string record6 = "7\t2026/1/1\t0:0:0\tComputerName=h\n"
                                "7\t2026/1/1\t0:0:0\tOS=5.10\n"
                                "7\t2026/1/1\t0:0:0\tFile=a,Line=1\n"
                                "7\t2026/1/1\t0:0:0\tVendorID=6 [Reason]\n"
                                "7\t2026/1/1\t0:0:0\tVendorError=1\n"
                                "7\t2026/1/1\t0:0:0\tReason=2.0\n";
    const std::vector<zorvlog::LogEntry> entries = groupedEntries(record5 + record6);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].text + "\n", record5);
    const nlohmann::json os = entryJson(entries[0]), reason = entryJson(entries[1]);
    EXPECT_EQ(os.at("os"), "5.10");
    EXPECT_EQ(os.at("vendorName"), "OS");
    EXPECT_EQ(os.at("vendorVersion"), "5.0.0");
    EXPECT_TRUE(reason.at("reason").is_null());
    EXPECT_EQ(reason.at("vendorVersion"), "2.0");
    EXPECT_EQ(reason.at("lines"), nlohmann::json::parse("[7,12]"));
}

// The section's local time with the reader's offset, in the hours when
// clocks change too; the record's computer name; syslog's severity names.
TEST(Grouping, TimestampHostAndSeverity) {
    ScopedEnv zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const std::vector<nlohmann::json> entries =
        entriesOf("stray text\n"
                  "1\t2026/10/25\t02:30:00\tambiguous=first reading\n"
                  "1\t2026/10/25\t03:30:00:7\tafter=standard time\n"
                  "1\t2026/3/29\t02:30:00:45\tC\tskipped hour\t\n"
                  "1,2026/13/1,00:00:00,os,other,5,a:b,c:d,C,e,\n"
                  "1\t2026/4/31\t00:00:00:012\tno=such day\n"
                  "2\t2026/7/1\t12:00:00\tComputerName=host1\n"
                  "2\t2026/7/1\t12:00:00\tOS=x\n"
                  "2\t2026/7/1\t12:00:00\tFile=a,Line=1\n"
                  "2\t2026/7/1\t12:00:00\tVendorID=3\n"
                  "2\t2026/7/1\t12:00:00\tVendorError=4\n"
                  "3\t2026/7/1\t12:00:00:5\tk=same second\n"
                  "3\t2026/7/1\t12:00:00:1000\tk=too many ms\n"
                  "3\t2026/7/1\t12:00:00:\tk=empty ms\n"
                  "3\t2026/7/1\t12:00:001\tk=next second\n"
                  "3\t2026/7/2\t12:00:01:0999\tk=next day\n"
                  "3\t2026/7/2\t12:00:01:99\tk=same second\n");
    char machine[256] = {0};
    ::gethostname(machine, sizeof machine - 1);
    ASSERT_EQ(entries.size(), 13u);
    const char* expected[][3] = {
        {"", machine, "notice"},
        {"2026-10-25T02:30:00.000+02:00", machine, "notice"},
        {"2026-10-25T03:30:00.007+01:00", machine, "notice"},
        {"2026-03-29T02:30:00.045+01:00", machine, "debug"},
        {"", "other", "info"},
        {"", machine, "notice"},
        {"2026-07-01T12:00:00.000+02:00", "host1", "err"},
        {"2026-07-01T12:00:00.005+02:00", machine, "notice"},
        {"", machine, "notice"},
        {"2026-07-01T12:00:00.000+02:00", machine, "notice"},
        {"2026-07-01T12:00:01.000+02:00", machine, "notice"},
        {"2026-07-02T12:00:01.999+02:00", machine, "notice"},
        {"2026-07-02T12:00:01.099+02:00", machine, "notice"},
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const nlohmann::json& e = entries[i];
        if (expected[i][0][0] == '\0') {
            EXPECT_TRUE(e.at("timestamp").is_null()) << i;
        } else {
            EXPECT_EQ(e.at("timestamp"), expected[i][0]) << i;
        }
        EXPECT_EQ(e.at("host"), expected[i][1]) << i;
        EXPECT_EQ(e.at("severity"), expected[i][2]) << i;
    }
}

} // namespace
} // namespace zorvtest
