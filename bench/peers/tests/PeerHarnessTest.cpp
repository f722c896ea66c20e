// The peer comparison is only as good as its harness: the floor must write
// what our record writes, the locked floor must really serialise processes
// and survive a dead holder, the process runner must not report a round that
// failed, and each peer must be set up with the guarantee the report claims.

#include "PeerHarness.h"
#include "Peers.h"

#include "support/TestSupport.h"

#include <zorv/ErrorLog.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace zorvpeers;
using zorvtest::IsolatedHome;
using zorvtest::readFile;
using zorvtest::ScopedEnv;
using zorvtest::TempDir;

namespace {

// Waits for a child with a generous bound; true when it exited with 0.
bool waitExitedWell(pid_t pid, int timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return false;
}

std::string comparisonLine(const std::string& pid) {
    return pid + "\t2026/12/07\t23:10:30\t" + kComponent + "\t" + kMessage + "\t";
}

} // namespace

TEST(PeerFloor, AppendsExactlyTheBytesAndKeepsWhatWasThere) {
    TempDir dir;
    std::string path = dir.file("floor.log");
    ASSERT_TRUE(bench::appendOnce(path, "first\n"));
    ASSERT_TRUE(bench::appendOnce(path, "second\n"));
    EXPECT_EQ(readFile(path), "first\nsecond\n");
    EXPECT_FALSE(bench::appendOnce(dir.file("missing/floor.log"), "x\n"));
}

TEST(PeerFloor, CapturedBytesAreWhatOurRecordWritesLineForLine) {
    IsolatedHome home;
    ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    ZorvDebugLogger logger;
    logger.startLogging();
    ZorvDebugLog record(Zorv::kZorvCore, TStr(kMessage));
    std::string path = logger.getLogFileName().bytes();
    ASSERT_TRUE(bench::appendOnce(path, "left over from before\n"));

    std::string bytes = captureBytes(path, [&] { logger.log(record); });
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), '\n');
    EXPECT_TRUE(isComparisonLine(bytes.substr(0, bytes.size() - 1))) << bytes;

    // Alternating the two, as the side-by-side benchmark does, leaves the
    // two files equal: the floor was measured with our record's very bytes.
    TempDir dir;
    std::string floorPath = dir.file("floor.log");
    truncateFile(path);
    for (int i = 0; i < 5; ++i) {
        logger.log(record);
        ASSERT_TRUE(bench::appendOnce(floorPath, bytes));
    }
    EXPECT_EQ(readFile(floorPath), readFile(path));

    ThreeLineRecord three;
    ZorvLogger threeLogger(TStr(dir.file("three.log")));
    threeLogger.startLogging();
    std::string threeBytes = captureBytes(dir.file("three.log"), [&] { threeLogger.log(three); });
    std::vector<std::string> lines = zorvtest::splitLines(threeBytes);
    ASSERT_EQ(lines.size(), 3u) << threeBytes;
    EXPECT_NE(lines[2].find(std::string("Result=") + kMessage), std::string::npos);
}

TEST(PeerLines, CheckRejectsWhatIsNotAComparisonLine) {
    EXPECT_TRUE(isComparisonLine(comparisonLine("4711")));
    EXPECT_TRUE(isComparisonLine("4711\t2026/12/07\t23:10:30:250\tZorvCore\t" +
                                 std::string(kMessage) + "\t"));
    EXPECT_FALSE(isComparisonLine(comparisonLine("")));
    EXPECT_FALSE(isComparisonLine(comparisonLine("47x1")));
    EXPECT_FALSE(isComparisonLine(comparisonLine("4711") + "extra"));
    EXPECT_FALSE(isComparisonLine(comparisonLine("4711") + "\t"));
    EXPECT_FALSE(
        isComparisonLine("4711\t2026-12-07\t23:10:30\tZorvCore\t" + std::string(kMessage) + "\t"));
    EXPECT_FALSE(isComparisonLine("4711\t2026/12/07\t23:10:30\tZorvCore\tother message\t"));
    // Two records glued together, as a torn write would leave them.
    std::string line = comparisonLine("4711");
    EXPECT_FALSE(isComparisonLine(line.substr(0, 20) + line));
}

TEST(PeerLines, CountsWholeMalformedAndTornLines) {
    TempDir dir;
    std::string path = dir.file("count.log");
    zorvtest::writeFile(path, comparisonLine("1") + "\n" + "junk\n" + comparisonLine("2") + "\n" +
                                  comparisonLine("3").substr(0, 9));
    LineCount count = countLines(path, isComparisonLine);
    EXPECT_EQ(count.lines, 3);
    EXPECT_EQ(count.malformed, 1);
    EXPECT_TRUE(count.torn);

    zorvtest::writeFile(path, comparisonLine("1") + "\n");
    count = countLines(path, isComparisonLine);
    EXPECT_EQ(count.lines, 1);
    EXPECT_EQ(count.malformed, 0);
    EXPECT_FALSE(count.torn);

    count = countLines(dir.file("missing.log"), isComparisonLine);
    EXPECT_EQ(count.lines, 0);
    EXPECT_FALSE(count.torn);
}

TEST(PeerLockedFloor, AHolderKilledWhileHoldingDoesNotStallTheNext) {
    SharedRobustMutex mutex;
    ASSERT_TRUE(mutex.valid());
    int held[2];
    ASSERT_EQ(::pipe(held), 0);
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        mutex.lock();
        char c = 'h';
        (void)!::write(held[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(held[0], &c, 1), 1);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);

    // In a child, so that a mutex that is not robust hangs the child, not the
    // test: the bound below turns that into a failure.
    TempDir dir;
    std::string path = dir.file("after.log");
    pid_t next = ::fork();
    ASSERT_GE(next, 0);
    if (next == 0) {
        bool ok =
            lockedFloorWrite(mutex, path, "after\n") && lockedFloorWrite(mutex, path, "again\n");
        ::_exit(ok ? 0 : 1);
    }
    EXPECT_TRUE(waitExitedWell(next, 30));
    EXPECT_EQ(readFile(path), "after\nagain\n");
}

TEST(PeerProcessRound, LockedFloorInFourProcessesLandsEveryRecordWhole) {
    TempDir dir;
    std::string path = dir.file("floor.log");
    std::string bytes = comparisonLine("4711") + "\n";
    SharedRobustMutex mutex;
    ProcessRound round = runProcessRound(
        4, 250, [&]() -> Writer { return [&] { return lockedFloorWrite(mutex, path, bytes); }; });
    ASSERT_TRUE(round.ok);
    EXPECT_EQ(round.records, 1000);
    EXPECT_GT(round.seconds, 0.0);
    EXPECT_GT(round.recordsPerSecond(), 0.0);
    LineCount count = countLines(path, isComparisonLine);
    EXPECT_EQ(count.lines, 1000);
    EXPECT_EQ(count.malformed, 0);
    EXPECT_FALSE(count.torn);
}

TEST(PeerLockedFloor, ExcludesOtherProcessesFromOpenToClose) {
    // One write each is kept whole by the kernel anyway; two writes under
    // one hold show whether the mutex really keeps the others out.
    TempDir dir;
    std::string path = dir.file("pairs.log");
    SharedRobustMutex mutex;
    ProcessRound round = runProcessRound(4, 300, [&]() -> Writer {
        return [&] {
            if (!mutex.lock()) {
                return false;
            }
            std::string pid = std::to_string(::getpid());
            bool ok = bench::appendOnce(path, "begin " + pid + "\n") &&
                      bench::appendOnce(path, "end " + pid + "\n");
            mutex.unlock();
            return ok;
        };
    });
    ASSERT_TRUE(round.ok);
    std::vector<std::string> lines = zorvtest::splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 2400u);
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        ASSERT_EQ(lines[i].rfind("begin ", 0), 0u) << "line " << i;
        ASSERT_EQ(lines[i + 1], "end " + lines[i].substr(6)) << "line " << i + 1;
    }
}

TEST(PeerProcessRound, ReleasesTheProcessesTogether) {
    // Every child must have built its writer before any child writes: each
    // records, at its first record, how many set-ups have happened.
    TempDir dir;
    std::string setups = dir.file("setups.log");
    std::string firsts = dir.file("firsts.log");
    ProcessRound round = runProcessRound(3, 1, [&]() -> Writer {
        bench::appendOnce(setups, "s\n");
        // A slow set-up in one child must hold the others back.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return [&] {
            return bench::appendOnce(firsts, std::to_string(readFile(setups).size() / 2) + "\n");
        };
    });
    ASSERT_TRUE(round.ok);
    EXPECT_EQ(readFile(firsts), "3\n3\n3\n");
}

TEST(PeerProcessRound, AFailedChildMakesTheRoundFail) {
    int calls = 0;
    // A set-up that yields no writer.
    ProcessRound noWriter = runProcessRound(2, 10, [&]() -> Writer {
        ++calls;
        return Writer();
    });
    EXPECT_FALSE(noWriter.ok);
    EXPECT_EQ(noWriter.records, 0);
    EXPECT_EQ(noWriter.recordsPerSecond(), 0.0);
    EXPECT_EQ(calls, 0) << "set-up ran in the parent instead of the children";

    // A set-up that throws in one child only: the one that creates the marker.
    TempDir dir;
    std::string marker = dir.file("first");
    ProcessRound throws = runProcessRound(2, 10, [&]() -> Writer {
        int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            ::close(fd);
            throw std::runtime_error("set-up failed");
        }
        return [] { return true; };
    });
    EXPECT_FALSE(throws.ok);
    EXPECT_TRUE(zorvtest::fileExists(marker));

    // A writer that reports a failed record.
    ProcessRound failing = runProcessRound(2, 10, []() -> Writer { return [] { return false; }; });
    EXPECT_FALSE(failing.ok);
}

TEST(PeerProcessRound, OurDebugLoggerInSeveralProcessesLandsEveryRecordWhole) {
    IsolatedHome home;
    ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    std::string path = home.zorvDataDir() + "/ZorvDebug.log";
    ProcessRound round = runProcessRound(3, 200, []() -> Writer {
        auto logger = std::make_shared<ZorvDebugLogger>();
        logger->startLogging();
        auto record = std::make_shared<ZorvDebugLog>(Zorv::kZorvCore, TStr(kMessage));
        return [logger, record] {
            logger->log(*record);
            return true;
        };
    });
    ASSERT_TRUE(round.ok);
    LineCount count = countLines(path, isComparisonLine);
    EXPECT_EQ(count.lines, 600);
    EXPECT_EQ(count.malformed, 0);
    EXPECT_FALSE(count.torn);
}

TEST(PeerRotation, EveryContenderRunsOncePerRoundAndLeadsInTurn) {
    std::string order;
    Rotation rotation({[&] { order += 'a'; }, [&] { order += 'b'; }, [&] { order += 'c'; }});
    for (int i = 0; i < 4; ++i) {
        rotation.round();
    }
    EXPECT_EQ(order, "abc"
                     "bca"
                     "cab"
                     "abc");
    EXPECT_EQ(rotation.rounds(), 4);

    Rotation timed({[] {}, [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); }});
    timed.round();
    timed.round();
    EXPECT_GE(timed.meanNs(1), 2e6);
    EXPECT_LT(timed.meanNs(0), timed.meanNs(1));
}

TEST(PeerRotation, CpuTimeLeavesOutWaitingAndCountsWork) {
    auto spin = [] {
        double start = threadCpuNs();
        while (threadCpuNs() - start < 3e6) {
        }
    };
    Rotation rotation(
        {[] { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }, spin, [] {}});
    for (int i = 0; i < 3; ++i) {
        rotation.round();
    }
    // Sleeping takes time but almost no CPU; spinning takes both.
    EXPECT_GE(rotation.meanNs(0), 20e6);
    EXPECT_LT(rotation.meanCpuNs(0), 2e6);
    EXPECT_GE(rotation.meanCpuNs(1), 3e6);
    // The two clocks are read at slightly different moments and their own
    // costs are taken off separately: equal within a fraction of a percent.
    EXPECT_GE(rotation.meanNs(1), rotation.meanCpuNs(1) * 0.99);
    // An empty call costs next to nothing once the clock's own cost is off.
    EXPECT_LT(rotation.meanCpuNs(2), 50e3);
}

// Each peer as the comparison sets it up: every record is in the file when
// the call returns (no buffer holds it back), its line has the shape of ours,
// and a statement below its level writes nothing.
class PeerSetup : public ::testing::TestWithParam<const char*> {
protected:
    std::unique_ptr<PeerLogger> make(const std::string& path) {
        std::string which = GetParam();
        return which == "spdlog" ? makeSpdlogPeer(path) : makeLog4cplusPeer(path);
    }
};

TEST_P(PeerSetup, EveryRecordIsInTheFileWhenTheCallReturns) {
    TempDir dir;
    std::string path = dir.file("peer.log");
    std::unique_ptr<PeerLogger> peer = make(path);
    if (!peer) {
        GTEST_SKIP() << GetParam() << " was not found at build time";
    }
    EXPECT_STREQ(peer->name(), GetParam());
    for (int i = 1; i <= 3; ++i) {
        peer->logRecord();
        LineCount count = countLines(path, isComparisonLine);
        EXPECT_EQ(count.lines, i);
        EXPECT_EQ(count.malformed, 0) << readFile(path);
        EXPECT_FALSE(count.torn);
    }
    std::string before = readFile(path);
    peer->logDisabled();
    EXPECT_EQ(readFile(path), before);
    std::string pid = std::to_string(::getpid()) + "\t";
    EXPECT_EQ(before.compare(0, pid.size(), pid), 0) << before;
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerSetup, ::testing::Values("spdlog", "log4cplus"));

TEST(PeerSetupLog4cplus, SeveralProcessesShareOneFileThroughItsLockFile) {
    if (!haveLog4cplus()) {
        GTEST_SKIP() << "log4cplus was not found at build time";
    }
    TempDir dir;
    std::string path = dir.file("log4cplus.log");
    ProcessRound round = runProcessRound(3, 200, [&]() -> Writer {
        std::shared_ptr<PeerLogger> peer = makeLog4cplusPeer(path);
        return [peer] {
            peer->logRecord();
            return true;
        };
    });
    ASSERT_TRUE(round.ok);
    LineCount count = countLines(path, isComparisonLine);
    EXPECT_EQ(count.lines, 600);
    EXPECT_EQ(count.malformed, 0);
    EXPECT_FALSE(count.torn);
    EXPECT_TRUE(zorvtest::fileExists(path + ".lock"));
}

TEST(PeerFloor, TailCheckingFloorRepairsATornTailAndOnlyThat) {
    TempDir dir;
    std::string path = dir.file("tail.log");
    ASSERT_TRUE(floorWriteCheckingTail(path, "first\n"));
    ASSERT_TRUE(floorWriteCheckingTail(path, "second\n"));
    EXPECT_EQ(readFile(path), "first\nsecond\n");
    ASSERT_TRUE(bench::appendOnce(path, "torn"));
    ASSERT_TRUE(floorWriteCheckingTail(path, "third\n"));
    EXPECT_EQ(readFile(path), "first\nsecond\ntorn\nthird\n");
}
