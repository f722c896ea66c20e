// zorvlog parse on files the library wrote: every kind of record comes back
// with its fields, values that held line breaks, tabs or commas included.
#include "ZorvlogFixture.h"

#include <zorv/ErrorLog.h>

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace zorvtest {
namespace {

using Lines = std::vector<std::string>;

class Parse : public ZorvlogTest {
protected:
    std::vector<nlohmann::json> parseJson(const std::vector<std::string>& files,
                                          const std::string& input = "") {
        std::vector<std::string> args{"parse", "--json"};
        args.insert(args.end(), files.begin(), files.end());
        CapturedProcess run = zorvlog(args, input);
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<nlohmann::json> objects;
        for (const std::string& line : splitLines(run.out)) {
            objects.push_back(nlohmann::json::parse(line));
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

    std::vector<nlohmann::json> entries = parseJson({log});
    ASSERT_EQ(entries.size(), 5u);
    const std::string pid = splitFields(splitLines(readFile(log))[0], '\t')[0];

    expectMembers(entries[0], {{"kind", "error"},
                               {"lines", {1, 7}},
                               {"pid", std::stoll(pid)},
                               {"reason", "Fatal error"},
                               {"computerName", "testhost"},
                               {"os", "5.10.0-test"},
                               {"file", "Client.cpp"},
                               {"line", 120},
                               {"vendorId", 3},
                               {"vendorName", "Brakka"},
                               {"vendorError", 42},
                               {"description", "Disk on fire"},
                               {"vendorVersion", "11.4"}});
    expectMembers(entries[1], {{"kind", "error"},
                               {"lines", {8, 12}},
                               {"reason", nullptr},
                               {"file", ""},
                               {"line", -1},
                               {"vendorName", nullptr},
                               {"description", nullptr},
                               {"vendorVersion", nullptr}});
    expectMembers(entries[2], {{"kind", "debug"},
                               {"lines", {13, 14}},
                               {"component", "ZorvCore"},
                               {"message", "first line\nsecond line"}});
    EXPECT_EQ(splitFields(entries[2].at("time").get<std::string>(), ':').size(), 4u);
    expectMembers(entries[3], {{"kind", "perf"},
                               {"os", "5.10.0-test"},
                               {"computerName", "testhost"},
                               {"utilVersion", zorvUtilVersionString()},
                               {"first", "open"},
                               {"second", 12},
                               {"third", "multi\nline"},
                               {"fourth", "NA"},
                               {"component", "ZorvLumen"},
                               {"fifth", "NA"}});
    EXPECT_EQ(entries[3].at("columns").size(), 7u);
    expectMembers(
        entries[4],
        {{"kind", "pairs"},
         {"pairs", {{{"key", "alpha"}, {"value", "1"}}, {{"key", "beta"}, {"value", "2"}}}}});
}

TEST_F(Parse, ToolOutputStdinAndOddLines) {
    ScopedEnv on("ZORV_DEBUG_MODE", "");
    ASSERT_EQ(zorvlog({"debug", "--vendor", "ZorvWyn", "--ms", "from", "the", "tool"}).status, 0);
    const std::string debugLog = readFile(mHome.zorvDataDir() + "/ZorvDebug.log");

    // A leading line without section, blank lines, bad UTF-8, a torn last line.
    const std::string input = "stray text\n\n" + debugLog +
                              "\n9\t2026/1/2\t03:04:05\tk=\xff\xfe\n" +
                              "\n\n9,2026/1/2,03:04:05,torn";
    std::vector<nlohmann::json> entries = parseJson({}, input);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].at("kind").get<std::string>(), "text");
    EXPECT_EQ(entries[0].at("text").get<std::string>(), "stray text");
    EXPECT_EQ(entries[1].at("kind").get<std::string>(), "debug");
    EXPECT_EQ(entries[1].at("source").get<std::string>(), "-");
    EXPECT_EQ(entries[1].at("component").get<std::string>(), "ZorvWyn");
    EXPECT_EQ(entries[1].at("message").get<std::string>(), "from the tool");
    EXPECT_EQ(entries[2].at("pairs")[0].at("value").get<std::string>(), "\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(entries[2].at("date").get<std::string>(), "2026/1/2");
    EXPECT_EQ(entries[3].at("kind").get<std::string>(), "perf");
    EXPECT_EQ(entries[3].at("columns")[0].get<std::string>(), "torn");
}

TEST_F(Parse, PlainTableAndSeveralFiles) {
    const std::string a = mDir.file("a.log"), b = mDir.file("b.log");
    ASSERT_EQ(zorvlog({"error", "--vendor", "3", "--code", "42", a}).status, 0);
    ASSERT_EQ(zorvlog({"debug", "--vendor", "1", "--to", b, "two\nlines"}).status, 0);
    CapturedProcess run = zorvlog({"parse", a, mDir.file("missing.log"), b});
    EXPECT_EQ(run.status, 1) << "a file that cannot be read";
    EXPECT_NE(run.err.find("missing.log"), std::string::npos);
    // One history: one heading, each row led by its file.
    Lines lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0].rfind("FILE ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" LINES "), std::string::npos) << lines[0];
    const std::size_t width = lines[0].find("LINES");
    EXPECT_EQ(lines[1].substr(0, width + 4), a + std::string(width - a.size(), ' ') + "1-6 ");
    EXPECT_NE(lines[1].find(" error "), std::string::npos);
    EXPECT_NE(lines[1].find("VendorError=\"42 [Disk on fire]\""), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].rfind(b + " ", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("message=\"two\\nlines\""), std::string::npos) << lines[2];

    // An option that is none is refused with the way to what was meant.
    for (const Lines& wrong : std::vector<Lines>{{"-f", "zorvlog follow"},
                                                 {"-u", "name the FILE"},
                                                 {"--ouptut=json", "did you mean --output?"},
                                                 {"--prority", "did you mean --priority?"},
                                                 {"-p", "loud", "'loud' is no priority"}}) {
        run = zorvlog({"parse", wrong[0], wrong.size() > 2 ? wrong[1] : a, a});
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(wrong.back()), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// A log of records "record N" (every third an error record of vendor 8 or
// 3 with code N, the others debug records), each under its own second of
// 2026-12-08 from 09:00:00 on.
std::string numberedRecords(int first, int last) {
    std::string text;
    for (int i = first; i <= last; ++i) {
        char section[64];
        std::snprintf(section, sizeof section, "%d\t2026/12/08\t09:%02d:%02d\t", 100 + i % 2,
                      i / 60, i % 60);
        if (i % 3 == 0) {
            for (const std::string& line :
                 {"Reason=record " + std::to_string(i), std::string("ComputerName=h"),
                  std::string("OS=o"), std::string("File=f,Line=1"),
                  std::string(i % 2 == 0 ? "VendorID=8 [ZorvQet]" : "VendorID=3 [Brakka]"),
                  "VendorError=" + std::to_string(i)}) {
                text += section + line + "\n";
            }
        } else {
            text += section + std::string("ZorvCore\trecord ") + std::to_string(i) + "\t\n";
        }
    }
    return text;
}

// The texts of parse --json's entries: a reason or a message.
std::vector<std::string> texts(const std::string& jsonLines) {
    std::vector<std::string> out;
    for (const std::string& line : splitLines(jsonLines)) {
        const nlohmann::json entry = nlohmann::json::parse(line);
        out.push_back(entry.at(entry.at("kind") == "error" ? "reason" : "message"));
    }
    return out;
}

std::vector<std::string> records(std::initializer_list<int> numbers) {
    std::vector<std::string> out;
    for (int n : numbers) {
        out.push_back("record " + std::to_string(n));
    }
    return out;
}

// Filters on the command line, all of them together; nothing matching is
// no error, a filter that does not read is one line and exit 2.
TEST_F(Parse, FiltersSelectWhatMatchesAll) {
    ScopedEnv zone("TZ", "UTC");
    const std::string log = mDir.file("app.log");
    writeFile(log, numberedRecords(1, 40));
    CapturedProcess run = zorvlog({"parse", "--json", "--kind", "error", "--vendor", "zorvqet",
                                   "--since", "2026-12-08 09:00:10", "--until",
                                   "2026-12-08 09:00:30", "--grep", "^100\t.*Reason", log});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(texts(run.out), records({12, 18, 24, 30}));
    run = zorvlog({"parse", "--code", "21", "--pid", "101", log});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(splitLines(run.out).size(), 2u) << run.out;
    EXPECT_NE(run.out.find("Reason=\"record 21\""), std::string::npos) << run.out;
    run = zorvlog({"parse", "--json", "--pid", "7", log});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    // journalctl's spellings: a priority and the more important ones, a
    // range, a number; the output by name, the pager option taken.
    for (const Lines& priority : std::vector<Lines>{{"err", "13", "error"},
                                                    {"debug..info", "27", "debug"},
                                                    {"7..3", "40", "debug"},
                                                    {"4", "13", "error"}}) {
        run = zorvlog({"parse", "-o", "json", "--no-pager", "-p", priority[0], log});
        EXPECT_EQ(splitLines(run.out).size(), std::stoul(priority[1])) << priority[0] << run.err;
        EXPECT_EQ(nlohmann::json::parse(splitLines(run.out + "{}").front()).value("kind", ""),
                  priority[2]);
    }
    run = zorvlog({"parse", "--output=cat", "--priority=debug", "-n", "1", log});
    EXPECT_EQ(run.out, "component=ZorvCore message=\"record 40\"\n") << run.err;
    run = zorvlog({"parse", "--since", "last tuesday", log});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(splitLines(run.err).front(),
              "zorvlog parse: --since 'last tuesday' is not a time: give a time as 2026-12-08 "
              "09:30:00, 2026-12-08, 09:30, now, today, yesterday, -1h, -30min or @SECONDS")
        << run.err;
    EXPECT_EQ(run.out, "");
}

// Several files are one history in the rotation's order, whatever order they
// are named in; -n takes the last entries of it, reading a plain file from
// its end, -r turns it round, compressed generations included.
TEST_F(Parse, LastAndReverseReadOneHistoryAcrossGenerations) {
    const std::string log = mDir.file("app.log");
    writeGzip(log + ".2.gz", {{numberedRecords(1, 10), 1}});
    writeFile(log + ".1", numberedRecords(11, 20));
    writeFile(log, numberedRecords(21, 23));
    const std::vector<std::string> files{log, log + ".2.gz", log + ".1"};
    std::vector<std::string> args{"parse", "--json"};
    args.insert(args.end(), files.begin(), files.end());
    CapturedProcess all = zorvlog(args);
    ASSERT_EQ(all.status, 0) << all.err;
    const std::vector<std::string> history = texts(all.out);
    ASSERT_EQ(history.size(), 23u);
    EXPECT_EQ(history.front(), "record 1");
    EXPECT_EQ(history.back(), "record 23");

    args.insert(args.begin() + 2, {"-n", "5"});
    CapturedProcess last = zorvlog(args);
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(texts(last.out), records({19, 20, 21, 22, 23}));
    EXPECT_TRUE(nlohmann::json::parse(splitLines(last.out)[0]).at("lines").is_null());
    args.insert(args.begin() + 2, {"--reverse", "--kind", "error"});
    CapturedProcess reversed = zorvlog(args);
    EXPECT_EQ(reversed.status, 0) << reversed.err;
    EXPECT_EQ(texts(reversed.out), records({21, 18, 15, 12, 9}));
    CapturedProcess gz = zorvlog({"parse", "-r", "--json", log + ".2.gz"});
    EXPECT_EQ(texts(gz.out), records({10, 9, 8, 7, 6, 5, 4, 3, 2, 1}));
    // A generation logrotate moved to another directory (olddir) is one of
    // the named log's of that name, the oldest here.
    const std::string old = mDir.file("old");
    ASSERT_EQ(::mkdir(old.c_str(), 0700), 0);
    writeFile(old + "/app.log.3", numberedRecords(0, 0));
    ASSERT_EQ(runProcess({"xz", old + "/app.log.3"}), 0);
    CapturedProcess moved = zorvlog({"parse", "--json", log, old + "/app.log.3.xz", log + ".1"});
    EXPECT_EQ(texts(moved.out).size(), 14u) << moved.err;
    EXPECT_EQ(texts(moved.out).front(), "record 0");
    // The table: one heading, each row led by its file.
    CapturedProcess table = zorvlog({"parse", "-n", "4", log + ".1", log});
    const std::vector<std::string> lines = splitLines(table.out);
    ASSERT_EQ(lines.size(), 5u) << table.out;
    EXPECT_EQ(lines[1].rfind(log + ".1 -       ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind(log + "   -       ", 0), 0u) << lines[2];
}

// A rotated log compressed with gzip, xz, zstd or bzip2 reads like the
// original, whatever its name; other binary input is refused, and the files
// after it are still read; output that cannot be written ends the command, said.
TEST_F(Parse, GzipReadBinaryRefused) {
    const std::string log = mDir.file("a.log"), gz = mDir.file("a.log.1");
    ASSERT_EQ(zorvlog({"error", "--vendor", "3", "--code", "42", log}).status, 0);
    ASSERT_EQ(zorvlog({"debug", "--vendor", "1", "--to", log, "two\nlines"}).status, 0);
    CapturedProcess plain = zorvlog({"parse", "--json", log});
    // The last: two streams one after the other, which read as one.
    for (const char* compress :
         {"gzip -c <\"$0\"", "xz -c <\"$0\"", "zstd -q -c <\"$0\"", "bzip2 -c <\"$0\"",
          "(head -n 3 \"$0\" | bzip2 -c; tail -n +4 \"$0\" | bzip2 -c)"}) {
        ASSERT_EQ(runProcess({"sh", "-c", std::string(compress) + " >\"$1\"", log, gz}), 0);
        CapturedProcess unzipped = zorvlog({"parse", "--json", gz});
        EXPECT_EQ(unzipped.status, 0) << unzipped.err;
        std::string expected = plain.out;
        for (std::string::size_type at;
             (at = expected.find("\"" + log + "\"")) != std::string::npos;) {
            expected.replace(at, log.size() + 2, "\"" + gz + "\"");
        }
        EXPECT_EQ(splitLines(unzipped.out).size(), 2u) << compress;
        EXPECT_EQ(unzipped.out, expected) << compress;
    }

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

    // Output that cannot be written (a full disk) is said, and the exit says so.
    for (const char* mode : {"-o short", "--json", "-n 1"}) {
        CapturedProcess full = runCaptured(
            {"sh", "-c", std::string("exec \"$0\" parse ") + mode + " \"$1\" >/dev/full",
             ZORVLOG_EXE, log});
        EXPECT_EQ(full.status, 1) << mode;
        EXPECT_NE(full.err.find("cannot write"), std::string::npos) << mode << full.err;
    }
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
    EXPECT_EQ(nlohmann::json::parse(lines[2]).at("message").get<std::string>(), "three");
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
    const nlohmann::json cut = nlohmann::json::parse(lines[0]);
    EXPECT_TRUE(cut.at("truncated").get<bool>());
    EXPECT_EQ(cut.at("pairs")[0].at("value").get<std::string>().size(), (16u << 20) - 24);
    EXPECT_EQ(nlohmann::json::parse(lines[1]).at("message").get<std::string>(), "after");
}

// Control characters (C0, DEL, C1 as UTF-8 and as raw bytes) and
// bidirectional overrides in values and file names reach the terminal
// escaped, in the rows, their file column and messages on stderr;
// --json stays strict JSON.
TEST_F(Parse, NothingReachesATerminalRaw) {
    const std::string log = mDir.file("a\x1b]0;owned\x07.log");
    writeFile(log, "1\t2026/1/1\t00:00:00\tk=\x1b[31mred\x7f\xc2\x9b\x9b\xe2\x80\xae!\n"
                   "1\t2026/1/1\t00:00:01\tname=caf\xc3\xa9\n");
    CapturedProcess run = zorvlog({"parse", log, mDir.file("gone\x1b[2J.log")});
    EXPECT_EQ(run.status, 1);
    for (const char* raw : {"\x1b", "\x07", "\x7f", "\x9b", "\xe2\x80\xae"}) {
        EXPECT_EQ(run.out.find(raw), std::string::npos) << run.out;
        EXPECT_EQ(run.err.find(raw), std::string::npos) << run.err;
    }
    EXPECT_EQ(run.out.find("\n" + mDir.path() + "/a\\x1b]0;owned\\x07.log "), run.out.find('\n'))
        << run.out;
    EXPECT_NE(run.out.find("k=\"\\x1b[31mred\\x7f\\u009b\\x9b\\u202e!\""), std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find("gone\\x1b[2J.log"), std::string::npos) << run.err;
    // Letters beyond ASCII are shown as they are, a value of them bare.
    EXPECT_NE(run.out.find(" name=caf\xc3\xa9\n"), std::string::npos) << run.out;
    std::vector<nlohmann::json> entries = parseJson({log});
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].at("pairs")[0].at("value").get<std::string>(),
              "\x1b[31mred\x7f\xc2\x9b\xef\xbf\xbd\xe2\x80\xae!");
}

// --grep takes RE2's language, -i ignores case; what cannot be matched in
// linear time and bounded memory is refused before any file is read.
TEST_F(Parse, GrepIsBoundedAndCanIgnoreCase) {
    const std::string log = mDir.file("app.log");
    writeFile(log, numberedRecords(1, 6));
    CapturedProcess run = zorvlog({"parse", "--json", "-i", "--grep", "RECORD [45]\t", log});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(texts(run.out), records({4, 5}));
    for (const char* pattern : {"(.*)(.*)(.*)\\3\\2\\1x", "a{1,1000}{1,1000}{1,1000}"}) {
        run = zorvlog({"parse", "--grep", pattern, mDir.file("missing.log")});
        EXPECT_EQ(run.status, 2) << pattern;
        EXPECT_EQ(run.err.rfind(std::string("zorvlog parse: --grep '") + pattern + "'", 0), 0u)
            << run.err;
        EXPECT_EQ(splitLines(run.err).size(), 2u) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

// -n N is N whatever the records' size, within parse's memory: 40 records of
// 15 MiB from a .gz, a million short lines from a pipe.
TEST_F(Parse, LastNStaysWithinItsMemory) {
    if (kSanitized) {
        GTEST_SKIP() << "the sanitizers' shadow memory is not the program's";
    }
    const std::string gz = mDir.file("big.log.gz");
    writeGzip(gz, {{"1\t2026/12/06\t17:05:09\tk=" + std::string(15 << 20, 'x') + "\n", 40}});
    CapturedProcess run =
        runCaptured({"sh", "-c", "\"$0\" parse --json -n 40 \"$1\" | wc -l", ZORVLOG_EXE, gz});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LE(run.peakKb, 64 * 1024);
    EXPECT_EQ(run.out, "40\n") << run.err;

    const std::string shortLines = mDir.file("short.log");
    std::string text;
    for (int i = 0; i < 1000000; ++i) {
        text += "4711\t2026/12/06\t17:05:09\tZorvCore\tm\t\n";
    }
    writeFile(shortLines, text);
    std::string().swap(text); // the child's peak counts this process's pages before its exec
    run = runCaptured(
        {"sh", "-c", "cat \"$1\" | \"$0\" parse -n 100000000 | wc -l", ZORVLOG_EXE, shortLines});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_LE(run.peakKb, 64 * 1024);
    EXPECT_EQ(run.out, "1000001\n") << run.err; // with the heading
}

// A hole of 64 GiB (any writer of a log can make one) is passed over when
// reading from the end, as it is when reading from the start. The limit
// only turns a walk through the hole into a failure.
TEST_F(Parse, BackwardReadingPassesOverHoles) {
    const std::string log = mDir.file("holed.log");
    writeFile(log, numberedRecords(1, 5));
    ASSERT_EQ(runProcess({"truncate", "-s", "+64G", log}), 0);
    writeFile(log + ".tail", numberedRecords(6, 7));
    ASSERT_EQ(runProcess({"sh", "-c", "cat \"$0.tail\" >> \"$0\"", log}), 0);
    CapturedProcess last =
        runCaptured({"timeout", "120", ZORVLOG_EXE, "parse", "--json", "-n", "3", log});
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(texts(last.out), records({5, 6, 7}));
    CapturedProcess all =
        runCaptured({"timeout", "120", ZORVLOG_EXE, "parse", "--json", "-r", log});
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(texts(all.out), records({7, 6, 5, 4, 3, 2, 1}));
    EXPECT_NE(all.err.find("68719476736 zero bytes at byte"), std::string::npos) << all.err;
}

// -r of a .gz, or -n of a pipe, with no room in $TMPDIR for its copy:
// nothing printed out of order, the reason said, exit 1.
TEST_F(Parse, ReverseWithoutRoomForItsCopyPrintsNothing) {
    const std::string gz = mDir.file("app.log.1.gz"), tmp = mDir.file("tmp");
    writeGzip(gz, {{numberedRecords(1, 3000), 1}});
    for (const char* command :
         {"exec \"$0\" parse -r \"$2\"", "zcat \"$2\" | \"$0\" parse -n 2000"}) {
        CapturedProcess run =
            runCaptured({"unshare", ::geteuid() == 0 ? "-m" : "-rm", "sh", "-c",
                         "mkdir -p \"$1\" && mount -t tmpfs -o size=64k tmpfs \"$1\" || exit 99\n"
                         "export TMPDIR=\"$1\"\n" +
                             std::string(command),
                         ZORVLOG_EXE, tmp, gz});
        if (run.status == 99 || (run.status == 1 && run.err.rfind("unshare", 0) == 0)) {
            GTEST_SKIP() << "no private mount namespace here: " << run.err;
        }
        EXPECT_EQ(run.status, 1) << command;
        EXPECT_EQ(run.out, "") << command;
        EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
        EXPECT_EQ(splitLines(run.err).size(), 1u) << run.err;
    }
}

// zorvlog parse with a terminal (script(1) gives it one) that nobody types
// on; its output and messages come through the terminal together. The limit
// turns a wait for input into a failure.
CapturedProcess onTerminal(const std::string& options) {
    CapturedProcess run =
        runCaptured({"timeout", "60", "script", "-qec",
                     std::string("'") + ZORVLOG_EXE + "' parse " + options, "/dev/null"});
    run.out.erase(std::remove(run.out.begin(), run.out.end(), '\r'), run.out.end());
    return run;
}

// With no FILE and a terminal to type on, parse reads the user's own logs
// (those 'zorvlog status' shows), or says which it looked for.
TEST_F(Parse, OnATerminalReadsTheUsersOwnLogs) {
    const std::string debugLog = mHome.zorvDataDir() + "/ZorvDebug.log";
    CapturedProcess none = onTerminal("");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.out.find(debugLog), std::string::npos) << none.out;
    EXPECT_EQ(splitLines(none.out).size(), 1u) << none.out;
    {
        ScopedEnv debugOn("ZORV_DEBUG_MODE", "1"), perfOn("ZORV_PERF_LOG", "1");
        ASSERT_EQ(zorvlog({"debug", "--vendor", "1", "mine"}).status, 0);
        ASSERT_EQ(zorvlog({"perf", "--vendor", "1", "a", "b", "c", "d", "e"}).status, 0);
    }
    CapturedProcess run = onTerminal("--json");
    EXPECT_EQ(run.status, 0) << run.err;
    const Lines lines = splitLines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    expectMembers(nlohmann::json::parse(lines[0]),
                  {{"kind", "debug"}, {"message", "mine"}, {"source", debugLog}});
    expectMembers(nlohmann::json::parse(lines[1]), {{"kind", "perf"}, {"fifth", "e"}});
}

// --vendor takes the names of the table the library loads.
TEST_F(Parse, VendorNamedByTheTable) {
    std::string table = kTestTable;
    table.insert(table.find("</ERRORTABLES>"),
                 "  <TABLE VENDORID=\"12\"><NAME>MyComp</NAME></TABLE>\n");
    installTable(table);
    const std::string log = mDir.file("app.log");
    ASSERT_EQ(zorvlog({"error", "--vendor", "12", "--code", "5", log}).status, 0);
    ASSERT_EQ(zorvlog({"error", "--vendor", "3", "--code", "5", log}).status, 0);
    CapturedProcess run = zorvlog({"parse", "--json", "--vendor", "mycomp", log});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(splitLines(run.out).size(), 1u) << run.out;
    expectMembers(nlohmann::json::parse(run.out), {{"vendorId", 12}, {"vendorName", "MyComp"}});
    // A name that is none lists every known name once.
    run = zorvlog({"parse", "--vendor", "nosuch", log});
    EXPECT_EQ(run.status, 2);
    for (const char* name : {"Brakka, ", "MyComp\n"}) {
        EXPECT_EQ(run.err.find(name), run.err.rfind(name)) << run.err;
        EXPECT_NE(run.err.find(name), std::string::npos) << run.err;
    }
}

} // namespace
} // namespace zorvtest
