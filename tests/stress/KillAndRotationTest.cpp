// Writers killed in the middle of their records, and a log file renamed away
// under running writers, as a rotation tool does.

#include "StressSupport.h"
#include "support/TestSupport.h"

#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using zorvtest::RoleProcess;

namespace {

// The wait limit the logger gives its mutex. A survivor's call that lasted
// this long waited it out: it met a mutex its dead holder never released.
constexpr long long kLockLimitMs = 10000;

int childTimeoutMs() {
    return static_cast<int>(300000 * stress::scale());
}

ino_t inodeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// "rotated-writer FILE WRITER COUNT": COUNT records; after a third and after
// two thirds of them it waits until the file it wrote to has been renamed
// away, so that its run sees at least two rotations however it is scheduled.
int roleRotatedWriter(const std::vector<std::string>& a) {
    if (a.size() != 3) {
        return 90;
    }
    ZorvLogger logger(false);
    logger.setLogFileName(TStr(a[0].c_str()));
    logger.startLogging();
    const long count = std::atol(a[2].c_str());
    for (long seq = 0; seq < count; ++seq) {
        logger.log(stress::StressRecord(a[1], seq));
        const ino_t written = seq == count / 3 || seq == 2 * count / 3 ? inodeOf(a[0]) : 0;
        if (written != 0 && !zorvtest::eventually([&] { return inodeOf(a[0]) != written; })) {
            return 91;
        }
    }
    return 0;
}

[[maybe_unused]] const bool kRoleRegistered =
    zorvtest::registerRole("rotated-writer", roleRotatedWriter);

} // namespace

TEST(LongKilledWriters, SigkillInsideRecordsStallsNoOneAndTearsOnlyTheDead) {
    zorvtest::IsolatedHome home;
    zorvtest::TempDir dir;
    const std::string file = dir.file("killed.log");
    const long count = 400 * stress::scale();
    const int minimumKills = static_cast<int>(12 * stress::scale());

    std::vector<std::unique_ptr<RoleProcess>> survivors;
    std::vector<std::string> results;
    for (int s = 0; s < 2; ++s) {
        results.push_back(dir.file("longest-" + std::to_string(s)));
        survivors.push_back(std::make_unique<RoleProcess>(
            "writer", std::vector<std::string>{file, "s" + std::to_string(s), std::to_string(count),
                                               "1", results.back()}));
    }

    // Each victim writes without pause and dies at a random moment after its
    // first record, most often inside log(), holding the mutex or in the
    // middle of its write.
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> lifetime(0, 20);
    std::set<std::string> victims;
    auto survivorsRunning = [&] { return survivors[0]->running() || survivors[1]->running(); };
    // At least this many kills, and on for as long as the survivors write.
    int k = 0;
    for (; k < minimumKills || survivorsRunning(); ++k) {
        const std::string name = "k" + std::to_string(k);
        victims.insert(name);
        const std::string writing = dir.file(name + ".writing");
        RoleProcess victim("endless", {file, name, writing});
        ASSERT_TRUE(zorvtest::eventually([&] { return zorvtest::fileExists(writing); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(lifetime(random)));
        victim.kill(SIGKILL);
        EXPECT_EQ(victim.wait(zorvtest::kEventLimitMs), 128 + SIGKILL);
    }
    for (auto& survivor : survivors) {
        ASSERT_EQ(survivor->wait(childTimeoutMs()), 0);
    }
    const int kills = k;

    // No record of a survivor waited out the lock limit: a dead holder gave
    // the mutex up at once.
    for (const std::string& result : results) {
        const long long longest = std::atoll(zorvtest::readFile(result).c_str());
        EXPECT_LT(longest, kLockLimitMs) << "one log call waited out the lock's limit";
    }

    const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file), victims);
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_LE(check.torn, kills) << check.summary();
    std::printf("[ stats    ] %d writers killed, %ld torn fragments, %ld records whole\n", kills,
                check.torn, check.count());
    for (int s = 0; s < 2; ++s) {
        const auto found = check.records.find("s" + std::to_string(s) + "t0");
        ASSERT_NE(found, check.records.end());
        EXPECT_EQ(static_cast<long>(found->second.size()), count);
    }
}

TEST(LongRotation, RenamedAwayManyTimesEveryRecordLandsWholeInOneFile) {
    zorvtest::IsolatedHome home;
    zorvtest::TempDir dir;
    const std::string file = dir.file("rotated.log");
    const long count = 600 * stress::scale();
    constexpr int kWriters = 3;

    std::vector<std::unique_ptr<RoleProcess>> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(std::make_unique<RoleProcess>(
            "rotated-writer",
            std::vector<std::string>{file, "r" + std::to_string(w), std::to_string(count)}));
    }
    // This process is the rotation tool: it renames the file away, without
    // any lock, as often as it can while the writers run.
    std::vector<std::string> rotated;
    auto anyRunning = [&] {
        for (auto& w : writers) {
            if (w->running()) {
                return true;
            }
        }
        return false;
    };
    while (anyRunning()) {
        const std::string target = file + "." + std::to_string(rotated.size() + 1);
        if (std::rename(file.c_str(), target.c_str()) == 0) {
            rotated.push_back(target);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (auto& w : writers) {
        ASSERT_EQ(w->wait(childTimeoutMs()), 0);
    }
    ASSERT_GE(rotated.size(), 2u);
    std::printf("[ stats    ] %zu rotations\n", rotated.size());

    std::vector<std::string> files = rotated;
    if (zorvtest::fileExists(file)) {
        files.push_back(file);
    }
    std::map<std::string, std::multiset<long>> all;
    for (const std::string& f : files) {
        const std::string text = zorvtest::readFile(f);
        // Every file, the first after each rotation included, begins with the
        // first line of a record and holds whole records only.
        EXPECT_FALSE(text.empty()) << f;
        const stress::LogCheck check = stress::checkRecordLog(text);
        EXPECT_TRUE(check.ok()) << f << ": " << check.summary();
        for (const auto& entry : check.records) {
            all[entry.first].insert(entry.second.begin(), entry.second.end());
        }
    }
    for (int w = 0; w < kWriters; ++w) {
        const std::multiset<long>& seqs = all["r" + std::to_string(w)];
        EXPECT_EQ(static_cast<long>(seqs.size()), count) << "lost or doubled records";
        EXPECT_EQ(static_cast<long>(std::set<long>(seqs.begin(), seqs.end()).size()), count);
    }
}

TEST(StressRotation, DeletedFileIsCreatedAgain) {
    zorvtest::TempDir dir;
    const std::string file = dir.file("deleted.log");
    stress::writeRecords(file, "a", 0, 2);
    ASSERT_EQ(::unlink(file.c_str()), 0);
    stress::writeRecords(file, "b", 0, 3);
    const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file));
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_EQ(check.records.count("a"), 0u);
    EXPECT_EQ(check.seqs("b").size(), 3u);
}
