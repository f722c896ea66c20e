// zorvlog parse on files the library wrote: every kind of record comes back
// with its fields, values that held line breaks, tabs or commas included.
#include "ZorvlogFixture.h"

#include <zorv/ErrorLog.h>

#include <fcntl.h>
#include <unistd.h>

namespace zorvtest {
namespace {

using Lines = std::vector<std::string>;

class Parse : public ZorvlogTest {
protected:
    std::vector<JsonValue> parseJson(const std::vector<std::string>& files,
                                     const std::string& input = "") {
        std::vector<std::string> args{"parse", "--json"};
        args.insert(args.end(), files.begin(), files.end());
        CapturedProcess run = zorvlog(args, input);
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<JsonValue> objects;
        for (const std::string& line : splitLines(run.out)) {
            objects.push_back(JsonValue::parse(line));
        }
        return objects;
    }
};

TEST_F(Parse, EveryRecordKindComesBack) {
    const std::string log = mDir.file("all.log");
    ZorvLogger logger{TStr(log.c_str())};
    logger.startLogging();
    logger.log(ZorvErrorBase(Zorv::kBrakka, 42, "/src/net/Client.cpp", 120, "11.4"));
    // No reason, a vendor the table does not know: six lines, no version line.
    ZorvErrorBase bare(static_cast<Zorv::VendorID>(9), 7, "", -1, "2.0");
    bare.setReason("");
    logger.log(bare);
    logger.startLoggingWMilliSecs();
    logger.log(ZorvDebugLog(Zorv::kZorvCore, "first line\nsecond line"));
    ZorvPerfLogData data;
    data.mFirst = "open";
    data.mSecond = "12";
    data.mThird = "multi\nline";
    logger.log(ZorvPerfLog(Zorv::kZorvLumen, data));
    logger.mLogFile.open(false);
    std::list<std::pair<TStr, TStr>> pairs{{"alpha", "1"}, {"beta", "2"}};
    logger.mLogFile.write(pairs);
    logger.mLogFile.close();

    std::vector<JsonValue> entries = parseJson({log});
    ASSERT_EQ(entries.size(), 5u);
    const std::string pid = splitFields(splitLines(readFile(log))[0], '\t')[0];

    const JsonValue& error = entries[0];
    EXPECT_EQ(error["kind"].str(), "error");
    EXPECT_EQ(error["lines"][0].number(), 1);
    EXPECT_EQ(error["lines"][1].number(), 7);
    EXPECT_EQ(error["pid"].str(), pid);
    EXPECT_EQ(error["reason"].str(), "Fatal error");
    EXPECT_EQ(error["computerName"].str(), "testhost");
    EXPECT_EQ(error["os"].str(), "5.10.0-test");
    EXPECT_EQ(error["file"].str(), "Client.cpp");
    EXPECT_EQ(error["line"].str(), "120");
    EXPECT_EQ(error["vendorId"].str(), "3");
    EXPECT_EQ(error["vendorName"].str(), "Brakka");
    EXPECT_EQ(error["vendorError"].str(), "42");
    EXPECT_EQ(error["description"].str(), "Disk on fire");
    EXPECT_EQ(error["vendorVersion"].str(), "11.4");

    const JsonValue& bareError = entries[1];
    EXPECT_EQ(bareError["kind"].str(), "error");
    EXPECT_EQ(bareError["lines"][0].number(), 8);
    EXPECT_EQ(bareError["lines"][1].number(), 12);
    EXPECT_TRUE(bareError["reason"].isNull());
    EXPECT_EQ(bareError["file"].str(), "");
    EXPECT_EQ(bareError["line"].str(), "-1");
    EXPECT_TRUE(bareError["vendorName"].isNull());
    EXPECT_TRUE(bareError["description"].isNull());
    EXPECT_TRUE(bareError["vendorVersion"].isNull());

    const JsonValue& debug = entries[2];
    EXPECT_EQ(debug["kind"].str(), "debug");
    EXPECT_EQ(debug["lines"][0].number(), 13);
    EXPECT_EQ(debug["lines"][1].number(), 14);
    EXPECT_EQ(debug["component"].str(), "ZorvCore");
    EXPECT_EQ(debug["message"].str(), "first line\nsecond line");
    EXPECT_EQ(splitFields(debug["time"].str(), ':').size(), 4u);

    const JsonValue& perf = entries[3];
    EXPECT_EQ(perf["kind"].str(), "perf");
    EXPECT_EQ(perf["columns"].size(), 7u);
    EXPECT_EQ(perf["os"].str(), "5.10.0-test");
    EXPECT_EQ(perf["computerName"].str(), "testhost");
    EXPECT_EQ(perf["utilVersion"].str(), zorvUtilVersionString());
    EXPECT_EQ(perf["first"].str(), "open");
    EXPECT_EQ(perf["second"].str(), "12");
    EXPECT_EQ(perf["third"].str(), "multi\nline");
    EXPECT_EQ(perf["fourth"].str(), "NA");
    EXPECT_EQ(perf["component"].str(), "ZorvLumen");
    EXPECT_EQ(perf["fifth"].str(), "NA");

    const JsonValue& plain = entries[4];
    EXPECT_EQ(plain["kind"].str(), "pairs");
    ASSERT_EQ(plain["pairs"].size(), 2u);
    EXPECT_EQ(plain["pairs"][1]["key"].str(), "beta");
    EXPECT_EQ(plain["pairs"][1]["value"].str(), "2");
}

TEST_F(Parse, ValuesHoldingSeparators) {
    const std::string log = mDir.file("odd.log");
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

    std::vector<JsonValue> entries = parseJson({log});
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[0]["kind"].str(), "error");
    EXPECT_EQ(entries[0]["reason"].str(), "disk full,\n\nretrying");
    EXPECT_EQ(entries[0]["file"].str(), "a,b.cpp");
    EXPECT_EQ(entries[1]["message"].str(), "a\tb");
    // The ambiguous record no longer reads as an error record: its first
    // line stands alone with two pairs.
    EXPECT_EQ(entries[2]["kind"].str(), "pairs");
    ASSERT_EQ(entries[2]["pairs"].size(), 2u);
    EXPECT_EQ(entries[2]["pairs"][0]["value"].str(), "x");
    EXPECT_EQ(entries[2]["pairs"][1]["key"].str(), "y");
}

TEST_F(Parse, ToolOutputStdinAndOddLines) {
    ScopedEnv on("ZORV_DEBUG_MODE", "");
    ASSERT_EQ(zorvlog({"debug", "--vendor", "ZorvWyn", "--ms", "from", "the", "tool"}).status, 0);
    const std::string debugLog = readFile(mHome.zorvDataDir() + "/ZorvDebug.log");

    // A leading line without section, blank lines, bad UTF-8, a torn last line.
    const std::string input = "stray text\n\n" + debugLog +
                              "\n9\t2026/1/2\t03:04:05\tk=\xff\xfe\n" +
                              "\n\n9,2026/1/2,03:04:05,torn";
    std::vector<JsonValue> entries = parseJson({}, input);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0]["kind"].str(), "text");
    EXPECT_EQ(entries[0]["text"].str(), "stray text");
    EXPECT_EQ(entries[1]["kind"].str(), "debug");
    EXPECT_EQ(entries[1]["source"].str(), "-");
    EXPECT_EQ(entries[1]["component"].str(), "ZorvWyn");
    EXPECT_EQ(entries[1]["message"].str(), "from the tool");
    EXPECT_EQ(entries[2]["pairs"][0]["value"].str(), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(entries[2]["date"].str(), "2026/1/2");
    EXPECT_EQ(entries[3]["kind"].str(), "perf");
    EXPECT_EQ(entries[3]["columns"][0].str(), "torn");
}

TEST_F(Parse, PlainTableAndSeveralFiles) {
    const std::string a = mDir.file("a.log"), b = mDir.file("b.log");
    ASSERT_EQ(zorvlog({"error", "--vendor", "3", "--code", "42", a}).status, 0);
    ASSERT_EQ(zorvlog({"debug", "--vendor", "1", "--to", b, "two\nlines"}).status, 0);
    CapturedProcess run = zorvlog({"parse", a, mDir.file("missing.log"), b});
    EXPECT_EQ(run.status, 1) << "a file that cannot be read";
    EXPECT_NE(run.err.find("missing.log"), std::string::npos);
    Lines lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 6u) << run.out;
    EXPECT_EQ(lines[0], "==> " + a + " <==");
    EXPECT_EQ(lines[1].rfind("LINES", 0), 0u);
    EXPECT_EQ(lines[2].rfind("1-6 ", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find(" error "), std::string::npos);
    EXPECT_NE(lines[2].find("VendorError=\"42 [Disk on fire]\""), std::string::npos) << lines[2];
    EXPECT_EQ(lines[3], "==> " + b + " <==");
    EXPECT_NE(lines[5].find("message=\"two\\nlines\""), std::string::npos) << lines[5];
}

// The version line is the one keyed by the name in the VendorID brackets,
// even when that name is also a key of the record's own lines.
TEST_F(Parse, VendorNamedLikeARecordKey) {
    installTable("<ERRORTABLES><TABLE VENDORID=\"5\"><NAME>OS</NAME></TABLE>"
                 "<TABLE VENDORID=\"6\"><NAME>Reason</NAME></TABLE></ERRORTABLES>");
    const std::string log = mDir.file("named.log");
    ASSERT_EQ(
        zorvlog({"error", "--vendor", "5", "--code", "1", "--vendor-version", "5.0.0", log}).status,
        0);
    ASSERT_EQ(zorvlog({"error", "--vendor", "6", "--code", "1", "--vendor-version", "2.0",
                       "--reason", "", log})
                  .status,
              0);
    std::vector<JsonValue> entries = parseJson({log});
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["os"].str(), "5.10.0-test");
    EXPECT_EQ(entries[0]["vendorName"].str(), "OS");
    EXPECT_EQ(entries[0]["vendorVersion"].str(), "5.0.0");
    EXPECT_TRUE(entries[1]["reason"].isNull());
    EXPECT_EQ(entries[1]["vendorVersion"].str(), "2.0");
}

// A rotated, gzipped log reads like the original, whatever its name; other
// binary input is refused, and the files after it are still read.
TEST_F(Parse, GzipReadBinaryRefused) {
    const std::string log = mDir.file("a.log"), gz = mDir.file("a.log.1");
    ASSERT_EQ(zorvlog({"error", "--vendor", "3", "--code", "42", log}).status, 0);
    ASSERT_EQ(zorvlog({"debug", "--vendor", "1", "--to", log, "two\nlines"}).status, 0);
    ASSERT_EQ(runProcess({"sh", "-c", "gzip -c \"$0\" > \"$1\"", log, gz}), 0);
    CapturedProcess plain = zorvlog({"parse", "--json", log});
    CapturedProcess unzipped = zorvlog({"parse", "--json", gz});
    EXPECT_EQ(unzipped.status, 0) << unzipped.err;
    std::string expected = plain.out;
    for (std::string::size_type at; (at = expected.find("\"" + log + "\"")) != std::string::npos;) {
        expected.replace(at, log.size() + 2, "\"" + gz + "\"");
    }
    EXPECT_EQ(splitLines(unzipped.out).size(), 2u);
    EXPECT_EQ(unzipped.out, expected);

    const std::string binary = mDir.file("core");
    writeFile(binary, std::string("\x7f"
                                  "ELF\x02\x01\x01\0\0\0\0",
                                  12) +
                          "\nk=v\n" + std::string(65536, 'x') + "\n1\t2026/1/1\t0:0:0\tk=w\n");
    CapturedProcess refused = zorvlog({"parse", binary, log});
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find(binary), std::string::npos) << refused.err;
    EXPECT_EQ(refused.out.find("k=v"), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find("VendorError"), std::string::npos) << refused.out;
}

// Memory is bounded by the longest record, not by the input: 300,000 short
// (and empty) lines read within a 64 MiB address space.
TEST_F(Parse, StreamsWithinAnAddressLimit) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizers' shadow memory does not fit an address limit";
    }
    const std::string big = mDir.file("big.log"), out = mDir.file("out.json");
    std::string text;
    for (int i = 0; i < 200000; ++i) {
        text += "4711\t2026/12/06\t17:05:09\tZorvCore\tmessage " + std::to_string(i) + "\t\n";
        text += i == 99999 ? std::string(100000, '\n') : "";
    }
    writeFile(big, text);
    EXPECT_EQ(runProcess({"sh", "-c", "ulimit -v 65536 && exec \"$0\" parse --json \"$1\" > \"$2\"",
                          ZORVLOG_EXE, big, out}),
              0);
    std::string last;
    ASSERT_EQ(runProcess({"tail", "-n", "1", out}, &last), 0);
    EXPECT_NE(last.find("\"lines\":[300000,300000]"), std::string::npos) << last;
}

// Zero bytes after the first records, as a crash or a power loss leaves
// them: each run is named once, the records around it come out.
TEST_F(Parse, ReadsWhatACrashLeaves) {
    const std::string log = mDir.file("crashed.log");
    for (const char* text : {"one", "two"}) {
        ASSERT_EQ(zorvlog({"debug", "--vendor", "1", "--to", log, text}).status, 0);
    }
    const long zerosAt = fileSize(log);
    writeFile(log, readFile(log) + std::string(4096, '\0'));
    for (const char* text : {"three", "four", "five", "six"}) {
        ASSERT_EQ(zorvlog({"debug", "--vendor", "1", "--to", log, text}).status, 0);
    }
    CapturedProcess run = zorvlog({"parse", "--json", log});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "zorvlog parse: " + log + ": 4096 zero bytes at byte " +
                           std::to_string(zerosAt) + " skipped\n");
    std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 6u) << run.out;
    EXPECT_EQ(JsonValue::parse(lines[2])["message"].str(), "three");
}

// A record of 256 MiB on one line (a gzip file of a few hundred KiB) is cut
// at 16 MiB, said so, and read within 64 MiB of memory; the record after it
// is whole.
TEST_F(Parse, LongRecordIsCutInBoundedMemory) {
    const std::string gz = mDir.file("long.log.gz"), out = mDir.file("out.json");
    const std::string after = "1\t2026/12/06\t17:05:10\tZorvCore\tafter\t\n";
    writeGzip(
        gz,
        {{"1\t2026/12/06\t17:05:09\tk=", 1}, {std::string(16 << 20, 'x'), 16}, {"\n" + after, 1}});
    CapturedProcess run = zorvlog({"parse", "--json", gz});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "zorvlog parse: " + gz +
                           ": the record at byte 0 is longer than 16 MiB and was cut\n");
    if (!kSanitized) {
        EXPECT_LE(run.peakKb, 64 * 1024);
    }
    std::vector<std::string> lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 2u);
    const JsonValue cut = JsonValue::parse(lines[0]);
    EXPECT_TRUE(cut["truncated"].boolean());
    EXPECT_EQ(cut["pairs"][0]["value"].str().size(), (16u << 20) - 24);
    EXPECT_EQ(JsonValue::parse(lines[1])["message"].str(), "after");
}

// Control characters (C0, DEL, C1 as UTF-8 and as raw bytes) and
// bidirectional overrides in values and file names reach the terminal
// escaped, in the rows, the "==> FILE <==" heading and messages on stderr;
// --json stays strict JSON.
TEST_F(Parse, NothingReachesATerminalRaw) {
    const std::string log = mDir.file("a\x1b]0;owned\x07.log");
    writeFile(log, "1\t2026/1/1\t00:00:00\tk=\x1b[31mred\x7f\xc2\x9b\x9b\xe2\x80\xae!\n");
    CapturedProcess run = zorvlog({"parse", log, mDir.file("gone\x1b[2J.log")});
    EXPECT_EQ(run.status, 1);
    for (const char* raw : {"\x1b", "\x07", "\x7f", "\x9b", "\xe2\x80\xae"}) {
        EXPECT_EQ(run.out.find(raw), std::string::npos) << run.out;
        EXPECT_EQ(run.err.find(raw), std::string::npos) << run.err;
    }
    EXPECT_NE(run.out.find("==> " + mDir.path() + "/a\\x1b]0;owned\\x07.log <=="),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("k=\"\\x1b[31mred\\x7f\\u009b\\x9b\\u202e!\""), std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find("gone\\x1b[2J.log"), std::string::npos) << run.err;
    std::vector<JsonValue> entries = parseJson({log});
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]["pairs"][0]["value"].str(),
              "\x1b[31mred\x7f\xc2\x9b\xef\xbf\xbd\xe2\x80\xae!");
}

// The section's local time with the reader's offset, in the hours when
// clocks change too; the record's computer name; syslog's severity names.
TEST_F(Parse, TimestampHostAndSeverity) {
    ScopedEnv zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    const std::string log = mDir.file("times.log");
    writeFile(log, "stray text\n"
                   "1\t2026/10/25\t02:30:00\tambiguous=first reading\n"
                   "1\t2026/10/25\t03:30:00:7\tafter=standard time\n"
                   "1\t2026/3/29\t02:30:00:45\tC\tskipped hour\t\n"
                   "1,2026/13/1,00:00:00,os,other,5,a:b,c:d,C,e,\n"
                   "2\t2026/7/1\t12:00:00\tComputerName=host1\n"
                   "2\t2026/7/1\t12:00:00\tOS=x\n"
                   "2\t2026/7/1\t12:00:00\tFile=a,Line=1\n"
                   "2\t2026/7/1\t12:00:00\tVendorID=3\n"
                   "2\t2026/7/1\t12:00:00\tVendorError=4\n");
    char machine[256] = {0};
    ::gethostname(machine, sizeof machine - 1);
    std::vector<JsonValue> entries = parseJson({log});
    ASSERT_EQ(entries.size(), 6u);
    const char* expected[][3] = {
        {"", machine, "notice"},
        {"2026-10-25T02:30:00.000+02:00", machine, "notice"},
        {"2026-10-25T03:30:00.007+01:00", machine, "notice"},
        {"2026-03-29T02:30:00.045+01:00", machine, "debug"},
        {"", "other", "info"},
        {"2026-07-01T12:00:00.000+02:00", "host1", "err"},
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const JsonValue& e = entries[i];
        if (expected[i][0][0] == '\0') {
            EXPECT_TRUE(e["timestamp"].isNull()) << i;
        } else {
            EXPECT_EQ(e["timestamp"].str(), expected[i][0]) << i;
        }
        EXPECT_EQ(e["host"].str(), expected[i][1]) << i;
        EXPECT_EQ(e["severity"].str(), expected[i][2]) << i;
    }
}

} // namespace
} // namespace zorvtest
