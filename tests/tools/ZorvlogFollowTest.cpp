// zorvlog follow on logs that a writer fills while they are rotated,
// compressed, and the follower is stopped and started again.
#include "ZorvlogFixture.h"
#include "support/ChildProcess.h"

#include <zorv/ErrorLog.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <thread>
#include <unistd.h>

namespace zorvtest {
namespace {

using namespace std::chrono_literals;

// Writes records FIRST to LAST to a log, "record N" each: every fourth an
// error record (seven lines, the text as its reason), the others debug records.
int writeRecords(const std::vector<std::string>& args) {
    ZorvLogger logger{TStr(args[0].c_str())};
    for (int i = std::stoi(args[1]); i <= std::stoi(args[2]); ++i) {
        const std::string text = "record " + std::to_string(i);
        logger.startLoggingWMilliSecs();
        if (i % 4 == 3) {
            ZorvErrorBase error(Zorv::kBrakka, 42, "w.cpp", i, "1.0");
            error.setReason(text.c_str());
            logger.log(error);
        } else {
            logger.log(ZorvDebugLog(Zorv::kZorvCore, text.c_str()));
        }
        ::usleep(1000);
    }
    return 0;
}
const bool kWriterRole = registerRole("follow-writer", writeRecords);

class Follow : public ZorvlogTest {
protected:
    // A follower whose output goes to the file named for its run.
    pid_t start(const std::string& log, int run) {
        int out = ::open(output(run).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        pid_t pid = spawnProcess({ZORVLOG_EXE, "follow", "--json", log}, -1, out);
        ::close(out);
        return pid;
    }
    std::string output(int run) const { return mDir.file("run" + std::to_string(run) + ".json"); }

    // Waits (10 s at most) until a run has printed the record.
    bool waitFor(int run, int record) {
        const std::string text = "\"record " + std::to_string(record) + "\"";
        for (int i = 0; i < 1000; ++i) {
            if (readFile(output(run)).find(text) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Every record a run printed ("record N" -> its key), each checked with
    // jq: the members a collector relies on, the severity of its kind.
    std::map<int, std::string> records(int run) {
        const char* check =
            "all(.[]; (.key | test(\"^[0-9a-f]{16}:[0-9]+$\")) and "
            "(.timestamp | test(\"^[0-9-]{10}T[0-9:]{8}[.][0-9]{3}[+-][0-9:]{5}$\")) "
            "and .severity == ({error: \"err\", debug: \"debug\"}[.kind]) and "
            "(.kind != \"error\" or .host == \"testhost\"))";
        EXPECT_EQ(runProcess({"jq", "-e", "-s", check, output(run)}), 0) << readFile(output(run));
        std::map<int, std::string> seen;
        for (const std::string& line : splitLines(readFile(output(run)))) {
            JsonValue entry = JsonValue::parse(line);
            const std::string& text =
                entry[entry["kind"].str() == "error" ? "reason" : "message"].str();
            EXPECT_TRUE(seen.emplace(std::stoi(text.substr(7)), entry["key"].str()).second) << text;
        }
        return seen;
    }
};

// The log is missing when the follower starts; stopped, it misses writes to
// a file that is then rotated and compressed; restarted, it prints exactly
// what it had not.
TEST_F(Follow, RestartFindsTheUnfinishedFileCompressed) {
    const std::string log = mDir.file("a.log");
    pid_t first = start(log, 1);
    RoleProcess("follow-writer", {log, "0", "2"}).wait();
    ASSERT_TRUE(waitFor(1, 2));
    ::kill(first, SIGTERM);
    EXPECT_EQ(waitProcess(first), 0);

    RoleProcess("follow-writer", {log, "3", "4"}).wait();
    ASSERT_EQ(::rename(log.c_str(), (log + ".1").c_str()), 0);
    ASSERT_EQ(runProcess({"gzip", log + ".1"}), 0);
    ZorvLogger logger{TStr(log.c_str())};
    logger.startLogging();
    logger.log(ZorvDebugLog(Zorv::kZorvCore, "record 9"));

    pid_t second = start(log, 2);
    ASSERT_TRUE(waitFor(2, 9));
    CapturedProcess rival = zorvlog({"follow", log});
    EXPECT_EQ(rival.status, 1);
    EXPECT_NE(rival.err.find("in use by another zorvlog follow"), std::string::npos) << rival.err;
    ::kill(second, SIGTERM);
    EXPECT_EQ(waitProcess(second), 0);
    std::map<int, std::string> before = records(1), after = records(2);
    EXPECT_EQ(before.size(), 3u);
    EXPECT_EQ(after.size(), 3u) << readFile(output(2));
    EXPECT_EQ(after.count(3) + after.count(4) + after.count(9), 3u);
}

// Copied and emptied in place behind the follower's back (logrotate's
// copytruncate): what it had not read is read from the copy, then the emptied
// file from its start.
TEST_F(Follow, EmptiedInPlaceContinuesInTheCopy) {
    const std::string log = mDir.file("c.log");
    RoleProcess("follow-writer", {log, "0", "2"}).wait();
    pid_t follower = start(log, 1);
    ASSERT_TRUE(waitFor(1, 2));
    ::kill(follower, SIGSTOP);
    RoleProcess("follow-writer", {log, "3", "4"}).wait();
    ASSERT_EQ(runProcess({"sh", "-c", "cp \"$0\" \"$0.1\" && : > \"$0\"", log}), 0);
    RoleProcess("follow-writer", {log, "5", "5"}).wait();
    ::kill(follower, SIGCONT);
    ASSERT_TRUE(waitFor(1, 5));
    ::kill(follower, SIGTERM);
    EXPECT_EQ(waitProcess(follower), 0);
    EXPECT_EQ(records(1).size(), 6u) << readFile(output(1));
}

// A writer goes on for about 4 s while the log is rotated every 0.5 s (the
// previous generation compressed, or the current one at once while no
// follower runs), and the follower is stopped with SIGTERM, then SIGKILL, and
// started again: every record is printed, once across SIGTERM, at most the
// last one twice (with the same key) across SIGKILL.
TEST_F(Follow, StopsAndRestartsUnderAWriterAndRotations) {
    const int kRecords = 1500;
    const std::string log = mDir.file("busy.log");
    const auto begin = std::chrono::steady_clock::now();
    auto at = [&](int ms) { std::this_thread::sleep_until(begin + std::chrono::milliseconds(ms)); };
    RoleProcess writer("follow-writer", {log, "0", std::to_string(kRecords - 1)});
    int rotation = 0;
    auto rotate = [&](bool compressNow) {
        const std::string to = log + "." + std::to_string(++rotation);
        ASSERT_EQ(::rename(log.c_str(), to.c_str()), 0);
        if (compressNow) {
            // Not while a record may still be landing in it: gzip would lose it.
            std::this_thread::sleep_for(100ms);
            runProcess({"gzip", to});
        } else if (rotation > 1) {
            runProcess({"gzip", log + "." + std::to_string(rotation - 1)});
        }
    };
    pid_t follower = start(log, 1);
    at(500), rotate(false);
    at(1000), rotate(false);
    at(1200), ::kill(follower, SIGTERM);
    EXPECT_EQ(waitProcess(follower), 0);
    at(1400), rotate(true);
    follower = start(log, 2);
    for (int ms = 2000; ms < 4000; ms += 500) {
        at(ms), rotate(false);
    }
    at(4000), ::kill(follower, SIGKILL);
    waitProcess(follower);
    follower = start(log, 3);
    for (int ms = 4500; writer.running(); ms += 500) {
        at(ms), rotate(false);
    }
    EXPECT_TRUE(waitFor(3, kRecords - 1));
    ::kill(follower, SIGTERM);
    EXPECT_EQ(waitProcess(follower), 0);

    std::map<int, std::string> runs[3] = {records(1), records(2), records(3)};
    int repeats = 0;
    for (const auto& record : runs[1]) {
        EXPECT_EQ(runs[0].count(record.first), 0u)
            << "printed again after SIGTERM: " << record.first;
        if (runs[2].count(record.first) != 0) {
            ++repeats;
            EXPECT_EQ(runs[2][record.first], record.second) << "a repeat with another key";
        }
    }
    EXPECT_LE(repeats, 1);
    for (int i = 0; i < kRecords; ++i) {
        EXPECT_TRUE(runs[0].count(i) + runs[1].count(i) + runs[2].count(i) > 0)
            << "record " << i << " lost";
    }
}

} // namespace
} // namespace zorvtest
