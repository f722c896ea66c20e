// zorvlog follow --relp against the real rsyslogd and its imrelp module, set
// up from the shipped central configuration: the collector restarted,
// killed and stopped under a stream of records, the follower killed, a
// record of 15 MiB, TLS with the right and a wrong authority.
#include "OpsSupport.h"
#include "follow/LogFollow.h"
#include "support/CapturedProcess.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zorvtest {
namespace {

class LongRelp : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/usr/lib/x86_64-linux-gnu/rsyslog/imrelp.so", R_OK) != 0) {
            GTEST_SKIP() << "no rsyslog imrelp module here";
        }
        ASSERT_EQ(::mkdir(mCentral.c_str(), 0700), 0);
    }
    void TearDown() override {
        if (mFollower > 0) {
            ::kill(mFollower, SIGKILL);
            waitProcess(mFollower);
        }
    }

    // An authority (name.pem) and, with collector, the collector's key and
    // certificate for 127.0.0.1 and a follower's (client-*.pem), signed by it.
    void makeAuthority(const std::string& name, bool collector) {
        const std::string ec = "ec_paramgen_curve:prime256v1", ca = mDir.file(name);
        auto run = [](const std::vector<std::string>& argv) {
            const CapturedProcess run = runCaptured(argv);
            EXPECT_EQ(run.status, 0) << run.err;
        };
        run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
             ca + ".key", "-out", ca + ".pem", "-days", "2", "-subj", "/CN=" + name});
        for (const std::string& holder : {mCentral + "/relp", mDir.file("client")}) {
            if (collector) {
                run({"openssl", "req", "-newkey", "ec", "-pkeyopt", ec, "-nodes", "-keyout",
                     holder + "-key.pem", "-out", holder + ".csr", "-subj", "/CN=zorv", "-addext",
                     "subjectAltName=IP:127.0.0.1"});
                run({"openssl", "x509", "-req", "-in", holder + ".csr", "-CA", ca + ".pem",
                     "-CAkey", ca + ".key", "-out", holder + "-cert.pem", "-days", "2",
                     "-copy_extensions", "copyall"});
            }
        }
        run({"cp", ca + ".pem", mCentral + "/relp-ca.pem"});
    }

    // TLS with the library given, else plain TCP.
    void startCentral(const std::string& tls = "") {
        mRsyslogd.reset();
        const ops::Edits edits{{"/var/log/zorv-central/%fromhost:::secpath-replace%", mCentral},
                               {"/etc/zorv-central", mCentral},
                               {"port=\"2514\"", "port=\"" + mPort + "\" address=\"127.0.0.1\""},
                               {"tls=\"on\"", tls.empty() ? "tls=\"off\"" : "tls=\"on\""},
                               {"\"gnutls\"", "\"" + (tls.empty() ? "gnutls" : tls) + "\""}};
        writeFile(mCentral + "/rsyslog.conf",
                  "global(workDirectory=\"" + mCentral + "\")\n" +
                      ops::edited(ops::shipped("rsyslog/zorv-relp-central.conf"), edits));
        mRsyslogd = std::make_unique<ChildProcess>(
            std::vector<std::string>{"rsyslogd", "-n", "-f", mCentral + "/rsyslog.conf", "-i",
                                     mCentral + "/pid"},
            ChildSetup{mCentral + "/output"});
        ASSERT_TRUE(ops::accepting(std::stoi(mPort)));
    }

    // follow --relp to the collector, or the command line argv.
    void startFollower(std::vector<std::string> argv = {}) {
        if (argv.empty()) {
            argv = {ZORVLOG_EXE, "follow",           "--relp", "127.0.0.1:" + mPort,
                    "--state",   mDir.file("state"), mLog};
        }
        const int err =
            ::open(mDir.file("follow.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        mFollower = spawnProcess(argv, -1, -1, err);
        ::close(err);
    }
    int stopFollower(int sig) {
        ::kill(mFollower, sig);
        const int status = waitProcess(mFollower);
        mFollower = -1;
        return status;
    }

    // The lines the collector wrote, and how often each record ("record N"
    // of its line) came under each key, once count records are there.
    std::map<std::string, std::map<std::string, int>> received(std::size_t count) {
        std::map<std::string, std::map<std::string, int>> records;
        EXPECT_TRUE(eventually([&] {
            records.clear();
            // Up to the last line break: the collector may be writing the next line.
            std::string text = readFile(mCentral + "/zorv-follow.jsonl");
            text.resize(text.rfind('\n') + 1);
            for (const std::string& line : splitLines(text)) {
                const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
                if (entry.is_discarded()) {
                    ++records["damaged: " + line][""];
                    continue;
                }
                ++records[entry.value("reason", entry.value("message", line))][entry.at("key")];
            }
            if (records.size() < count) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return records.size() >= count;
        })) << records.size()
            << " of " << count << "; follower: " << readFile(mDir.file("follow.err"));
        return records;
    }

    TempDir mDir;
    ScopedEnv mHome{"HOME", mDir.path().c_str()};
    ScopedEnv mData{"XDG_DATA_HOME", mDir.path().c_str()};
    ScopedEnv mState{"XDG_STATE_HOME", mDir.path().c_str()};
    ScopedEnv mRuntime{"XDG_RUNTIME_DIR", mDir.path().c_str()};
    std::string mLog = mDir.file("a.log"), mCentral = mDir.file("central");
    std::string mPort = std::to_string(ops::freePort());
    std::unique_ptr<ChildProcess> mRsyslogd;
    pid_t mFollower = -1;
};

// 10,000 records while the collector is restarted twice, killed once and
// stopped for 5 s, and the follower is killed once: every record arrives,
// under one key, and each interruption repeats at most one window (a
// batch).
TEST_F(LongRelp, EveryRecordArrivesOnceThroughRestartsKillsAndAStop) {
    startCentral();
    startFollower();
    const std::vector<std::function<void()>> interruptions{
        [&] {
            mRsyslogd->kill(SIGTERM);
            mRsyslogd->wait();
            startCentral();
        },
        [&] {
            mRsyslogd->kill(SIGKILL);
            mRsyslogd->wait();
            startCentral();
        },
        [&] {
            // The collector's stop is the event under test: it lasts 5 s.
            ::kill(mRsyslogd->pid(), SIGSTOP);
            ops::appendRecords(mLog, 100001, 500);
            // A follower ends on SIGTERM whatever the collector does.
            EXPECT_EQ(stopFollower(SIGTERM), 0);
            startFollower();
            std::this_thread::sleep_for(std::chrono::seconds(5));
            ::kill(mRsyslogd->pid(), SIGCONT);
        },
        [&] {
            EXPECT_EQ(stopFollower(SIGKILL), 128 + SIGKILL);
            startFollower();
        },
        [&] {
            mRsyslogd->kill(SIGTERM);
            mRsyslogd->wait();
            startCentral();
        }};
    std::size_t sent = 0;
    for (const auto& interrupt : interruptions) {
        ops::appendRecords(mLog, static_cast<int>(sent) + 1, 1900);
        sent += 1900;
        received(sent - 1000);
        interrupt();
    }
    const auto records = received(10000);
    std::size_t repeats = 0;
    for (const auto& record : records) {
        EXPECT_EQ(record.second.size(), 1u) << record.first << " under several keys";
        repeats += static_cast<std::size_t>(record.second.begin()->second - 1);
    }
    std::printf("follow --relp through 5 interruptions: %zu records, %zu repeated\n",
                records.size(), repeats);
    EXPECT_EQ(records.size(), 10000u);
    EXPECT_LE(repeats, interruptions.size() * zorvlog::LogFollow::kBatchRecords);
    EXPECT_EQ(stopFollower(SIGTERM), 0);
}

// A record of 15 MiB arrives whole, and every line the collector wrote is
// the line follow --json prints for its record, byte for byte.
TEST_F(LongRelp, EachLineAsJsonPrintsItAFifteenMebibyteRecordWhole) {
    startCentral();
    ops::appendRecords(mLog, 1, 8);
    ops::append(mLog, "4711\t2026/12/06\t17:05:09:250\tZorvCore\trecord 9 " +
                          std::string(15 << 20, 'x') + "\t\n");
    ops::appendRecords(mLog, 10, 3);
    startFollower();
    received(12);
    const int out = ::open(mDir.file("json").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t json = spawnProcess(
        {ZORVLOG_EXE, "follow", "--json", "--state", mDir.file("json-state"), mLog}, -1, out);
    ::close(out);
    ASSERT_TRUE(eventually([&] { return splitLines(readFile(mDir.file("json"))).size() == 12; }));
    ::kill(json, SIGTERM);
    EXPECT_EQ(waitProcess(json), 0);
    EXPECT_TRUE(readFile(mDir.file("json")) == readFile(mCentral + "/zorv-follow.jsonl"));
    EXPECT_EQ(stopFollower(SIGTERM), 0);
}

// The shipped unit's follower, to a collector on GnuTLS and on OpenSSL: one
// whose certificate another authority signed is refused, and nothing is
// sent; with the authority that signed it, records arrive.
TEST_F(LongRelp, TlsOnlyWithTheAuthorityThatSignedTheCollector) {
    makeAuthority("wrong", false);
    makeAuthority("right", true);
    ops::appendRecords(mLog, 1, 100);
    // The shipped unit's command, with this test's places.
    auto unit = [&](const std::string& authority, const std::string& state) {
        std::string command = ops::shipped("systemd/zorv-follow-relp.service");
        command = command.substr(command.find("ExecStart=") + 10);
        return splitFields(
            ops::edited(command.substr(0, command.find('\n')),
                        {{INSTALLED_ZORVLOG, ZORVLOG_EXE},
                         {"logs.example.org:2514", "127.0.0.1:" + mPort},
                         {"/etc/zorv/relp-ca.pem", mDir.file(authority + ".pem")},
                         {"/etc/zorv/relp-cert.pem", mDir.file("client-cert.pem")},
                         {"${CREDENTIALS_DIRECTORY}/relp-key.pem", mDir.file("client-key.pem")},
                         {"${STATE_DIRECTORY}/zorv-service.state", mDir.file(state)},
                         {"/var/log/zorv-service/zorv-service.log", mLog}}),
            ' ');
    };
    for (const char* library : {"gnutls", "openssl"}) {
        SCOPED_TRACE(std::string("the collector's TLS library: ") + library);
        startCentral(library);
        startFollower(unit("wrong", library));
        EXPECT_EQ(waitProcess(mFollower), 1);
        mFollower = -1;
        EXPECT_NE(readFile(mDir.file("follow.err")).find("certificate"), std::string::npos)
            << readFile(mDir.file("follow.err"));
        EXPECT_NE(::access((mCentral + "/zorv-follow.jsonl").c_str(), F_OK), 0);
        startFollower(unit("right", library));
        EXPECT_EQ(received(100).size(), 100u);
        EXPECT_EQ(stopFollower(SIGTERM), 0);
        ::unlink((mCentral + "/zorv-follow.jsonl").c_str());
    }
}

} // namespace
} // namespace zorvtest
