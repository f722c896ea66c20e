// The shipped agent and central configurations in the real daemons on
// 127.0.0.1, under writers of the library and rotations by the shipped
// logrotate snippet: the central file must be the agent's file, byte for
// byte. Other settings are measured on request
// (--gtest_also_run_disabled_tests).

#include "OpsSupport.h"
#include "support/CapturedProcess.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <glob.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Daemon = std::unique_ptr<ops::Daemon>;
// Regular expressions and what replaces them.
using Rewrites = std::vector<std::pair<std::string, std::string>>;

// A setting measured against the shipped one: rewrites of the shipped
// agent's and central side's files.
struct Setting {
    const char* name;
    Rewrites agent;
    Rewrites central;
};

std::string rewritten(std::string text, const Rewrites& rewrites) {
    for (const auto& rewrite : rewrites) {
        const std::regex pattern(rewrite.first);
        EXPECT_TRUE(std::regex_search(text, pattern))
            << "not in the shipped file: " << rewrite.first;
        text = std::regex_replace(text, pattern, rewrite.second);
    }
    return text;
}

std::string nameOf(const ::testing::TestParamInfo<Setting>& info) {
    return info.param.name;
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
    ops::Writers writers(file, count, 10 * ops::scale(), pauseMs);
    rotations =
        ops::writeWithRotations(file, ops::serviceRotation(file), writers, rotations, minGapMs);
    std::string sent;
    for (const std::string& f : ops::rotatedFiles(file, nullptr)) {
        sent += ops::readLog(f);
    }
    std::string received;
    ops::waitFor(
        [&] {
            received = zorvtest::readFile(receivedFile(receivedPattern));
            return received.size() >= sent.size();
        },
        30000);
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

class LongOpsRsyslog : public ::testing::TestWithParam<Setting> {};

TEST_P(LongOpsRsyslog, AgentAndCentralDeliverTheRawFileByteForByte) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the writers run as nobody, logrotate as root with su";
    }
    ops::OpsHome home;
    const std::string file = home.logDir() + "/zorv-service.log";
    const std::string port = std::to_string(ops::freePort());
    Daemon central = rsyslogd(
        home.path("central"),
        rewritten(ops::edited(ops::shipped("rsyslog/zorv-central.conf"),
                              {{"port=\"514\"", "port=\"" + port + "\" address=\"127.0.0.1\""},
                               {"/var/log/zorv-central", home.path("received")}}),
                  GetParam().central));
    ASSERT_TRUE(ops::accepting(std::stoi(port), 10000))
        << zorvtest::readFile(home.path("central/output"));
    Daemon agent = rsyslogd(home.path("agent"),
                            rewritten(ops::edited(ops::shipped("rsyslog/zorv-agent.conf"),
                                                  {{"/var/log/zorv-service/zorv-service.log", file},
                                                   {"logs.example.org", "127.0.0.1"},
                                                   {"port=\"514\"", "port=\"" + port + "\""}}),
                                      GetParam().agent));
    shipAndCompare(file, home.path("received/*/zorv.log"), 100 * ops::scale(), 0,
                   ops::rotations(20), 0);
}

const char kGlobal[] = R"(global\([^)]*\)\n)";
const char kEndPattern[] = R"(endmsg\.regex="([^"\\]|\\.)*")";

INSTANTIATE_TEST_SUITE_P(Safe, LongOpsRsyslog, ::testing::Values(Setting{"Shipped", {}, {}}),
                         nameOf);
INSTANTIATE_TEST_SUITE_P(
    DISABLED_Unsafe, LongOpsRsyslog,
    ::testing::Values(
        Setting{"Defaults",
                {{kGlobal, ""},
                 {R"(\n *(escapeLF="off"|readTimeout="2"))", ""},
                 {kEndPattern, ""},
                 {R"(TCP_Framing="octet-counted" template="zorvRfc5424")", ""}},
                {{kGlobal, ""}, {R"( maxFrameSize="[0-9]+")", ""}}},
        Setting{"StartPattern", {{kEndPattern, R"(startmsg.regex="^[0-9]+\t[0-9]{4}/")"}}, {}}),
    nameOf);

// syslog-ng's file() looks for a new file once a second (follow-freq): a
// file renamed away twice within that second is never read. Rotations are
// days apart in service; here they are seconds apart.
class LongOpsSyslogNg : public ::testing::TestWithParam<Setting> {};

TEST_P(LongOpsSyslogNg, AgentAndCentralDeliverTheRawFileByteForByte) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: the writers run as nobody, logrotate as root with su";
    }
    const zorvtest::CapturedProcess unpacked =
        zorvtest::runCaptured({SYSLOG_NG_UNPACK, SYSLOG_NG_ROOT});
    if (unpacked.status != 0) {
        GTEST_SKIP() << "syslog-ng could not be unpacked: " << unpacked.err;
    }
    ops::OpsHome home;
    const std::string file = home.logDir() + "/zorv-service.log";
    const std::string port = std::to_string(ops::freePort());
    Daemon central =
        syslogNg(home.path("central"),
                 rewritten(ops::edited(ops::shipped("syslog-ng/zorv-central.conf"),
                                       {{"port(514)", "ip(\"127.0.0.1\") port(" + port + ")"},
                                        {"/var/log/zorv-central", home.path("received")}}),
                           GetParam().central));
    ASSERT_TRUE(ops::accepting(std::stoi(port), 10000))
        << zorvtest::readFile(home.path("central/output"));
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
                         nameOf);
INSTANTIATE_TEST_SUITE_P(
    DISABLED_Unsafe, LongOpsSyslogNg,
    ::testing::Values(Setting{"PrefixOnly",
                              {{R"(multi-line-mode\(prefix-suffix\))", "multi-line-mode(regexp)"},
                               {R"(\n *multi-line-suffix\("([^"\\]|\\.)*"\))", ""}},
                              {}},
                      Setting{"WildcardFile",
                              {{R"re(file\("([^"]*)/([^"/]*)")re",
                                R"re(wildcard-file(base-dir("$1") filename-pattern("$2"))re"}},
                              {}}),
    nameOf);

} // namespace
