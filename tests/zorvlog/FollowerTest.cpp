// The follower's chain of generations and its state, called directly: no
// child process, the follower polled by the test.
#include "follow/FollowState.h"
#include "follow/FollowedLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace zorvtest {
namespace {

std::string debugLine(int record) {
    return "4711\t2026/12/06\t17:05:09\tZorvCore\trecord " + std::to_string(record) + "\t\n";
}

class Follower : public ::testing::Test {
protected:
    std::unique_ptr<zorvlog::FollowedLog>
    follower(const std::vector<zorvlog::FollowPosition>* resume = nullptr) {
        return std::make_unique<zorvlog::FollowedLog>(mLog, zorvlog::TrustedOwners(), resume,
                                                      [] { return false; });
    }
    // Takes records until `count` in all were printed.
    void pollUntil(zorvlog::FollowedLog& log, std::size_t count) {
        ASSERT_TRUE(eventually([&] {
            while (const zorvlog::ReadyRecord* record = log.next()) {
                mPrinted.emplace_back(record->entry.item(1), record->key);
                log.take();
            }
            log.settle();
            return mPrinted.size() >= count;
        })) << mPrinted.size();
    }
    void write(const std::string& path, int first, int last) {
        std::string text = fileExists(path) ? readFile(path) : std::string();
        for (int i = first; i <= last; ++i) {
            text += debugLine(i);
        }
        writeFile(path, text);
    }

    TempDir mDir;
    const std::string mLog = mDir.file("a.log");
    std::vector<std::pair<std::string, std::string>> mPrinted; // message, key
};

// Rotated twice before the follower looks again: the generation it read, the
// one after it and the file at the path, in that order, each record once;
// a state saved and read back resumes after the last record printed.
TEST_F(Follower, TheChainInOrderAndTheStateResumesWhereItStood) {
    write(mLog, 1, 3);
    auto log = follower();
    pollUntil(*log, 3);
    ASSERT_EQ(std::rename(mLog.c_str(), (mLog + ".1").c_str()), 0);
    write(mLog, 4, 5);
    ASSERT_EQ(std::rename((mLog + ".1").c_str(), (mLog + ".2").c_str()), 0);
    ASSERT_EQ(std::rename(mLog.c_str(), (mLog + ".1").c_str()), 0);
    write(mLog, 6, 6);
    pollUntil(*log, 6);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(mPrinted[static_cast<std::size_t>(i)].first, "record " + std::to_string(i + 1));
    }

    const std::string statePath = mDir.file("follow.state");
    std::string error;
    const zorvlog::LogStatus status = log->status();
    {
        zorvlog::FollowState state;
        ASSERT_TRUE(state.open(statePath, {mLog}, error)) << error;
        ASSERT_TRUE(state.save({{mLog, log->positions()}}, {status}));
    }
    log.reset();
    write(mLog, 7, 8);
    // Opened for one more log, the state needs more room and is laid out
    // anew: the positions kept are those saved.
    zorvlog::FollowState state;
    ASSERT_TRUE(state.open(statePath, {mLog, mDir.file("b.log")}, error)) << error;
    ASSERT_NE(state.find(mLog), nullptr);
    // What a status report shows comes back too.
    EXPECT_NE(status.lastOut, 0u);
    EXPECT_EQ(state.status(mLog).lastOut, status.lastOut);
    EXPECT_TRUE(state.output().taking);
    auto resumed = follower(state.find(mLog));
    pollUntil(*resumed, 8);
    ASSERT_EQ(mPrinted.size(), 8u);
    EXPECT_EQ(mPrinted[6].first, "record 7");
    // Keys: the generation's identity and the offset, one per record.
    std::set<std::string> keys;
    for (const auto& printed : mPrinted) {
        keys.insert(printed.second);
    }
    EXPECT_EQ(keys.size(), 8u);
}

// A save cut short (a full disk, EIO, a crash in its write) leaves the state
// saved before it: that one is read back whole.
TEST_F(Follower, ASaveCutShortLeavesTheStateBeforeIt) {
    write(mLog, 1, 2);
    auto log = follower();
    pollUntil(*log, 2);
    const std::string statePath = mDir.file("follow.state");
    std::string error;
    std::uint64_t before = 0;
    {
        zorvlog::FollowState state;
        ASSERT_TRUE(state.open(statePath, {mLog}, error)) << error;
        ASSERT_TRUE(state.save({{mLog, log->positions()}}));
        before = log->positions().at(0).offset;
        write(mLog, 3, 4);
        pollUntil(*log, 4);
        ASSERT_NE(log->positions().at(0).offset, before);
        ASSERT_TRUE(state.save({{mLog, log->positions()}}));
    }
    // The last byte of the newest save never reached the file.
    std::string text = readFile(statePath);
    text[text.find_last_not_of('\0')] = '\0';
    writeFile(statePath, text);
    zorvlog::FollowState state;
    ASSERT_TRUE(state.open(statePath, {mLog}, error)) << error;
    ASSERT_NE(state.find(mLog), nullptr);
    EXPECT_EQ(state.find(mLog)->at(0).offset, before);
}

// A save writes only the logs given as changed, each in a place of its own:
// one log's save cut short leaves the other's position, and a save of the
// other alone leaves the first one's.
TEST_F(Follower, ALogsSaveCutShortLeavesTheOtherLogs) {
    write(mLog, 1, 2);
    auto log = follower();
    pollUntil(*log, 2);
    const std::string statePath = mDir.file("follow.state"), other = mDir.file("b.log");
    zorvlog::FollowPosition elsewhere;
    elsewhere.ino = 7;
    elsewhere.offset = 99;
    std::string error;
    {
        zorvlog::FollowState state;
        ASSERT_TRUE(state.open(statePath, {mLog, other}, error)) << error;
        ASSERT_TRUE(state.save({{mLog, log->positions()}, {other, {elsewhere}}}));
        elsewhere.offset = 100;
        ASSERT_TRUE(state.save({{mLog, {}}, {other, {elsewhere}}}, {}, {}, {false, true}));
    }
    std::string text = readFile(statePath);
    text[text.find_last_not_of('\0')] = '\0';
    writeFile(statePath, text);
    zorvlog::FollowState state;
    ASSERT_TRUE(state.open(statePath, {other, mLog}, error)) << error;
    ASSERT_NE(state.find(mLog), nullptr);
    EXPECT_EQ(state.find(mLog)->at(0).offset, log->positions().at(0).offset);
    ASSERT_NE(state.find(other), nullptr);
    EXPECT_EQ(state.find(other)->at(0).offset, 99u);
}

// The generation of the state is gone and a compressed file beside the log
// is cut short: the resume search says so and keeps no descriptor of the
// files it examined.
TEST_F(Follower, TheResumeSearchKeepsNoDescriptor) {
    write(mLog, 1, 3);
    auto log = follower();
    pollUntil(*log, 3);
    std::vector<zorvlog::FollowPosition> saved = log->positions();
    log.reset();
    auto descriptors = [] {
        std::size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            n += entry.is_symlink() ? 1 : 0;
        }
        return n;
    };
    const std::size_t before = descriptors();
    for (int i = 1; i <= 3; ++i) {
        writeFile(mLog + "." + std::to_string(i) + ".gz", "\x1f\x8b\x08");
    }
    ASSERT_EQ(std::remove(mLog.c_str()), 0);
    write(mLog, 7, 7);
    auto resumed = follower(&saved);
    pollUntil(*resumed, 4);
    EXPECT_EQ(mPrinted.back().first, "record 7");
    resumed.reset();
    EXPECT_EQ(descriptors(), before);
}

// A record's key is the same for a follower that met its generation at its
// first line and one that met it 15 KiB on; a later generation that begins
// with the same line gives its other records other keys at the same offsets.
TEST_F(Follower, KeysAreTheRecordsWhereverTheyAreMet) {
    write(mLog, 0, 0);
    auto early = follower();
    pollUntil(*early, 1);
    write(mLog, 1, 300);
    pollUntil(*early, 301);
    const auto first = mPrinted;
    mPrinted.clear();
    auto late = follower();
    pollUntil(*late, 301);
    EXPECT_EQ(mPrinted, first);
    ASSERT_EQ(std::rename(mLog.c_str(), (mLog + ".1").c_str()), 0);
    write(mLog, 0, 0);
    write(mLog, 1000, 1000);
    pollUntil(*late, 303);
    EXPECT_EQ(mPrinted[302].first, "record 1000");
    EXPECT_EQ(mPrinted[302].second.substr(16), first[1].second.substr(16));
    EXPECT_NE(mPrinted[302].second, first[1].second);
}

// Stopped while its log was missing: a restart reads the generations rotated
// meanwhile first.
TEST_F(Follower, AMissingLogsGenerationsComeFirstAfterARestart) {
    auto waiting = follower();
    EXPECT_EQ(waiting->next(), nullptr);
    const std::vector<zorvlog::FollowPosition> saved = waiting->positions();
    waiting.reset();
    write(mLog, 1, 1);
    ASSERT_EQ(std::rename(mLog.c_str(), (mLog + ".1").c_str()), 0);
    write(mLog, 2, 2);
    auto resumed = follower(&saved);
    pollUntil(*resumed, 2);
    EXPECT_EQ(mPrinted[0].first, "record 1");
}

} // namespace
} // namespace zorvtest
