#include "RecordTestSupport.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvErrorBase.h>
#include <zorv/ZorvPerfLog.h>
#include <zorv/ZorvPerfLogger.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using recordtest::s;
using zorvtest::fileExists;
using zorvtest::readFile;
using zorvtest::ScopedEnv;
using zorvtest::splitLines;

namespace {

int entryCount(const std::string& dir) {
    int count = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            count += std::string(e->d_name) != "." && std::string(e->d_name) != "..";
        }
        ::closedir(d);
    }
    return count;
}

// Both switches start absent, whatever the environment of the test run holds.
class SwitchableLoggerTest : public ::testing::Test {
protected:
    std::string debugFile() const { return mHome.zorvDataDir() + "/ZorvDebug.log"; }
    std::string perfFile() const { return mHome.zorvDataDir() + "/ZorvPerfLog.csv"; }
    size_t lines(const std::string& path) const { return splitLines(readFile(path)).size(); }

    // Logs one record through a fresh logger of each kind, as the environment now says.
    void logThroughBoth() {
        ZorvDebugLogger debug;
        ZorvPerfLogger perf;
        debug.startLogging();
        perf.startLogging();
        debug.log(mDebugRecord);
        perf.log(&mPerfRecord);
    }

    zorvtest::IsolatedHome mHome;
    ScopedEnv mDebugSwitch{"ZORV_DEBUG_MODE", nullptr};
    ScopedEnv mPerfSwitch{"ZORV_PERF_LOG", nullptr};
    ZorvDebugLog mDebugRecord{Zorv::kZorvQet, TStr("hello")};
    ZorvPerfLog mPerfRecord{Zorv::kZorvQet, ZorvPerfLogData()};
};

class SwitchValueTest : public SwitchableLoggerTest,
                        public ::testing::WithParamInterface<const char*> {};

} // namespace

TEST_F(SwitchableLoggerTest, AbsentSwitchesWriteNothingYetMakeTheDirectory) {
    const mode_t old = ::umask(0);
    ZorvDebugLogger debug;
    ::umask(old);
    struct stat st;
    ASSERT_EQ(0, ::stat(mHome.zorvDataDir().c_str(), &st));
    EXPECT_EQ(0770u, st.st_mode & 0777u);
    EXPECT_EQ(debugFile(), s(debug.getLogFileName()));
    EXPECT_EQ(perfFile(), s(ZorvPerfLogger().getLogFileName()));

    logThroughBoth();
    EXPECT_EQ(0, entryCount(mHome.zorvDataDir()));
}

TEST_P(SwitchValueTest, AnyValueSwitchesOnlyItsOwnLogger) {
    {
        ScopedEnv on("ZORV_DEBUG_MODE", GetParam());
        logThroughBoth();
    }
    EXPECT_EQ(1u, lines(debugFile()));
    EXPECT_FALSE(fileExists(perfFile()));
    {
        ScopedEnv on("ZORV_PERF_LOG", GetParam());
        logThroughBoth();
    }
    EXPECT_EQ(1u, lines(debugFile()));
    EXPECT_EQ(1u, lines(perfFile()));
}

INSTANTIATE_TEST_SUITE_P(Values, SwitchValueTest, ::testing::Values("", "0", "1"));

TEST_F(SwitchableLoggerTest, EnvironmentIsReadOnlyAtConstruction) {
    ZorvDebugLogger off;
    off.startLogging();
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ZorvDebugLogger enabled;
    enabled.startLogging();
    off.log(mDebugRecord);
    EXPECT_FALSE(fileExists(debugFile()));

    ::unsetenv("ZORV_DEBUG_MODE");
    enabled.log(mDebugRecord);
    enabled.log(static_cast<ZorvLoggable*>(nullptr));
    EXPECT_EQ(1u, lines(debugFile()));

    // Asking again once the variable is there is the one way to switch on later.
    ::setenv("ZORV_DEBUG_MODE", "", 1);
    off.checkIfDebugLogIsEnabled();
    off.log(mDebugRecord);
    EXPECT_EQ(2u, lines(debugFile()));
}

TEST_F(SwitchableLoggerTest, ErrorTableIsNotLoadedEvenWhenOneIsThere) {
    recordtest::installErrorTable(mHome);
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ZorvDebugLogger debug;
    debug.startLogging();
    ZorvErrorBase record(Zorv::kBrakka, 42, TStr("f.cpp"), 1, TStr("11.4"));
    debug.log(record);
    const std::string text = readFile(debugFile());
    EXPECT_NE(std::string::npos, text.find("\tVendorID=3\n"));
    EXPECT_NE(std::string::npos, text.find("\tVendorError=42\n"));
    EXPECT_EQ(std::string::npos, text.find("11.4"));
}

TEST_F(SwitchableLoggerTest, PathIsJoinedWithOneSlashEvenWhenTheDirectoryCannotBeMade) {
    // A plain file where the data directory should go: it cannot be made.
    const std::string blocker = mHome.root() + "/blocker";
    zorvtest::writeFile(blocker, "");
    ScopedEnv dataHome("XDG_DATA_HOME", blocker.c_str());
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    EXPECT_EQ(blocker + "/zorv/ZorvDebug.log", s(ZorvDebugLogger().getLogFileName()));
    EXPECT_EQ(blocker + "/zorv/ZorvPerfLog.csv", s(ZorvPerfLogger().getLogFileName()));
    logThroughBoth();
    EXPECT_EQ("", readFile(blocker));
}

TEST_F(SwitchableLoggerTest, NoLocationMeansNoFileAnywhere) {
    ScopedEnv noDataHome("XDG_DATA_HOME", nullptr);
    ScopedEnv noHome("HOME", nullptr);
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "1");
    ScopedEnv perfOn("ZORV_PERF_LOG", "1");
    EXPECT_EQ(TStr(), ZorvDebugLogger().getLogFileName());
    EXPECT_EQ(TStr(), ZorvPerfLogger().getLogFileName());

    zorvtest::TempDir cwd;
    char saved[4096];
    ASSERT_NE(nullptr, ::getcwd(saved, sizeof saved));
    ASSERT_EQ(0, ::chdir(cwd.path().c_str()));
    logThroughBoth();
    const int left = entryCount(cwd.path());
    ASSERT_EQ(0, ::chdir(saved));
    EXPECT_EQ(0, left);
}

// A data directory that is missing or refused when a record comes is judged
// again at the next record: once it is there and sound, records are written.
TEST_F(SwitchableLoggerTest, ADirectoryRefusedOnceIsJudgedAgain) {
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ZorvDebugLogger debug;
    debug.startLogging();
    const std::string dir = mHome.zorvDataDir();
    ASSERT_EQ(0, ::rmdir(dir.c_str()));
    debug.log(mDebugRecord);
    ASSERT_EQ(0, ::mkdir(dir.c_str(), 0777));
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0777));
    debug.log(mDebugRecord);
    EXPECT_FALSE(fileExists(debugFile()));
    ASSERT_EQ(0, ::chmod(dir.c_str(), 0700));
    debug.log(mDebugRecord);
    EXPECT_EQ(1u, lines(debugFile()));
}
