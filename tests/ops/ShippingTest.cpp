// The shipped agent and central configurations in the real daemons on
// 127.0.0.1, under writers of the library and rotations by the shipped
// logrotate snippet: the central file must be the agent's file, byte for
// byte. The settings the shipped files warn against are measured by
// bench/ops/unsafe-settings.sh.

#include "OpsSettings.h"
#include "OpsSupport.h"
#include "support/CapturedProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <glob.h>
#include <ostream>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Daemon = std::unique_ptr<ops::Daemon>;
using ops::LongOpsRsyslog;
using ops::LongOpsSyslogNg;
using ops::Rewrites;
using Setting = ops::ShippingSetting;

std::string rewritten(std::string text, const Rewrites& rewrites) {
    for (const auto& rewrite : rewrites) {
        const std::regex pattern(rewrite.first);
        EXPECT_TRUE(std::regex_search(text, pattern))
            << "not in the shipped file: " << rewrite.first;
        text = std::regex_replace(text, pattern, rewrite.second);
    }
    return text;
}

// The one file a central side wrote for the one host sending to it.
std::string receivedFile(const std::string& pattern) {
    glob_t found{};
    std::string path;
    if (::glob(pattern.c_str(), 0, nullptr, &found) == 0 && found.gl_pathc == 1) {
        path = found.gl_pathv[0];
    }
    ::globfree(&found);
    return path;
}

// Writes records to the agent's file with rotations between them, then
// waits for the central side to hold as many bytes as the rotated files do
// and compares; a setting other than the shipped one is only measured.
void shipAndCompare(const std::string& file, const std::string& receivedPattern, long count,
                    int pauseMs, int rotations, int minGapMs) {
    // About twenty records of 250,000 bytes whatever the scale.
    ops::Writers writers(file, count, rotations, 10 * ops::scale(), pauseMs);
    rotations = ops::writeWithRotations(file, ops::serviceRotation(file), writers, minGapMs);
    std::string sent;
    for (const std::string& f : ops::rotatedFiles(file, nullptr)) {
        sent += ops::readLog(f);
    }
    std::string received;
    zorvtest::eventually([&] {
        received = zorvtest::readFile(receivedFile(receivedPattern));
        return received.size() >= sent.size();
    });
    const ops::Loss loss = ops::lossOf(ops::tally(received), count);
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::printf("[ stats    ] %s: %ld records, %d rotations, %zu bytes: %ld lost, %ld doubled, "
                "%ld not whole on arrival, %zu bytes arrived\n",
                name.c_str(), writers.records(), rotations, sent.size(), loss.lost, loss.doubled,
                loss.bad, received.size());
    EXPECT_FALSE(received.empty());
    if (name.find("/Shipped") != std::string::npos) {
        EXPECT_EQ(loss.lost + loss.doubled + loss.bad, 0) << loss.first;
        EXPECT_TRUE(received == sent)
            << "received " << received.size() << " bytes of " << sent.size();
    }
}

// rsyslogd in the foreground, its work directory, pid file and output in dir.
Daemon rsyslogd(const std::string& dir, const std::string& config) {
    ::mkdir(dir.c_str(), 0700);
    zorvtest::writeFile(dir + "/rsyslog.conf", "global(workDirectory=\"" + dir + "\")\n" + config);
    return std::make_unique<ops::Daemon>(
        std::vector<std::string>{"rsyslogd", "-n", "-f", dir + "/rsyslog.conf", "-i", dir + "/pid"},
        dir + "/output");
}

// The shipped central rsyslog on 127.0.0.1:port, writing into received/.
Daemon rsyslogCentral(const ops::OpsHome& home, const std::string& port, const Rewrites& rewrites) {
    return rsyslogd(
        home.path("central"),
        rewritten(ops::edited(ops::shipped("rsyslog/zorv-central.conf"),
                              {{"port=\"514\"", "port=\"" + port + "\" address=\"127.0.0.1\""},
                               {"/var/log/zorv-central", home.path("received")}}),
                  rewrites));
}

// syslog-ng, unpacked into the build tree, in the foreground likewise.
Daemon syslogNg(const std::string& dir, const std::string& config) {
    ::mkdir(dir.c_str(), 0700);
    zorvtest::writeFile(dir + "/syslog-ng.conf", "@version: 3.38\n" + config);
    return std::make_unique<ops::Daemon>(
        std::vector<std::string>{std::string(SYSLOG_NG_ROOT) + "/syslog-ng", "-F", "-f",
                                 dir + "/syslog-ng.conf", "-p", dir + "/pid", "-R",
                                 dir + "/persist", "-c", dir + "/ctl"},
        dir + "/output");
}

// Whether syslog-ng could be unpacked into the build tree; why not when not.
bool syslogNgAvailable(std::string* why) {
    const zorvtest::CapturedProcess unpacked =
        zorvtest::runCaptured({SYSLOG_NG_UNPACK, SYSLOG_NG_ROOT});
    *why = "syslog-ng could not be unpacked: " + unpacked.err;
    return unpacked.status == 0;
}

// The shipped central syslog-ng on 127.0.0.1:port, writing into received/.
Daemon syslogNgCentral(const ops::OpsHome& home, const std::string& port,
                       const Rewrites& rewrites) {
    return syslogNg(home.path("central"),
                    rewritten(ops::edited(ops::shipped("syslog-ng/zorv-central.conf"),
                                          {{"port(514)", "ip(\"127.0.0.1\") port(" + port + ")"},
                                           {"/var/log/zorv-central", home.path("received")}}),
                              rewrites));
}

TEST_P(LongOpsRsyslog, AgentAndCentralDeliverTheRawFileByteForByte) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the writers run as nobody, logrotate as root with su";
    }
    ops::OpsHome home;
    const std::string file = home.logDir() + "/zorv-service.log";
    const std::string port = std::to_string(ops::freePort());
    Daemon central = rsyslogCentral(home, port, GetParam().central);
    ASSERT_TRUE(ops::accepting(std::stoi(port))) << zorvtest::readFile(home.path("central/output"));
    Daemon agent = rsyslogd(home.path("agent"),
                            rewritten(ops::edited(ops::shipped("rsyslog/zorv-agent.conf"),
                                                  {{"/var/log/zorv-service/zorv-service.log", file},
                                                   {"logs.example.org", "127.0.0.1"},
                                                   {"port=\"514\"", "port=\"" + port + "\""}}),
                                      GetParam().agent));
    shipAndCompare(file, home.path("received/*/zorv.log"), 100 * ops::scale(), 0,
                   ops::rotations(20), 0);
}

// The settings the shipped files warn against are measured by bench/ops.
INSTANTIATE_TEST_SUITE_P(Safe, LongOpsRsyslog, ::testing::Values(Setting{"Shipped", {}, {}}),
                         ops::settingName<Setting>);

TEST_P(LongOpsSyslogNg, AgentAndCentralDeliverTheRawFileByteForByte) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the writers run as nobody, logrotate as root with su";
    }
    std::string why;
    if (!syslogNgAvailable(&why)) {
        GTEST_SKIP() << why;
    }
    ops::OpsHome home;
    const std::string file = home.logDir() + "/zorv-service.log";
    const std::string port = std::to_string(ops::freePort());
    Daemon central = syslogNgCentral(home, port, GetParam().central);
    ASSERT_TRUE(ops::accepting(std::stoi(port))) << zorvtest::readFile(home.path("central/output"));
    Daemon agent = syslogNg(home.path("agent"),
                            rewritten(ops::edited(ops::shipped("syslog-ng/zorv-agent.conf"),
                                                  {{"/var/log/zorv-service/zorv-service.log", file},
                                                   {"logs.example.org", "127.0.0.1"},
                                                   {"port(514)", "port(" + port + ")"},
                                                   {"/var/lib/syslog-ng", home.path("agent")}}),
                                      GetParam().agent));
    shipAndCompare(file, home.path("received/*/zorv.log"), 60 * ops::scale(), 150,
                   ops::rotations(static_cast<int>(4 * ops::scale())), 2500);
}

INSTANTIATE_TEST_SUITE_P(Safe, LongOpsSyslogNg, ::testing::Values(Setting{"Shipped", {}, {}}),
                         ops::settingName<Setting>);

// What the configs that read the log file directly (rsyslog's imfile,
// syslog-ng's file()) make of the records contrib/README lists as their
// limits: the messages the central side gets, one test per case and daemon,
// between a debug record before and one after.
struct FileLimit {
    const char* name;
    bool syslogNg;
    const char* lines;                 // written between the two records
    std::vector<const char*> messages; // what arrives, the two records included
};

void PrintTo(const FileLimit& limit, std::ostream* out) {
    *out << limit.name;
}

#define ZORV_S "4711\t2026/12/06\t17:05:09\t"
// An error record's lines after its Reason line, up to its VendorError line.
#define ZORV_ERROR_LINES                                                                           \
    ZORV_S "ComputerName=host1\n" ZORV_S "OS=6.1.0\n" ZORV_S "File=a.cpp,Line=1\n" ZORV_S          \
           "VendorID=3 [Brakka]\n" ZORV_S "VendorError=42 [Disk on fire]\n"
// The same as syslog-ng sends them: every line on its own, but the last.
#define ZORV_ERROR_MESSAGES                                                                        \
    ZORV_S "ComputerName=host1", ZORV_S "OS=6.1.0", ZORV_S "File=a.cpp,Line=1",                    \
        ZORV_S "VendorID=3 [Brakka]"
const char kBefore[] = ZORV_S "ZorvCore\tbefore\t";
const char kAfter[] = ZORV_S "ZorvCore\tafter\t";

class LongOpsFileLimits : public ::testing::TestWithParam<FileLimit> {};

TEST_P(LongOpsFileLimits, CentralSideGets) {
    const FileLimit& limit = GetParam();
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the daemons read the service's log directory";
    }
    std::string why;
    if (limit.syslogNg && !syslogNgAvailable(&why)) {
        GTEST_SKIP() << why;
    }
    ops::OpsHome home;
    const std::string file = home.logDir() + "/zorv-service.log";
    zorvtest::writeFile(file, std::string(kBefore) + "\n" + limit.lines + kAfter + "\n");
    const std::string port = std::to_string(ops::freePort());
    // Each message the central side writes is followed by a line of its own.
    Daemon central =
        limit.syslogNg
            ? syslogNgCentral(
                  home, port,
                  {{R"(template\("\$\{MESSAGE\}\\n"\))", R"(template("${MESSAGE}\n<end>\n"))"}})
            : rsyslogCentral(home, port, {{R"(string="%msg%\\n")", R"(string="%msg%\n<end>\n")"}});
    ASSERT_TRUE(ops::accepting(std::stoi(port))) << zorvtest::readFile(home.path("central/output"));
    const ops::Edits site = {{"/var/log/zorv-service/zorv-service.log", file},
                             {"logs.example.org", "127.0.0.1"}};
    Daemon agent =
        limit.syslogNg
            ? syslogNg(home.path("agent"),
                       ops::edited(ops::shipped("syslog-ng/zorv-agent.conf"),
                                   {site[0],
                                    site[1],
                                    {"port(514)", "port(" + port + ")"},
                                    {"/var/lib/syslog-ng", home.path("agent")}}))
            : rsyslogd(home.path("agent"),
                       ops::edited(ops::shipped("rsyslog/zorv-agent.conf"),
                                   {site[0], site[1], {"port=\"514\"", "port=\"" + port + "\""}}));
    std::string received;
    EXPECT_TRUE(zorvtest::eventually([&] {
        received = zorvtest::readFile(receivedFile(home.path("received/*/zorv.log")));
        return received.find(kAfter) != std::string::npos;
    })) << zorvtest::readFile(home.path("agent/output"));
    std::vector<std::string> messages;
    for (std::size_t at = 0, end; (end = received.find("\n<end>\n", at)) != std::string::npos;
         at = end + 7) {
        messages.push_back(received.substr(at, end - at));
    }
    EXPECT_EQ(messages, std::vector<std::string>(limit.messages.begin(), limit.messages.end()));
}

const FileLimit kFileLimits[] = {
    {"RsyslogValueEndingInATab",
     false,
     ZORV_S "Reason=disk full\t\n" ZORV_ERROR_LINES ZORV_S "Brakka=1.0\n",
     {kBefore, ZORV_S "Reason=disk full\t", ZORV_ERROR_LINES ZORV_S "Brakka=1.0", kAfter}},
    {"SyslogNgValueEndingInATab",
     true,
     ZORV_S "Reason=disk full\t\n" ZORV_ERROR_LINES ZORV_S "Brakka=1.0\n",
     {kBefore, ZORV_S "Reason=disk full\t", ZORV_ERROR_MESSAGES,
      ZORV_S "VendorError=42 [Disk on fire]\n" ZORV_S "Brakka=1.0", kAfter}},
    {"RsyslogLineBreaks",
     false,
     ZORV_S "ZorvCore\tfirst\nsecond\t\n" ZORV_S "ZorvCore\tfirst\t\nsecond\t\n",
     {kBefore, ZORV_S "ZorvCore\tfirst\nsecond\t", ZORV_S "ZorvCore\tfirst\t", "second\t", kAfter}},
    {"SyslogNgLineBreaks",
     true,
     ZORV_S "ZorvCore\tfirst\nsecond\t\n" ZORV_S "ZorvCore\tfirst\t\nsecond\t\n",
     {kBefore, ZORV_S "ZorvCore\tfirst\nsecond\t", ZORV_S "ZorvCore\tfirst\t", "second\t", kAfter}},
    {"RsyslogErrorRecordWithoutVersionLine",
     false,
     ZORV_S "Reason=unversioned\n" ZORV_ERROR_LINES,
     {kBefore, ZORV_S "Reason=unversioned\n" ZORV_ERROR_LINES ZORV_S "ZorvCore\tafter\t"}},
    {"SyslogNgErrorRecordWithoutVersionLine",
     true,
     ZORV_S "Reason=unversioned\n" ZORV_ERROR_LINES,
     {kBefore, ZORV_S "Reason=unversioned", ZORV_ERROR_MESSAGES,
      ZORV_S "VendorError=42 [Disk on fire]\n" ZORV_S "ZorvCore\tafter\t"}},
    {"RsyslogBlankLines",
     false,
     "\n" ZORV_S "ZorvCore\tfirst\n\nsecond\t\n\n",
     {kBefore, ZORV_S "ZorvCore\tfirst\nsecond\t", kAfter}},
    {"SyslogNgBlankLines",
     true,
     "\n" ZORV_S "ZorvCore\tfirst\n\nsecond\t\n\n",
     {kBefore, ZORV_S "ZorvCore\tfirst\nsecond\t", kAfter}},
};

INSTANTIATE_TEST_SUITE_P(Shipped, LongOpsFileLimits, ::testing::ValuesIn(kFileLimits),
                         [](const ::testing::TestParamInfo<FileLimit>& info) {
                             return std::string(info.param.name);
                         });

// Every kind of record through "zorvlog follow --json", as the shipped files
// run it: into logger to the central rsyslog, or from syslog-ng's program()
// source to the central syslog-ng.
class LongOpsFollow : public ::testing::TestWithParam<const char*> {};

TEST_P(LongOpsFollow, EveryKindOfRecordArrivesOnceAsOneJsonObject) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the writers run as nobody, logrotate as root with su";
    }
    const bool viaLogger = std::string(GetParam()) == "Logger";
    std::string why;
    if (!viaLogger && !syslogNgAvailable(&why)) {
        GTEST_SKIP() << why;
    }
    ops::OpsHome home;
    const std::string file = home.logDir() + "/zorv-service.log";
    const std::string port = std::to_string(ops::freePort());
    std::vector<Daemon> daemons;
    daemons.push_back(viaLogger ? rsyslogCentral(home, port, {}) : syslogNgCentral(home, port, {}));
    ASSERT_TRUE(ops::accepting(std::stoi(port))) << zorvtest::readFile(home.path("central/output"));

    // A line before any record: a text entry.
    zorvtest::writeFile(file, "left over\n");
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);

    const ops::Edits site = {{INSTALLED_ZORVLOG, ZORVLOG_EXE},
                             {"/var/log/zorv-service/zorv-service.log", file},
                             {"logs.example.org", "127.0.0.1"}};
    if (viaLogger) {
        std::string pipeline = ops::shipped("systemd/zorv-follow-ship.service");
        pipeline = pipeline.substr(pipeline.find("ExecStart=/bin/sh -c '") + 22);
        pipeline =
            ops::edited(ops::edited(pipeline.substr(0, pipeline.find("'\n")), site),
                        {{"\"$STATE_DIRECTORY/zorv-service.state\"", home.path("follow.state")},
                         {"--port 514", "--port " + port}});
        const std::size_t bar = pipeline.find(" | ");
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        daemons.push_back(
            std::make_unique<ops::Daemon>(zorvtest::splitFields(pipeline.substr(0, bar), ' '),
                                          home.path("follow.output"), -1, fds[1]));
        daemons.push_back(
            std::make_unique<ops::Daemon>(zorvtest::splitFields(pipeline.substr(bar + 3), ' '),
                                          home.path("logger.output"), fds[0]));
        ::close(fds[0]);
        ::close(fds[1]);
    } else {
        daemons.push_back(syslogNg(
            home.path("agent"),
            ops::edited(ops::edited(ops::shipped("syslog-ng/zorv-follow-agent.conf"), site),
                        {{"/var/lib/zorv-ship/zorv-service.state", home.path("follow.state")},
                         {"port(514)", "port(" + port + ")"},
                         {"/var/lib/syslog-ng", home.path("agent")}})));
    }

    const long count = 100 * ops::scale();
    ops::Writers writers(file, count, 10, 0, 25);
    const int rotations = ops::writeWithRotations(file, ops::serviceRotation(file), writers, 500);
    // The other kinds, written by zorvlog after the writers.
    const std::vector<std::vector<std::string>> others = {
        {"error", "--vendor", "8", "--code", "3", "--file", "unversioned", file},
        {"error", "--vendor", "42", "--code", "7", "--vendor-version", "1.0", file},
        {"debug", "--vendor", "1", "--to", file, "two\nlines\tand a tab"},
        {"perf", "--vendor", "1", "--to", file, "open", "12", "bytes", "4096", "done"}};
    for (std::vector<std::string> args : others) {
        args.insert(args.begin(), ZORVLOG_EXE);
        EXPECT_EQ(zorvtest::runProcess(args), 0) << args[1];
    }
    std::ofstream(file, std::ios::app) << "4711\t2026/12/06\t17:05:09\talpha=1,beta=2\n";

    const long expected = writers.records() + 6;
    std::string received;
    zorvtest::eventually([&] {
        received = zorvtest::readFile(receivedFile(home.path("received/*/zorv.jsonl")));
        return static_cast<long>(zorvtest::splitLines(received).size()) >= expected;
    });
    const ops::Loss loss = ops::lossOf(ops::tallyJson(received), count);
    std::printf("[ stats    ] %ld records, %d rotations: %ld lost, %ld doubled, %zu objects\n",
                writers.records(), rotations, loss.lost, loss.doubled,
                zorvtest::splitLines(received).size());
    EXPECT_EQ(loss.lost + loss.doubled, 0) << loss.first;
    EXPECT_EQ(static_cast<long>(zorvtest::splitLines(received).size()), expected);

    static const char kEveryKind[] = R"jq(
        def once(f): map(select(f)) | length == 1;
        once(.kind == "text" and .text == "left over" and .timestamp == null)
        and once(.kind == "error" and .file == "unversioned" and .vendorName == "ZorvQet"
                 and .vendorVersion == null and .severity == "err")
        and once(.kind == "error" and .vendorId == 42 and .vendorName == null
                 and .vendorError == 7)
        and once(.kind == "debug" and .message == "two\nlines\tand a tab"
                 and .severity == "debug")
        and once(.kind == "perf" and .first == "open" and .fourth == 4096
                 and .fifth == "done" and .severity == "info")
        and once(.kind == "pairs" and .pairs == [{"key": "alpha", "value": "1"},
                                                {"key": "beta", "value": "2"}]
                 and .severity == "notice" and (.timestamp | startswith("2026-12-06T17:05:09.000")))
        and all(.[]; .source == $log and (.key | test("^[0-9a-f]{16}:[0-9]+$")) and .host != null)
        and (map(.key) | unique | length) == length
        and all(.[] | select(.kind != "text"); .timestamp
                | test("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[.][0-9]{3}[+-][0-9]{2}:[0-9]{2}$")))jq";
    const zorvtest::CapturedProcess checked =
        zorvtest::runCaptured({"jq", "-e", "-s", "--arg", "log", file, kEveryKind}, received);
    EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
}

INSTANTIATE_TEST_SUITE_P(Shipped, LongOpsFollow, ::testing::Values("Logger", "SyslogNgProgram"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

} // namespace
