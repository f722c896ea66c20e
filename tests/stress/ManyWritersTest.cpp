// Many writers on one file: processes and threads, each with loggers of their
// own, all writing multi-line records to one file while debug writers use a
// file of the same name elsewhere, and so the same mutex. Every record must
// come back whole, once, with its lines together.

#include "StressSupport.h"
#include "support/TestSupport.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvLogger.h>

#include <gtest/gtest.h>

#include <memory>
#include <sys/stat.h>
#include <thread>

using zorvtest::RoleProcess;

namespace {

// Every section start calls tzset. Without TZ, glibc frees and duplicates its
// copy of the zone name on every call, under a lock of its own that
// ThreadSanitizer cannot see, so loggers starting sections in two threads
// would be reported as a race that is none. With TZ set and unchanged, tzset
// only compares.
constexpr const char* kZone = "UTC0";

// Generous: the machine may be loaded, and the counts grow with the scale.
int childTimeoutMs() {
    return static_cast<int>(120000 * stress::scale());
}

void expectAllRecords(const stress::LogCheck& check, const std::vector<std::string>& writers,
                      long count) {
    for (const std::string& writer : writers) {
        auto found = check.records.find(writer);
        ASSERT_NE(found, check.records.end()) << "no record of " << writer;
        EXPECT_EQ(static_cast<long>(found->second.size()), count) << writer;
        if (!found->second.empty()) {
            EXPECT_EQ(*found->second.begin(), 0) << writer;
            EXPECT_EQ(*found->second.rbegin(), count - 1) << writer;
        }
    }
}

} // namespace

// The checker itself must see the faults the stress tests look for.
TEST(StressLogCheck, SeesInterleavedMissingAndTornRecords) {
    zorvtest::TempDir dir;
    const std::string a = dir.file("a.log");
    stress::writeRecords(a, "w", 0, 3);
    const std::string whole = zorvtest::readFile(a);
    stress::LogCheck good = stress::checkRecordLog(whole);
    EXPECT_TRUE(good.ok()) << good.summary();
    EXPECT_EQ(good.count(), 3);

    std::vector<std::string> lines = zorvtest::splitLines(whole);
    ASSERT_EQ(lines.size(), 15u);
    // Two records interleaved: lines 0-4 and 5-9 with one line swapped.
    std::vector<std::string> swapped = lines;
    std::swap(swapped[3], swapped[6]);
    std::string text;
    for (const std::string& l : swapped) {
        text += l + "\n";
    }
    EXPECT_FALSE(stress::checkRecordLog(text).ok());

    // A record cut short inside its third line, followed by a whole one.
    std::string torn;
    for (int i = 0; i < 2; ++i) {
        torn += lines[static_cast<std::size_t>(i)] + "\n";
    }
    torn += lines[2].substr(0, lines[2].size() / 2) + "\n";
    for (std::size_t i = 5; i < 10; ++i) {
        torn += lines[i] + "\n";
    }
    EXPECT_FALSE(stress::checkRecordLog(torn).ok()) << "a torn record of a writer that lives";
    stress::LogCheck allowed = stress::checkRecordLog(torn, {"w"});
    EXPECT_TRUE(allowed.ok()) << allowed.summary();
    EXPECT_EQ(allowed.torn, 1);
    EXPECT_EQ(allowed.count(), 1);

    // A changed byte in a value, and a line glued to the next.
    std::string corrupt = whole;
    corrupt[corrupt.size() / 2] = '#';
    EXPECT_FALSE(stress::checkRecordLog(corrupt, {"w"}).ok());
    std::string glued = whole;
    glued.erase(lines[0].size(), 1);
    EXPECT_FALSE(stress::checkRecordLog(glued, {"w"}).ok());
}

// 4 processes x 2 loggers (a thread each) on one file, plus 2 processes of
// debug records on a same-named file in the local data directory.
TEST(LongManyWriters, ProcessesAndDebugWritersOnOneMutex) {
    zorvtest::IsolatedHome home;
    zorvtest::ScopedEnv zone("TZ", kZone);
    zorvtest::ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    zorvtest::TempDir dir;
    const std::string file = dir.file("ZorvDebug.log"); // the debug logger's name
    const long count = 500 * stress::scale();

    std::vector<std::unique_ptr<RoleProcess>> children;
    std::vector<std::string> writers;
    for (int p = 0; p < 4; ++p) {
        const std::string prefix = "p" + std::to_string(p);
        children.push_back(std::make_unique<RoleProcess>(
            "writer", std::vector<std::string>{file, prefix, std::to_string(count), "2"}));
        writers.push_back(prefix + "t0");
        writers.push_back(prefix + "t1");
    }
    for (int d = 0; d < 2; ++d) {
        children.push_back(std::make_unique<RoleProcess>(
            "debug", std::vector<std::string>{"d" + std::to_string(d), std::to_string(count)}));
    }
    for (auto& child : children) {
        ASSERT_EQ(child->wait(childTimeoutMs()), 0);
    }

    const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file), {}, true);
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_EQ(check.count(), 8 * count);
    EXPECT_EQ(check.lines, 8 * count * stress::StressRecord::kLines);
    expectAllRecords(check, writers, count);

    const std::string debugFile = home.zorvDataDir() + "/ZorvDebug.log";
    const stress::LogCheck debugCheck = stress::checkDebugLog(zorvtest::readFile(debugFile));
    EXPECT_TRUE(debugCheck.ok()) << debugCheck.summary();
    EXPECT_EQ(debugCheck.count(), 2 * count);
    expectAllRecords(debugCheck, {"d0", "d1"}, count);
}

// Writers of two users on one shared file. The locks are per user, and one
// of them cannot have a lock at all: another user holds its name in /dev/shm
// and it has no home (no password entry). Only single writes keep the
// records apart; an empty line may come between two (a record put its LF
// before itself while another user's record was on its way).
TEST(LongManyWriters, TwoUsersOneWithoutALockShareAFile) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as other users";
    }
    const zorvtest::RunAs lockless = {61001, 61001};
    const zorvtest::RunAs other = {61002, 61002};
    const std::string denied = "/dev/shm/zorv-61001";
    const std::string otherLocks = "/dev/shm/zorv-61002";
    ASSERT_FALSE(zorvtest::fileExists(denied)) << "left over: " << denied;
    ASSERT_EQ(::mkdir(denied.c_str(), 0700), 0);
    ASSERT_EQ(::chown(denied.c_str(), other.uid, other.gid), 0);
    zorvtest::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string file = dir.file("shared.log");
    zorvtest::writeFile(file, "");
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    const long count = 400 * stress::scale();

    std::vector<std::unique_ptr<RoleProcess>> children;
    for (const zorvtest::RunAs* user : {&lockless, &lockless, &other, &other}) {
        const std::string prefix =
            "u" + std::to_string(user->uid) + "p" + std::to_string(children.size());
        zorvtest::ChildSetup setup;
        setup.runAs = user;
        children.push_back(std::make_unique<RoleProcess>(
            "writer", std::vector<std::string>{file, prefix, std::to_string(count), "2"}, setup));
    }
    for (auto& child : children) {
        EXPECT_EQ(child->wait(childTimeoutMs()), 0);
    }
    zorvtest::runProcess({"rm", "-rf", denied, otherLocks});

    const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file), {}, true);
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_EQ(check.count(), 8 * count);
}

// The same within one process: threads, each owning its loggers. Run under
// ThreadSanitizer too.
TEST(StressManyThreads, ThreadsWithLoggersOfTheirOwnOnOneMutex) {
    zorvtest::IsolatedHome home;
    zorvtest::ScopedEnv zone("TZ", kZone);
    zorvtest::ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    zorvtest::TempDir dir;
    const std::string file = dir.file("ZorvDebug.log");
    const long count = 60 * stress::scale();
    constexpr int kWriters = 6;
    constexpr int kDebugWriters = 2;

    std::vector<std::thread> threads;
    std::vector<std::string> writers;
    for (int t = 0; t < kWriters; ++t) {
        const std::string writer = "t" + std::to_string(t);
        writers.push_back(writer);
        threads.emplace_back(
            [&file, writer, count] { stress::writeRecords(file, writer, 0, count); });
    }
    for (int d = 0; d < kDebugWriters; ++d) {
        threads.emplace_back([&, d] {
            ZorvDebugLogger logger;
            logger.startLoggingWMilliSecs();
            for (long seq = 0; seq < count; ++seq) {
                ZorvDebugLog record(
                    Zorv::kZorvCore,
                    TStr(("d" + std::to_string(d) + ":" + std::to_string(seq)).c_str()));
                logger.log(record);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }

    const stress::LogCheck check = stress::checkRecordLog(zorvtest::readFile(file));
    EXPECT_TRUE(check.ok()) << check.summary();
    EXPECT_EQ(check.count(), kWriters * count);
    expectAllRecords(check, writers, count);

    const stress::LogCheck debugCheck =
        stress::checkDebugLog(zorvtest::readFile(home.zorvDataDir() + "/ZorvDebug.log"));
    EXPECT_TRUE(debugCheck.ok()) << debugCheck.summary();
    EXPECT_EQ(debugCheck.count(), kDebugWriters * count);
    expectAllRecords(debugCheck, {"d0", "d1"}, count);
}
