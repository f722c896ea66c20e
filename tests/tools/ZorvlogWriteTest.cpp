// zorvlog error / debug / perf against the library: the lines the tool writes
// are the lines a C++ client writes for the same record.
#include "ZorvlogFixture.h"

#include <zorv/ErrorLog.h>

#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zorvtest {
namespace {

using Lines = std::vector<std::string>;

class ZorvlogWrite : public ZorvlogTest {};

TEST_F(ZorvlogWrite, ErrorRecordIsTheLibrarysRecord) {
    const std::string ours = mDir.file("tool.log"), theirs = mDir.file("lib.log");
    CapturedProcess run =
        zorvlog({"error", "--vendor", "3", "--code", "42", "--file", "/src/net/Client.cpp",
                 "--line", "120", "--vendor-version", "11.4", ours});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");

    ZorvLogger logger{TStr(theirs.c_str())};
    logger.startLogging();
    logger.log(ZorvErrorBase(Zorv::kBrakka, 42, "/src/net/Client.cpp", 120, "11.4"));

    const Lines expected{"Reason=Fatal error",  "ComputerName=testhost",
                         "OS=5.10.0-test",      "File=Client.cpp,Line=120",
                         "VendorID=3 [Brakka]", "VendorError=42 [Disk on fire]",
                         "Brakka=11.4"};
    EXPECT_EQ(payloads(ours), expected);
    EXPECT_EQ(payloads(ours), payloads(theirs));

    // One section for the whole record, started by the tool's own process,
    // to the second.
    auto sect = sections(ours);
    for (const auto& s : sect) {
        EXPECT_EQ(s, sect[0]);
    }
    EXPECT_NE(sect[0][0], std::to_string(::getpid()));
    EXPECT_EQ(splitFields(sect[0][2], ':').size(), 3u);
}

TEST_F(ZorvlogWrite, ErrorOptionsReachTheRecord) {
    const std::string ours = mDir.file("tool.log"), theirs = mDir.file("lib.log");
    // A name in any case, an empty reason, a negative code and line, milliseconds.
    CapturedProcess run = zorvlog({"error", "--vendor=bRaKkA", "--code", "-7", "--line", "-5",
                                   "--reason", "", "--file", "bare.cpp", "--ms", ours});
    ASSERT_EQ(run.status, 0) << run.err;

    ZorvLogger logger{TStr(theirs.c_str())};
    logger.startLogging();
    ZorvErrorBase record(Zorv::kBrakka, -7, "bare.cpp", -5, "");
    record.setReason("");
    logger.log(record);

    const Lines expected{"ComputerName=testhost", "OS=5.10.0-test", "File=bare.cpp,Line=-5",
                         "VendorID=3 [Brakka]", "VendorError=-7 [Negative status]"};
    EXPECT_EQ(payloads(ours), expected);
    EXPECT_EQ(payloads(ours), payloads(theirs));
    EXPECT_EQ(splitFields(sections(ours)[0][2], ':').size(), 4u) << "--ms: time with milliseconds";

    // A reason of our own replaces "Fatal error".
    const std::string other = mDir.file("reason.log");
    ASSERT_EQ(
        zorvlog({"error", "--vendor", "8", "--code", "3", "--reason", "pipe broke", other}).status,
        0);
    Lines lines = payloads(other);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "Reason=pipe broke");
    EXPECT_EQ(lines[3], "File=,Line=0");
    EXPECT_EQ(lines[5], "VendorError=3 [A malformed request frame was received]");
}

TEST_F(ZorvlogWrite, ErrorWithoutTableSaysSoAndWritesBareNumbers) {
    ::unlink(tablePath().c_str());
    const std::string ours = mDir.file("tool.log");
    CapturedProcess run =
        zorvlog({"error", "--vendor", "3", "--code", "42", "--vendor-version", "1.0", ours});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("ZorvErrorCodes.xml"), std::string::npos) << run.err;
    Lines lines = payloads(ours);
    ASSERT_EQ(lines.size(), 6u) << "no version line without a vendor name";
    EXPECT_EQ(lines[4], "VendorID=3");
    EXPECT_EQ(lines[5], "VendorError=42");
}

// The library stays silent about the table it skips or cannot load; the tool
// names it, since a person put it there and expects it to be read.
TEST_F(ZorvlogWrite, ErrorNamesTheTablesTheSearchSkipsOrCannotLoad) {
    const std::string system = mHome.root() + "/sys/zorv";
    ASSERT_EQ(::mkdir((mHome.root() + "/sys").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(system.c_str(), 0755), 0);
    writeFile(system + "/ZorvErrorCodes.xml", kTestTable);
    const std::string ours = mDir.file("tool.log");
    const std::vector<std::string> error{"error", "--vendor", "3", "--code", "42", ours};

    // Writable by others: passed over, and the search goes on to the next table.
    ASSERT_EQ(::chmod(tablePath().c_str(), 0666), 0);
    CapturedProcess skipped = zorvlog(error);
    ASSERT_EQ(skipped.status, 0) << skipped.err;
    EXPECT_NE(skipped.err.find(tablePath() + " is passed over: it is writable by others"),
              std::string::npos)
        << skipped.err;
    EXPECT_EQ(payloads(ours).at(4), "VendorID=3 [Brakka]");

    // Not well-formed: named with the parser's word, and it hides the good one.
    ::unlink(ours.c_str());
    ASSERT_EQ(::chmod(tablePath().c_str(), 0600), 0);
    writeFile(tablePath(), "<ERRORTABLES><TABLE VENDORID=\"3\">\n</ERRORTABLES>\n");
    CapturedProcess broken = zorvlog(error);
    ASSERT_EQ(broken.status, 0) << broken.err;
    EXPECT_NE(broken.err.find(tablePath() + " cannot be loaded"), std::string::npos) << broken.err;
    EXPECT_NE(broken.err.find("Error reading end tag"), std::string::npos) << broken.err;
    EXPECT_NE(broken.err.find("hides " + system + "/ZorvErrorCodes.xml"), std::string::npos)
        << broken.err;
    EXPECT_EQ(payloads(ours).at(4), "VendorID=3");
}

TEST_F(ZorvlogWrite, ErrorAppendsAfterEarlierRecords) {
    const std::string ours = mDir.file("tool.log");
    writeFile(ours, "1\t2026/12/06\t17:05:09\tReason=earlier\n");
    ASSERT_EQ(zorvlog({"error", "--vendor", "1", "--code", "1", ours}).status, 0);
    ASSERT_EQ(zorvlog({"error", "--vendor", "1", "--code", "2", ours}).status, 0);
    Lines lines = payloads(ours);
    ASSERT_EQ(lines.size(), 13u);
    EXPECT_EQ(lines[0], "Reason=earlier");
    EXPECT_EQ(lines[6], "VendorError=1");
    EXPECT_EQ(lines[12], "VendorError=2");
}

TEST_F(ZorvlogWrite, DebugGoesThroughTheDebugLogger) {
    ScopedEnv on("ZORV_DEBUG_MODE", "0"); // presence counts, not the value
    const std::string file = mHome.zorvDataDir() + "/ZorvDebug.log";
    CapturedProcess run = zorvlog({"debug", "--vendor", "zorvcore", "hello", "world"});
    ASSERT_EQ(run.status, 0) << run.err;
    // ... which a person reading "0" does not expect: said once, on stderr.
    EXPECT_EQ(splitLines(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find("warning: ZORV_DEBUG_MODE=\"0\" switches debug logging on"),
              std::string::npos)
        << run.err;
    ASSERT_EQ(zorvlog({"debug", "--vendor", "6", "--ms", "--", "--not-an-option"}).status, 0);

    const std::string theirs = mDir.file("lib.log");
    ZorvLogger logger(false);
    logger.setLogFileName(theirs.c_str());
    logger.startLogging();
    logger.log(ZorvDebugLog(Zorv::kZorvCore, "hello world"));
    logger.log(ZorvDebugLog(static_cast<Zorv::VendorID>(6), "--not-an-option"));

    EXPECT_EQ(payloads(file), (Lines{"ZorvCore\thello world\t", "None\t--not-an-option\t"}));
    EXPECT_EQ(payloads(file), payloads(theirs));
    auto sect = sections(file);
    EXPECT_EQ(splitFields(sect[0][2], ':').size(), 3u);
    EXPECT_EQ(splitFields(sect[1][2], ':').size(), 4u);
    EXPECT_NE(sect[0][0], sect[1][0]) << "a section of each invocation's own";
}

TEST_F(ZorvlogWrite, DebugToAFileIgnoresTheSwitch) {
    ScopedEnv offLooking("ZORV_DEBUG_MODE", "off");
    const std::string ours = mDir.file("debug.log");
    CapturedProcess run =
        zorvlog({"debug", "--to", ours, "--vendor", "ZorvQet", "two\nlines", "and\ta tab"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "") << "the switch plays no part with --to";
    EXPECT_EQ(readFile(ours).substr(readFile(ours).find("ZorvQet")),
              "ZorvQet\ttwo\nlines and\ta tab\t\n");
    EXPECT_FALSE(fileExists(mHome.zorvDataDir() + "/ZorvDebug.log"));
}

TEST_F(ZorvlogWrite, SwitchedOffLoggersSaySoAndWriteNothing) {
    CapturedProcess debug = zorvlog({"debug", "--vendor", "1", "message"});
    EXPECT_EQ(debug.status, 1);
    EXPECT_NE(debug.err.find("ZORV_DEBUG_MODE"), std::string::npos) << debug.err;
    EXPECT_FALSE(fileExists(mHome.zorvDataDir() + "/ZorvDebug.log"));

    CapturedProcess perf = zorvlog({"perf", "--vendor", "1", "a", "b", "c", "d", "e"});
    EXPECT_EQ(perf.status, 1);
    EXPECT_NE(perf.err.find("ZORV_PERF_LOG"), std::string::npos) << perf.err;
    EXPECT_FALSE(fileExists(mHome.zorvDataDir() + "/ZorvPerfLog.csv"));

    // Each switch turns on its own logger only.
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "");
    EXPECT_EQ(zorvlog({"perf", "--vendor", "1", "a", "b", "c", "d", "e"}).status, 1);
    EXPECT_FALSE(fileExists(mHome.zorvDataDir() + "/ZorvPerfLog.csv"));
}

TEST_F(ZorvlogWrite, PerfRowIsTheLibrarysRow) {
    ScopedEnv on("ZORV_PERF_LOG", "1");
    const std::string file = mHome.zorvDataDir() + "/ZorvPerfLog.csv";
    CapturedProcess run =
        zorvlog({"perf", "--vendor", "ZorvLumen", "open", "", "bytes", "4096", ""});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    const std::string theirs = mDir.file("lib.csv");
    ZorvLogger logger(false);
    logger.setLogFileName(theirs.c_str());
    logger.startLogging();
    ZorvPerfLogData data;
    data.mFirst = "open";
    data.mSecond = "";
    data.mThird = "bytes";
    data.mFourth = "4096";
    data.mFifth = "";
    logger.log(ZorvPerfLog(Zorv::kZorvLumen, data));

    const std::string version = zorvUtilVersionString();
    EXPECT_EQ(payloads(file, ','),
              (Lines{"5.10.0-test,testhost," + version + ",open:NA,bytes:4096,ZorvLumen,NA,"}));
    EXPECT_EQ(payloads(file, ','), payloads(theirs, ','));

    // --to writes the same row to a file of our choosing, switch or no switch.
    ScopedEnv off("ZORV_PERF_LOG", nullptr);
    const std::string to = mDir.file("to.csv");
    ASSERT_EQ(
        zorvlog({"perf", "--to", to, "--vendor", "2", "open", "", "bytes", "4096", ""}).status, 0);
    EXPECT_EQ(payloads(to, ','), payloads(theirs, ','));

    // An empty value switches it on as well, and that is said.
    ScopedEnv empty("ZORV_PERF_LOG", "");
    CapturedProcess emptyRun = zorvlog({"perf", "--vendor", "2", "a", "b", "c", "d", "e"});
    EXPECT_EQ(emptyRun.status, 0);
    EXPECT_NE(emptyRun.err.find("warning: ZORV_PERF_LOG=\"\" switches performance logging on"),
              std::string::npos)
        << emptyRun.err;
}

TEST_F(ZorvlogWrite, AFileThatCannotBeOpenedIsReported) {
    const std::string missingDir = mDir.file("no/such/dir/x.log");
    CapturedProcess run = zorvlog({"error", "--vendor", "1", "--code", "1", missingDir});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot open"), std::string::npos) << run.err;
    EXPECT_FALSE(fileExists(mDir.file("no")));

    // A directory in place of the file.
    ::mkdir(mDir.file("adir").c_str(), 0700);
    EXPECT_EQ(zorvlog({"debug", "--vendor", "1", "--to", mDir.file("adir"), "x"}).status, 1);
    EXPECT_EQ(zorvlog({"perf", "--vendor", "1", "--to", mDir.file("adir"), "a", "b", "c", "d", "e"})
                  .status,
              1);

    // Opens fine, takes nothing: only looking at the file afterwards tells.
    if (fileExists("/dev/full")) {
        CapturedProcess full = zorvlog({"debug", "--vendor", "1", "--to", "/dev/full", "x"});
        EXPECT_EQ(full.status, 1);
        EXPECT_NE(full.err.find("did not reach"), std::string::npos) << full.err;
    }

    // The debug logger's own directory replaced by a file: it cannot write.
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ScopedEnv data("XDG_DATA_HOME", mDir.file("blocked").c_str());
    writeFile(mDir.file("blocked"), "not a directory");
    CapturedProcess blocked = zorvlog({"debug", "--vendor", "1", "x"});
    EXPECT_EQ(blocked.status, 1) << blocked.err;
    EXPECT_EQ(readFile(mDir.file("blocked")), "not a directory");
}

// Another user's link anywhere on the way is refused with its reason, before
// anything is written; the writer's own link leads.
TEST_F(ZorvlogWrite, AnotherUsersLinkOnTheWayIsRefusedAndSaidSo) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link away";
    }
    ::mkdir(mDir.file("real").c_str(), 0700);
    writeFile(mDir.file("real/app.log"), "precious\n");
    ASSERT_EQ(::symlink(mDir.file("real").c_str(), mDir.file("sub").c_str()), 0);
    ASSERT_EQ(::lchown(mDir.file("sub").c_str(), 61001, 61001), 0);
    CapturedProcess run =
        zorvlog({"debug", "--vendor", "1", "--to", mDir.file("sub/app.log"), "x"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is a link that belongs to uid 61001"), std::string::npos) << run.err;
    EXPECT_EQ(readFile(mDir.file("real/app.log")), "precious\n");
    ASSERT_EQ(::lchown(mDir.file("sub").c_str(), 0, 0), 0);
    EXPECT_EQ(zorvlog({"debug", "--vendor", "1", "--to", mDir.file("sub/app.log"), "x"}).status, 0);
    EXPECT_EQ(splitLines(readFile(mDir.file("real/app.log"))).size(), 2u);
}

TEST_F(ZorvlogWrite, NoLocalDataDirectoryMeansNoDebugFile) {
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ScopedEnv noData("XDG_DATA_HOME", nullptr);
    ScopedEnv noHome("HOME", nullptr);
    CapturedProcess run = zorvlog({"debug", "--vendor", "1", "x"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no log file"), std::string::npos) << run.err;
}

// A data directory the directory policy refuses: said once, with the path and
// the reason, and nothing is made there. Other directories are the caller's.
TEST_F(ZorvlogWrite, ARefusedDataDirectoryIsReportedOnceAndLeftAlone) {
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "1");
    ScopedEnv perfOn("ZORV_PERF_LOG", "1");
    const std::string dir = mHome.zorvDataDir();
    auto expectRefused = [&](const std::vector<std::string>& args, const std::string& file,
                             const std::string& reason) {
        CapturedProcess run = zorvlog(args);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(splitLines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find("directory " + dir + " " + reason), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("nothing was written to '" + dir + "/" + file), std::string::npos)
            << run.err;
        EXPECT_FALSE(fileExists(dir + "/" + file)) << file;
    };
    auto expectAllRefused = [&](const std::string& reason) {
        expectRefused({"debug", "--vendor", "1", "x"}, "ZorvDebug.log", reason);
        expectRefused({"perf", "--vendor", "1", "a", "b", "c", "d", "e"}, "ZorvPerfLog.csv",
                      reason);
        expectRefused({"error", "--vendor", "1", "--code", "1", dir + "/QET.log"}, "QET.log",
                      reason);
    };
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    expectAllRefused("is writable by others");
    const std::string open = mDir.file("open");
    ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    EXPECT_EQ(zorvlog({"error", "--vendor", "1", "--code", "1", open + "/x.log"}).status, 0);

    if (::geteuid() == 0) {
        ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
        ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        expectAllRefused("is owned by uid 65534");
    }
}

// Bad command lines: status 2, a message, and nothing written anywhere.
TEST_F(ZorvlogWrite, BadArgumentsWriteNothing) {
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "1");
    ScopedEnv perfOn("ZORV_PERF_LOG", "1");
    const std::string log = mDir.file("x.log");
    const std::vector<std::vector<std::string>> cases{
        {},
        {"frobnicate"},
        {"error", "--code", "1", log},
        {"error", "--vendor", "Nobody", "--code", "1", log},
        {"error", "--vendor", "1", log},
        {"error", "--vendor", "1", "--code", "abc", log},
        {"error", "--vendor", "1", "--code", "99999999999", log},
        {"error", "--vendor", "1", "--code", "1", "--line", "1.5", log},
        {"error", "--vendor", "1", "--code", "1"},
        {"error", "--vendor", "1", "--code", "1", log, log},
        {"error", "--vendor", "1", "--vendor", "2", "--code", "1", log},
        {"error", "--vendor", "1", "--code", "1", "--colour", log},
        {"error", "--vendor", "1", "--code", "1", "--ms=yes", log},
        {"error", "--vendor", "1", "--code", "1", log, "--file"},
        {"debug", "--vendor", "1"},
        {"debug", "--vendor", "ZorvCor", "message"},
        {"debug", "--vendor", "1", "--to", "", "message"},
        {"debug", "message"},
        {"perf", "--vendor", "1", "a", "b", "c", "d"},
        {"perf", "--vendor", "1", "a", "b", "c", "d", "e", "f"},
        {"perf", "--to", log, "--vendor", "none-such", "a", "b", "c", "d", "e"},
        {"check-table", "a.xml", "b.xml"},
        {"check-table", "--strict"},
        {"parse", "--yaml"},
        {"status", "extra"},
        {"status", "--yaml"},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args) {
            shown += ".at(" + a + ")";
        }
        CapturedProcess run = zorvlog(args);
        EXPECT_EQ(run.status, 2) << shown << "\n" << run.out << run.err;
        EXPECT_FALSE(run.err.empty()) << shown;
        EXPECT_FALSE(fileExists(log)) << shown;
        EXPECT_FALSE(fileExists(mHome.zorvDataDir() + "/ZorvDebug.log")) << shown;
        EXPECT_FALSE(fileExists(mHome.zorvDataDir() + "/ZorvPerfLog.csv")) << shown;
    }
}

// Each command's help, and each option it names (in its usage lines and as
// an option's entry) an entry of its own in that command's part of the
// manual page, as a reader finds it.
TEST_F(ZorvlogWrite, EveryCommandHasHelp) {
    const std::string page =
        runCaptured({"sh", "-c", "mandoc -T ascii -O width=300 \"$0\" | col -b", ZORVLOG_MANPAGE})
            .out;
    static const std::regex option(R"((^|[ [|])(--?[A-Za-z][A-Za-z-]*))");
    for (const char* command :
         {"error", "debug", "perf", "check-table", "parse", "follow", "status"}) {
        CapturedProcess run = zorvlog({command, "--help"});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(run.out.rfind(std::string("Usage: zorvlog ") + command, 0), 0u) << run.out;
        const std::size_t from = page.find(std::string("\n   zorvlog ") + command + "\n");
        if (std::string(ZORVLOG_MANPAGE).empty()) {
            continue; // a build without the page
        }
        ASSERT_NE(from, std::string::npos) << command << " in\n" << page;
        const std::string part = page.substr(from, page.find("\n   zorvlog ", from + 1) - from);
        bool usage = true;
        for (const std::string& line : splitLines(run.out)) {
            usage = usage && !line.empty();
            const std::string named = usage ? line
                                      : line.rfind("  -", 0) == 0
                                          ? line.substr(0, line.find("  ", 2))
                                          : "";
            for (auto it = std::sregex_iterator(named.begin(), named.end(), option);
                 it != std::sregex_iterator(); ++it) {
                const std::string entry = "\n +(-[A-Za-z], )?" + (*it)[2].str() + "([ ,=]|\n)";
                EXPECT_TRUE(std::regex_search(part, std::regex(entry)))
                    << command << ": " << (*it)[2] << " in\n"
                    << part;
            }
        }
    }
    CapturedProcess top = zorvlog({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("check-table"), std::string::npos);
    // After "--" a "--help" is a message, not a request for help.
    const std::string log = mDir.file("h.log");
    ASSERT_EQ(zorvlog({"debug", "--vendor", "1", "--to", log, "--", "--help"}).status, 0);
    EXPECT_EQ(payloads(log), (Lines{"ZorvCore\t--help\t"}));
}

// Several tools writing to one file at once: each record stays in one piece,
// as the library's named mutex promises, and parse finds every one of them.
TEST_F(ZorvlogWrite, ConcurrentWritersKeepRecordsWhole) {
    const std::string log = mDir.file("shared.log");
    const int kWriters = 6;
    std::vector<std::thread> threads;
    std::vector<int> statuses(kWriters, -1);
    for (int i = 0; i < kWriters; ++i) {
        threads.emplace_back([&, i] {
            statuses[i] = zorvlog({"error", "--vendor", "3", "--code", std::to_string(100 + i),
                                   "--vendor-version", "v" + std::to_string(i), log})
                              .status;
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int status : statuses) {
        EXPECT_EQ(status, 0);
    }
    auto sect = sections(log);
    Lines lines = payloads(log);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(7 * kWriters));
    for (int r = 0; r < kWriters; ++r) {
        for (int k = 1; k < 7; ++k) {
            EXPECT_EQ(sect[r * 7 + k], sect[r * 7]) << "record " << r << " is interleaved";
        }
        EXPECT_EQ(lines[r * 7], "Reason=Fatal error");
    }
    CapturedProcess parsed = zorvlog({"parse", "--json", log});
    ASSERT_EQ(parsed.status, 0);
    Lines objects = splitLines(parsed.out);
    ASSERT_EQ(objects.size(), static_cast<std::size_t>(kWriters));
    for (const std::string& object : objects) {
        EXPECT_EQ(nlohmann::json::parse(object).at("kind").get<std::string>(), "error");
    }
}

// A setgid client (secure execution) trusts nothing its caller's environment
// says: "uname" comes from /usr/bin:/bin, not from the caller's PATH; the
// logging switches and ZORV_LOCK_DIR are not read.
TEST_F(ZorvlogWrite, ASetgidClientTrustsNoneOfItsCallersVariables) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a setgid program and run it as another user";
    }
    constexpr int kCaller = 61003;
    TempDir bin, out;
    const std::string tool = bin.file("zorvlog");
    ASSERT_EQ(runProcess({"cp", ZORVLOG_EXE, tool}), 0);
    ASSERT_EQ(::chown(tool.c_str(), 0, 61000), 0);
    ASSERT_EQ(::chmod(tool.c_str(), 02755), 0);
    ASSERT_EQ(::chmod(bin.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(out.path().c_str(), 01777), 0);
    // The caller may run the stand-in uname that comes first on PATH.
    const std::string path = ::getenv("PATH");
    ASSERT_EQ(::chmod(path.substr(0, path.find(':')).c_str(), 0755), 0);
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ScopedEnv data("XDG_DATA_HOME", out.path().c_str());
    ScopedEnv shm("ZORV_LOCK_DIR", out.file("locks").c_str());
    auto asCaller = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(kCaller),
                                   "--regid=" + std::to_string(kCaller), "--clear-groups", tool});
        return runCaptured(args);
    };
    const std::string log = out.file("error.log");
    CapturedProcess error = asCaller({"error", "--vendor", "3", "--code", "42", log});
    CapturedProcess debug = asCaller({"debug", "--vendor", "1", "x"});
    runProcess({"rm", "-rf", "/dev/shm/zorv-" + std::to_string(kCaller)});
    // (Exit statuses are not compared: a sanitized build cannot read its
    // options in a setgid process, and its leak check fails there.)
    const std::vector<std::string> lines = payloads(log);
    ASSERT_GE(lines.size(), 2u) << error.err;
    EXPECT_NE(lines[1], "ComputerName=testhost") << "uname taken from the caller's PATH";
    EXPECT_NE(debug.err.find("debug logging is switched off"), std::string::npos) << debug.err;
    EXPECT_FALSE(fileExists(out.file("zorv/ZorvDebug.log")));
    EXPECT_FALSE(fileExists(out.file("locks"))) << "ZORV_LOCK_DIR was read";
}

} // namespace
} // namespace zorvtest
