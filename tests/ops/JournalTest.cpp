// zorvlog follow --journal against the real journald. Without systemd as
// PID 1, each test moves into a mount namespace of its own, lays tmpfs over
// the journal's sockets and files, binds a journald.conf of its own over the
// system's and starts /lib/systemd/systemd-journald directly; the follower
// and journalctl run in that namespace too.
#include "OpsSupport.h"
#include "follow/LogFollow.h"
#include "support/CapturedProcess.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zorvtest {
namespace {

const char* const kSocketDir = "/run/systemd/journal";
const char* const kJournalDir = "/run/log/journal";

using ops::append;
using ops::appendRecords;
using ops::debugRecord;
using ops::errorRecord;

// A field's value: journalctl gives one that is not printable UTF-8 as an
// array of its bytes.
std::string fieldOf(const nlohmann::json& entry, const std::string& name) {
    if (!entry.contains(name)) {
        return "<missing>";
    }
    const nlohmann::json& value = entry[name];
    if (value.is_string()) {
        return value.get<std::string>();
    }
    std::string bytes;
    for (const nlohmann::json& byte : value) {
        bytes += static_cast<char>(byte.get<int>());
    }
    return bytes;
}

int repeatsIn(const std::map<std::string, int>& keys) {
    int repeats = 0;
    for (const auto& entry : keys) {
        repeats += entry.second - 1;
    }
    return repeats;
}

class Journal : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/lib/systemd/systemd-journald", X_OK) != 0) {
            GTEST_SKIP() << "no /lib/systemd/systemd-journald here";
        }
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            GTEST_SKIP() << "no private mount namespace here: " << std::strerror(errno);
        }
        for (const char* dir : {kSocketDir, kJournalDir}) {
            ASSERT_EQ(runCaptured({"mkdir", "-p", dir}).status, 0);
            ASSERT_EQ(::mount("tmpfs", dir, "tmpfs", 0, "mode=0755"), 0) << std::strerror(errno);
        }
        // No rate limit, as the shipped unit has it; files large enough for
        // entries of 16 MiB records.
        writeFile(mDir.file("journald.conf"), "[Journal]\nStorage=volatile\n"
                                              "RateLimitIntervalSec=0\nRuntimeMaxUse=1G\n"
                                              "RuntimeMaxFileSize=256M\n");
        ASSERT_EQ(::mount(mDir.file("journald.conf").c_str(), "/etc/systemd/journald.conf", nullptr,
                          MS_BIND, nullptr),
                  0)
            << std::strerror(errno);
        startJournald();
    }
    void TearDown() override {
        if (mFollower > 0) {
            ::kill(mFollower, SIGKILL);
            waitProcess(mFollower);
        }
        mJournald.reset();
        for (const char* path : {"/etc/systemd/journald.conf", kSocketDir, kJournalDir}) {
            ::umount2(path, MNT_DETACH);
        }
    }

    // journald is ready once its socket is there (a datagram sent before it
    // reads waits in the socket's queue).
    void startJournald() {
        ::unlink((std::string(kSocketDir) + "/socket").c_str());
        mJournald = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/lib/systemd/systemd-journald"},
            ChildSetup{mDir.file("journald.out")});
        ASSERT_TRUE(eventually(
            [] { return ::access((std::string(kSocketDir) + "/socket").c_str(), F_OK) == 0; }));
    }

    void startFollower() {
        const std::vector<std::string> argv{ZORVLOG_EXE, "follow",           "--journal",
                                            "--state",   mDir.file("state"), mLog};
        const int err =
            ::open(mDir.file("follow.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        mFollower = spawnProcess(argv, -1, -1, err);
        ::close(err);
    }
    int stopFollower(int sig = SIGTERM) {
        ::kill(mFollower, sig);
        const int status = waitProcess(mFollower);
        mFollower = -1;
        return status;
    }

    // Our entries in the journal (or the one in directory), in the order
    // journald stored them.
    std::vector<nlohmann::json> entries(const std::vector<std::string>& matches = {},
                                        const std::vector<std::string>& options = {},
                                        const std::string& directory = kJournalDir) {
        std::vector<std::string> argv{"journalctl", "--directory", directory,
                                      "-o",         "json",        "--no-pager"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), matches.begin(), matches.end());
        const CapturedProcess run = runCaptured(argv);
        std::vector<nlohmann::json> found;
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);) {
            nlohmann::json entry = nlohmann::json::parse(line);
            if (entry.contains("ZORV_KEY")) {
                found.push_back(std::move(entry));
            }
        }
        return found;
    }
    // How many entries carry each key, once count keys are there.
    std::map<std::string, int> keysOnce(std::size_t count,
                                        const std::string& directory = kJournalDir) {
        std::map<std::string, int> keys;
        EXPECT_TRUE(eventually([&] {
            keys.clear();
            for (const nlohmann::json& entry :
                 entries({}, {"--output-fields=ZORV_KEY"}, directory)) {
                ++keys[fieldOf(entry, "ZORV_KEY")];
            }
            if (keys.size() < count) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            return keys.size() >= count;
        })) << keys.size()
            << " of " << count;
        return keys;
    }
    std::string followErrors() { return readFile(mDir.file("follow.err")); }

    TempDir mDir;
    ScopedEnv mHome{"HOME", mDir.path().c_str()};
    ScopedEnv mData{"XDG_DATA_HOME", mDir.path().c_str()};
    ScopedEnv mState{"XDG_STATE_HOME", mDir.path().c_str()};
    ScopedEnv mRuntime{"XDG_RUNTIME_DIR", mDir.path().c_str()};
    std::string mLog = mDir.file("a.log");
    std::unique_ptr<ChildProcess> mJournald;
    pid_t mFollower = -1;
};

TEST_F(Journal, EveryKindWithItsFieldsFoundByJournalctl) {
    const std::string text = "free text before any section\n";
    const std::string perf = "4713,2026/12/06,17:05:11,6.1.0-13-amd64,host1,5.0.0,open:12,"
                             "bytes:4096,ZorvQet,NA,\n";
    const std::string pairs = "4714\t2026/12/06\t17:05:12\tcolour=blue,size=3\n";
    append(mLog, text + errorRecord(1) + debugRecord(2) + perf + pairs);
    startFollower();
    ASSERT_EQ(keysOnce(5).size(), 5u);

    const std::vector<nlohmann::json> all = entries();
    ASSERT_EQ(all.size(), 5u);
    const nlohmann::json& error = all[1];
    const std::map<std::string, std::string> expected{
        {"PRIORITY", "3"},           {"SYSLOG_IDENTIFIER", "ZorvQet"},
        {"SYSLOG_PID", "4712"},      {"ZORV_KIND", "error"},
        {"ZORV_DATE", "2026/12/06"}, {"ZORV_TIME", "17:05:10"},
        {"ZORV_VENDOR_ID", "8"},     {"ZORV_VENDOR", "ZorvQet"},
        {"ZORV_ERROR_CODE", "3"},    {"ZORV_ERROR", "A malformed request frame was received"},
        {"ZORV_REASON", "record 1"}, {"CODE_FILE", "Client.cpp"},
        {"CODE_LINE", "120"},        {"ZORV_HOST", "host1"},
        {"ZORV_LOG", mLog},          {"ZORV_LINES", errorRecord(1)},
    };
    for (const auto& [name, value] : expected) {
        EXPECT_EQ(fieldOf(error, name), value) << name;
    }
    EXPECT_NE(fieldOf(error, "MESSAGE").find("VendorError=\"3 [A malformed"), std::string::npos)
        << fieldOf(error, "MESSAGE");
    EXPECT_EQ(all[0].value("SYSLOG_IDENTIFIER", ""), "zorv");
    EXPECT_EQ(all[0].value("PRIORITY", ""), "5");
    EXPECT_EQ(fieldOf(all[0], "ZORV_LINES"), text);
    EXPECT_EQ(all[2].value("PRIORITY", ""), "7");
    EXPECT_EQ(all[2].value("ZORV_VENDOR", ""), "ZorvCore");
    EXPECT_EQ(all[3].value("PRIORITY", ""), "6");
    EXPECT_EQ(all[3].value("SYSLOG_IDENTIFIER", ""), "ZorvQet");
    EXPECT_EQ(all[4].value("ZORV_KIND", ""), "pairs");

    // What operators select by, each returning exactly its records.
    auto kinds = [&](const std::vector<std::string>& matches,
                     const std::vector<std::string>& options = {}) {
        std::string found;
        for (const nlohmann::json& entry : entries(matches, options)) {
            found += entry["ZORV_KIND"].get<std::string>() + " ";
        }
        return found;
    };
    EXPECT_EQ(kinds({}, {"-t", "ZorvQet"}), "error perf ");
    EXPECT_EQ(kinds({}, {"-p", "err"}), "error ");
    EXPECT_EQ(kinds({"ZORV_VENDOR=ZorvCore"}), "debug ");
    EXPECT_EQ(kinds({"ZORV_ERROR_CODE=3"}), "error ");
    EXPECT_EQ(kinds({"ZORV_KIND=pairs"}), "pairs ");
}

TEST_F(Journal, JournaldStoppedAndStartedLosesNothing) {
    startFollower();
    append(mLog, debugRecord(1));
    ASSERT_EQ(keysOnce(1).size(), 1u);
    mJournald->kill(SIGTERM);
    ASSERT_EQ(mJournald->wait(), 0);
    appendRecords(mLog, 2, 39);
    ASSERT_TRUE(
        eventually([&] { return followErrors().find("trying again") != std::string::npos; }));
    startJournald();
    appendRecords(mLog, 41, 20);
    const std::map<std::string, int> keys = keysOnce(60);
    EXPECT_EQ(keys.size(), 60u);
    EXPECT_EQ(repeatsIn(keys), 0);
    EXPECT_EQ(stopFollower(), 0);
    const std::string said = followErrors();
    EXPECT_EQ(said.find("trying again"), said.rfind("trying again")) << said;
}

// No socket at all (a container, a chroot, early boot): libsystemd drops
// entries silently then, and the follower must not count them as delivered.
TEST_F(Journal, NoJournalSocketLosesNothing) {
    mJournald->kill(SIGTERM);
    ASSERT_EQ(mJournald->wait(), 0);
    ::unlink((std::string(kSocketDir) + "/socket").c_str());
    appendRecords(mLog, 1, 6);
    startFollower();
    ASSERT_TRUE(eventually([&] { return followErrors().find("not there") != std::string::npos; }))
        << followErrors();
    startJournald();
    const std::map<std::string, int> keys = keysOnce(6);
    EXPECT_EQ(keys.size(), 6u);
    EXPECT_EQ(repeatsIn(keys), 0);
    EXPECT_EQ(stopFollower(), 0);
}

TEST_F(Journal, JournaldStoppedBySigstopDoesNotHoldFollowBack) {
    startFollower();
    append(mLog, debugRecord(0));
    ASSERT_EQ(keysOnce(1).size(), 1u);
    mJournald->kill(SIGSTOP);
    // Records of 64 KiB fill the stopped journald's queue within a few.
    const std::string filler(64 * 1024, 'x');
    std::string batch;
    for (int i = 1; i <= 400; ++i) {
        batch += "4711\t2026/12/06\t17:05:09\tZorvCore\t" + std::to_string(i) + filler + "\t\n";
    }
    append(mLog, batch);
    ASSERT_TRUE(eventually([&] {
        return followErrors().find("takes nothing") != std::string::npos;
    })) << followErrors();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(stopFollower(), 0);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - before);
    std::printf("follow ended %lld ms after SIGTERM with journald stopped\n",
                static_cast<long long>(took.count()));
    EXPECT_LT(took.count(), 5000);

    // Started again with journald going on: every record once.
    mJournald->kill(SIGCONT);
    startFollower();
    const std::map<std::string, int> keys = keysOnce(401);
    EXPECT_EQ(keys.size(), 401u);
    EXPECT_EQ(repeatsIn(keys), 0);
}

// Killed in the middle of a backlog: the restart sends again at most the
// records sent since the last save, one batch.
TEST_F(Journal, FollowerKilledRepeatsOnlyTheLastBatch) {
    appendRecords(mLog, 1, 3000);
    startFollower();
    ASSERT_TRUE(eventually([&] {
        return entries({}, {"--output-fields=ZORV_KEY", "-n", "200"}).size() >= 200;
    }));
    stopFollower(SIGKILL);
    startFollower();
    const std::map<std::string, int> keys = keysOnce(3000);
    EXPECT_EQ(keys.size(), 3000u);
    EXPECT_LE(repeatsIn(keys), static_cast<int>(zorvlog::LogFollow::kBatchRecords));
}

TEST_F(Journal, JournaldKilledLosesOnlyWhatItHeld) {
    startFollower();
    appendRecords(mLog, 1, 3000);
    ASSERT_TRUE(eventually([&] {
        return entries({}, {"--output-fields=ZORV_KEY", "-n", "100"}).size() >= 100;
    }));
    mJournald->kill(SIGKILL);
    mJournald->wait();
    startJournald();
    // Every record after the restart arrives. What is lost is journald's: the
    // entries in its socket queue and those it had read but not yet stored
    // whole, one run of records sent around the kill. A record our follower
    // dropped would leave a gap of its own.
    ASSERT_TRUE(eventually([&] {
        const std::vector<nlohmann::json> last =
            entries({"ZORV_KIND=debug"}, {"--output-fields=MESSAGE,ZORV_KEY", "-n", "1"});
        const bool done =
            !last.empty() && fieldOf(last[0], "MESSAGE").find("record 3000") != std::string::npos;
        if (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        return done;
    }));
    const std::map<std::string, int> keys = keysOnce(1);
    EXPECT_EQ(repeatsIn(keys), 0);
    std::set<int> arrived;
    for (const nlohmann::json& entry : entries({}, {"--output-fields=ZORV_LINES,ZORV_KEY"})) {
        const std::string message = fieldOf(entry, "ZORV_LINES");
        const std::size_t at = message.find("record ");
        if (at != std::string::npos) {
            arrived.insert(std::atoi(message.c_str() + at + 7));
        }
    }
    EXPECT_EQ(arrived.size(), keys.size());
    std::vector<int> lost;
    for (int i = 1; i <= 3000; ++i) {
        if (arrived.count(i) == 0) {
            lost.push_back(i);
        }
    }
    std::printf("journald killed: %zu of 3000 records lost (socket queue at most %ld)\n",
                lost.size(), std::stol(readFile("/proc/sys/net/unix/max_dgram_qlen")));
    if (!lost.empty()) {
        EXPECT_EQ(lost.back() - lost.front() + 1, static_cast<int>(lost.size()))
            << "lost records " << lost.front() << " to " << lost.back() << " with gaps";
    }
}

class LongJournal : public Journal {};

TEST_F(LongJournal, BurstOfAHundredThousandArrivesWhole) {
    appendRecords(mLog, 1, 100000);
    startFollower();
    EXPECT_EQ(repeatsIn(keysOnce(100000)), 0);
}

TEST_F(LongJournal, SixteenMebibyteRecordArrivesWhole) {
    // Incompressible: random letters and digits, one debug record just under
    // the follower's cap.
    std::mt19937 random(27);
    const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string message(16 * 1024 * 1024 - 4096, ' ');
    for (char& c : message) {
        c = alphabet[random() % 62];
    }
    const std::string record = "4711\t2026/12/06\t17:05:09\tZorvCore\t" + message + "\t\n";
    append(mLog, record + debugRecord(2));
    startFollower();
    ASSERT_EQ(keysOnce(2).size(), 2u);
    const std::vector<nlohmann::json> all =
        entries({"ZORV_KIND=debug"}, {"--output-fields=ZORV_LINES,ZORV_KEY", "--all"});
    ASSERT_EQ(all.size(), 2u);
    EXPECT_TRUE(fieldOf(all[0], "ZORV_LINES") == record) << "ZORV_LINES of the big record differs";
    EXPECT_EQ(followErrors().find("cut"), std::string::npos) << followErrors();
}

// The recipe of docs/operations.md: systemd-journal-upload with a saved
// state to systemd-journal-remote, the central side stopped and started
// again while records are sent; the uploader, which ends when it cannot
// reach the central side, started again as its unit's Restart= does.
TEST_F(LongJournal, UploadToRemoteAcrossACentralRestart) {
    const int port = ops::freePort();
    const std::string central = mDir.file("central") + "/";
    ASSERT_EQ(::mkdir(central.c_str(), 0755), 0);
    auto startRemote = [&] {
        auto remote = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/lib/systemd/systemd-journal-remote",
                                     "--listen-http=127.0.0.1:" + std::to_string(port),
                                     "--output=" + central},
            ChildSetup{mDir.file("remote.out")});
        EXPECT_TRUE(ops::accepting(port));
        return remote;
    };
    auto startUpload = [&] {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{"/lib/systemd/systemd-journal-upload",
                                     "--url=http://127.0.0.1:" + std::to_string(port),
                                     "--save-state=" + mDir.file("upload.state"), "--directory",
                                     kJournalDir},
            ChildSetup{mDir.file("upload.out")});
    };
    const int half = 2000;
    std::unique_ptr<ChildProcess> remote = startRemote();
    std::unique_ptr<ChildProcess> upload = startUpload();
    startFollower();
    appendRecords(mLog, 1, half);
    keysOnce(half / 2, central);
    remote->kill(SIGTERM);
    ASSERT_EQ(remote->wait(), 0);
    appendRecords(mLog, half + 1, half);
    ASSERT_NE(upload->wait(), 0) << "the uploader went on without its central side";
    remote = startRemote();
    upload = startUpload();
    const std::map<std::string, int> keys = keysOnce(2 * half, central);
    std::printf("journal-upload to journal-remote, central restarted: %zu of %d records, %d "
                "repeats\n",
                keys.size(), 2 * half, repeatsIn(keys));
    EXPECT_EQ(keys.size(), static_cast<std::size_t>(2 * half));
}

// The rsyslog recipe: imjournal on the machine, RELP to the central
// rsyslog, which is stopped and started again while records are sent.
TEST_F(LongJournal, RsyslogRelpAcrossACentralRestart) {
    const std::string port = std::to_string(ops::freePort());
    const std::string central = mDir.file("central");
    const std::string agent = mDir.file("agent");
    ASSERT_EQ(::mkdir(central.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(agent.c_str(), 0700), 0);
    writeFile(central + "/rsyslog.conf",
              "global(workDirectory=\"" + central + "\")\n" +
                  ops::edited(ops::shipped("rsyslog/zorv-journal-central.conf"),
                              {{"/var/log/zorv-central/%fromhost:::secpath-replace%", central},
                               {"port=\"2514\"", "port=\"" + port + "\" address=\"127.0.0.1\""}}));
    writeFile(agent + "/rsyslog.conf",
              "global(workDirectory=\"" + agent + "\")\n" +
                  ops::edited(ops::shipped("rsyslog/zorv-journal-agent.conf"),
                              {{"logs.example.org", "127.0.0.1"},
                               {"port=\"2514\"", "port=\"" + port + "\""}}));
    auto rsyslogd = [&](const std::string& dir) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{"rsyslogd", "-n", "-f",
                                                                       dir + "/rsyslog.conf", "-i",
                                                                       dir + "/pid"},
                                              ChildSetup{dir + "/output"});
    };
    auto received = [&](std::size_t count) {
        std::map<std::string, int> keys;
        EXPECT_TRUE(eventually([&] {
            keys.clear();
            std::istringstream lines(readFile(central + "/zorv-journal.jsonl"));
            for (std::string line; std::getline(lines, line);) {
                ++keys[fieldOf(nlohmann::json::parse(line), "ZORV_KEY")];
            }
            if (keys.size() < count) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            return keys.size() >= count;
        })) << keys.size()
            << " of " << count;
        return keys;
    };
    const int half = 2000;
    std::unique_ptr<ChildProcess> centralDaemon = rsyslogd(central);
    ASSERT_TRUE(ops::accepting(std::stoi(port)));
    std::unique_ptr<ChildProcess> agentDaemon = rsyslogd(agent);
    startFollower();
    appendRecords(mLog, 1, half);
    received(half / 2);
    centralDaemon->kill(SIGTERM);
    ASSERT_EQ(centralDaemon->wait(), 0);
    appendRecords(mLog, half + 1, half);
    // Every record in the machine's journal while the central side is away.
    keysOnce(2 * half);
    centralDaemon = rsyslogd(central);
    const std::map<std::string, int> keys = received(2 * half);
    // The records' lines, in the order of their offsets, are the log.
    std::map<std::uint64_t, std::string> lines;
    std::istringstream copy(readFile(central + "/zorv-journal.jsonl"));
    for (std::string line; std::getline(copy, line);) {
        const nlohmann::json entry = nlohmann::json::parse(line);
        const std::string key = fieldOf(entry, "ZORV_KEY");
        lines[std::stoull(key.substr(key.find(':') + 1))] = fieldOf(entry, "ZORV_LINES");
    }
    std::string joined;
    for (const auto& entry : lines) {
        joined += entry.second;
    }
    EXPECT_TRUE(joined == readFile(mLog)) << "the central copy differs from the log";
    std::printf("imjournal over RELP to rsyslog, central restarted: %zu of %d records, %d "
                "repeats\n",
                keys.size(), 2 * half, repeatsIn(keys));
    EXPECT_EQ(keys.size(), static_cast<std::size_t>(2 * half));
}

} // namespace
} // namespace zorvtest
