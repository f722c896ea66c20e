#include <zorv/CZorvUtilObjectManager.h>
#include <zorv/CZorvUtilSingleton.h>
#include <zorv/ZorvUtil.h>
#include <zorv/ZorvUtilVersion.h>

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>
#include <vector>

using zorvtest::ScopedEnv;
using zorvtest::TempDir;

namespace {

TEST(Locations, LocalUserDataFollowsXdgThenHome) {
    ScopedEnv dataHome("XDG_DATA_HOME", "/x/data");
    ScopedEnv home("HOME", "/h");
    EXPECT_EQ(ZorvUtil::getZorvLocalUserDataLocation(), TStr("/x/data/zorv"));
    {
        ScopedEnv relative("XDG_DATA_HOME", "relative/dir");
        EXPECT_EQ(ZorvUtil::getZorvLocalUserDataLocation(), TStr("/h/.local/share/zorv"));
    }
    {
        ScopedEnv unset("XDG_DATA_HOME", nullptr);
        EXPECT_EQ(ZorvUtil::getZorvLocalUserDataLocation(), TStr("/h/.local/share/zorv"));
        ScopedEnv noHome("HOME", nullptr);
        EXPECT_TRUE(ZorvUtil::getZorvLocalUserDataLocation().isEmpty());
    }
}

TEST(Locations, ErrorCodeFileIsSearchedInOrder) {
    TempDir dir;
    const std::string local = dir.file("data");
    const std::string sys1 = dir.file("sys1");
    const std::string sys2 = dir.file("sys2");
    for (const std::string& d :
         {local, local + "/zorv", sys1, sys1 + "/zorv", sys2, sys2 + "/zorv"}) {
        ::mkdir(d.c_str(), 0700);
    }
    ScopedEnv dataHome("XDG_DATA_HOME", local.c_str());
    ScopedEnv dataDirs("XDG_DATA_DIRS", (sys1 + ":relative:" + sys2).c_str());
    ScopedEnv noInstalled("ZORV_SKIP_INSTALLED_DATA", "1");

    // Nowhere yet, whether or not this build was installed.
    EXPECT_TRUE(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, "").isEmpty());
    zorvtest::writeFile(sys2 + "/zorv/ZorvErrorCodes.xml", "<x/>");
    EXPECT_EQ(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, ""),
              TStr(sys2 + "/zorv"));
    zorvtest::writeFile(sys1 + "/zorv/ZorvErrorCodes.xml", "<x/>");
    EXPECT_EQ(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, ""),
              TStr(sys1 + "/zorv"));
    zorvtest::writeFile(local + "/zorv/ZorvErrorCodes.xml", "<x/>");
    EXPECT_EQ(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, ""),
              TStr(local + "/zorv"));

    // Another file name, a directory of that name, and names that would
    // leave the searched directories.
    zorvtest::writeFile(sys2 + "/zorv/Other.xml", "<x/>");
    EXPECT_EQ(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, "Other.xml"),
              TStr(sys2 + "/zorv"));
    ::mkdir((local + "/zorv/Dir.xml").c_str(), 0700);
    EXPECT_TRUE(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, "Dir.xml").isEmpty());
    EXPECT_TRUE(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, "../zorv/Other.xml")
                    .isEmpty());
    EXPECT_TRUE(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvFileUnknown, "").isEmpty());

    // A table that another user could have written is passed over as if it
    // were missing: its descriptions would go into our records.
    ::chmod((local + "/zorv/ZorvErrorCodes.xml").c_str(), 0666);
    EXPECT_EQ(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, ""),
              TStr(sys1 + "/zorv"));
    ::chmod((sys1 + "/zorv").c_str(), 0777);
    EXPECT_EQ(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, ""),
              TStr(sys2 + "/zorv"));
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((sys2 + "/zorv/ZorvErrorCodes.xml").c_str(), 65534, 65534), 0);
        EXPECT_TRUE(ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, "").isEmpty());
    }
}

struct Recorder : CZorvUtilCleanup {
    explicit Recorder(std::vector<int>* log, int id) : mLog(log), mId(id) {}
    void cleanup(void* data) override {
        mLog->push_back(mId);
        if (data != nullptr) {
            ++*static_cast<int*>(data);
        }
    }
    std::vector<int>* mLog;
    int mId;
};

TEST(CleanupManager, RunsEachOnceNewestFirstAndHonoursWithdrawal) {
    std::vector<int> log;
    int calls = 0;
    Recorder a(&log, 1), b(&log, 2), c(&log, 3);
    CZorvUtilObjectManager::at_exit(&a, &calls);
    CZorvUtilObjectManager::at_exit(&b, &calls);
    CZorvUtilObjectManager::at_exit(&c, &calls);
    CZorvUtilObjectManager::at_exit(nullptr, nullptr);
    EXPECT_TRUE(CZorvUtilObjectManager::withdraw(&b));
    EXPECT_FALSE(CZorvUtilObjectManager::withdraw(&b));
    CZorvUtilObjectManager::runCleanups();
    EXPECT_EQ(log, (std::vector<int>{3, 1}));
    EXPECT_EQ(calls, 2);
    CZorvUtilObjectManager::runCleanups();
    EXPECT_EQ(log.size(), 2u);
}

// A client that registers and withdraws over and over keeps the process's
// exit handlers as they were: the manager's hook is not added again each time.
TEST(CleanupManager, RepeatedRegistrationsAddNoExitHandlers) {
    std::vector<int> log;
    Recorder a(&log, 1);
    CZorvUtilObjectManager::at_exit(&a, nullptr);
    CZorvUtilObjectManager::withdraw(&a);
    const long before = static_cast<long>(::mallinfo2().uordblks);
    for (int i = 0; i < 100000; ++i) {
        CZorvUtilObjectManager::at_exit(&a, nullptr);
        CZorvUtilObjectManager::withdraw(&a);
    }
    // glibc keeps 32 handlers in each block it allocates: 100,000 would
    // take over 3 MB.
    EXPECT_LT(static_cast<long>(::mallinfo2().uordblks) - before, 64 * 1024);
}

struct Counted {
    Counted() { ++alive; }
    ~Counted() { --alive; }
    static int alive;
};
int Counted::alive = 0;

TEST(CleanupManager, SingletonIsOneObjectUntilCleanedUp) {
    Counted* first = CZorvUtilSingleton<Counted>::instance();
    EXPECT_EQ(CZorvUtilSingleton<Counted>::instance(), first);
    EXPECT_EQ(Counted::alive, 1);
    EXPECT_NE(CZorvUtilSingleton<Counted>::instance_i(), nullptr);
    CZorvUtilObjectManager::runCleanups();
    EXPECT_EQ(Counted::alive, 0);
    EXPECT_EQ(CZorvUtilSingleton<Counted>::instance_i(), nullptr);
    CZorvUtilSingleton<Counted>::instance();
    EXPECT_EQ(Counted::alive, 1);
    CZorvUtilObjectManager::runCleanups();
}

TEST(Version, IsTheProjectVersion) {
    EXPECT_STREQ(zorvUtilVersionString(), "5.0.0");
}

} // namespace
