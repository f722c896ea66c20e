#include "RecordTestSupport.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvDebugLogger.h>
#include <zorv/ZorvErrorBase.h>
#include <zorv/ZorvPerfLog.h>
#include <zorv/ZorvPerfLogger.h>
#include <zorv/ZorvUtilVersion.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using recordtest::s;
using zorvtest::fileExists;
using zorvtest::readFile;
using zorvtest::ScopedEnv;
using zorvtest::splitLines;

namespace {

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    return names;
}

// Both switches start absent, whatever the environment of the test run holds.
class SwitchableLoggerTest : public ::testing::Test {
protected:
    SwitchableLoggerTest()
        : mDebugSwitch("ZORV_DEBUG_MODE", nullptr), mPerfSwitch("ZORV_PERF_LOG", nullptr),
          mUname("Linux host1 2.6.18 #1\n") {}

    std::string debugFile() const { return mHome.zorvDataDir() + "/ZorvDebug.log"; }
    std::string perfFile() const { return mHome.zorvDataDir() + "/ZorvPerfLog.csv"; }

    zorvtest::IsolatedHome mHome;
    ScopedEnv mDebugSwitch;
    ScopedEnv mPerfSwitch;
    recordtest::MarkingUname mUname;
    ZorvDebugLog mDebugRecord{Zorv::kZorvQet, TStr("hello")};
    ZorvPerfLog mPerfRecord{Zorv::kZorvQet, ZorvPerfLogData()};
};

} // namespace

TEST_F(SwitchableLoggerTest, AbsentSwitchWritesNothingYetMakesTheDirectory) {
    ASSERT_FALSE(isDirectory(mHome.zorvDataDir()));
    ZorvDebugLogger debug;
    ZorvPerfLogger perf;
    EXPECT_TRUE(isDirectory(mHome.zorvDataDir()));
    EXPECT_EQ(debugFile(), s(debug.getLogFileName()));
    EXPECT_EQ(perfFile(), s(perf.getLogFileName()));

    debug.startLogging();
    perf.startLogging();
    debug.log(mDebugRecord);
    debug.log(&mDebugRecord);
    perf.log(mPerfRecord);
    perf.log(&mPerfRecord);
    EXPECT_TRUE(entries(mHome.zorvDataDir()).empty());
    EXPECT_EQ(0, mUname.runs());
}

TEST_F(SwitchableLoggerTest, DirectoryIsMadeForTheGroupToo) {
    const mode_t old = ::umask(0);
    ZorvDebugLogger debug;
    ::umask(old);
    struct stat st;
    ASSERT_EQ(0, ::stat(mHome.zorvDataDir().c_str(), &st));
    EXPECT_EQ(0770u, st.st_mode & 0777u);
}

class SwitchValueTest : public SwitchableLoggerTest,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(SwitchValueTest, AnyValueSwitchesTheDebugLoggerOn) {
    ScopedEnv on("ZORV_DEBUG_MODE", GetParam());
    ZorvDebugLogger debug;
    debug.startLogging();
    debug.log(mDebugRecord);
    EXPECT_EQ(s(debug.getHeader()) + "\tZorvQet\thello\t\n", readFile(debugFile()));
}

TEST_P(SwitchValueTest, AnyValueSwitchesThePerfLoggerOn) {
    ScopedEnv on("ZORV_PERF_LOG", GetParam());
    ZorvPerfLogger perf;
    perf.startLogging();
    perf.log(&mPerfRecord);
    EXPECT_EQ(s(perf.mLogFile.getCurrentSection(TStr(","))) + ",2.6.18,host1," +
                  zorvUtilVersionString() + ",NA:NA,NA:NA,ZorvQet,NA,\n",
              readFile(perfFile()));
}

INSTANTIATE_TEST_SUITE_P(Values, SwitchValueTest, ::testing::Values("", "0", "1", "off"));

TEST_F(SwitchableLoggerTest, EnvironmentIsReadOnlyAtConstruction) {
    ZorvDebugLogger off;
    {
        ScopedEnv on("ZORV_DEBUG_MODE", "1");
        ZorvDebugLogger on_;
        on_.startLogging();
        off.startLogging();
        // Set after construction: the first logger stays off.
        off.log(mDebugRecord);
        EXPECT_FALSE(fileExists(debugFile()));
        on_.log(mDebugRecord);
        // Removed after construction: the second one stays on.
        ::unsetenv("ZORV_DEBUG_MODE");
        on_.log(mDebugRecord);
        EXPECT_EQ(2u, splitLines(readFile(debugFile())).size());

        // Asking again after the variable is set is the one way to switch on.
        ::setenv("ZORV_DEBUG_MODE", "", 1);
        off.checkIfDebugLogIsEnabled();
        off.log(mDebugRecord);
        EXPECT_EQ(3u, splitLines(readFile(debugFile())).size());
    }
}

TEST_F(SwitchableLoggerTest, EachVariableSwitchesOnlyItsOwnLogger) {
    {
        ScopedEnv perfOn("ZORV_PERF_LOG", "1");
        ZorvDebugLogger debug;
        ZorvPerfLogger perf;
        debug.startLogging();
        perf.startLogging();
        debug.log(mDebugRecord);
        perf.log(mPerfRecord);
        EXPECT_FALSE(fileExists(debugFile()));
        EXPECT_EQ(1u, splitLines(readFile(perfFile())).size());
    }
    ::unlink(perfFile().c_str());
    {
        ScopedEnv debugOn("ZORV_DEBUG_MODE", "1");
        ZorvDebugLogger debug;
        ZorvPerfLogger perf;
        debug.startLogging();
        perf.startLogging();
        debug.log(mDebugRecord);
        perf.log(mPerfRecord);
        EXPECT_FALSE(fileExists(perfFile()));
        EXPECT_EQ(1u, splitLines(readFile(debugFile())).size());
    }
}

TEST_F(SwitchableLoggerTest, NullRecordOnAnEnabledLoggerDoesNothing) {
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ZorvDebugLogger debug;
    debug.startLogging();
    debug.log(static_cast<ZorvLoggable*>(nullptr));
    EXPECT_FALSE(fileExists(debugFile()));
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
    EXPECT_EQ(6u, splitLines(text).size()); // no version line without a vendor name

    // A client may still load it.
    ASSERT_TRUE(debug.loadErrorTable());
    debug.log(record);
    EXPECT_NE(std::string::npos, readFile(debugFile()).find("\tVendorID=3 [N]\n"));
}

TEST_F(SwitchableLoggerTest, ClientMayRedirectTheLogger) {
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    zorvtest::TempDir elsewhere;
    ZorvDebugLogger debug;
    debug.setLogFileName(TStr(elsewhere.file("mine.log")));
    debug.setLogFileName(TStr("")); // ignored
    debug.startLogging();
    debug.log(mDebugRecord);
    EXPECT_EQ(1u, splitLines(readFile(elsewhere.file("mine.log"))).size());
    EXPECT_FALSE(fileExists(debugFile()));
}

TEST_F(SwitchableLoggerTest, PathIsJoinedWithOneSlashEvenWhenTheDirectoryCannotBeMade) {
    // A plain file where the data directory should go: mkpath must fail.
    const std::string blocker = mHome.root() + "/blocker";
    zorvtest::writeFile(blocker, "");
    ScopedEnv dataHome("XDG_DATA_HOME", blocker.c_str());
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ScopedEnv perfOn("ZORV_PERF_LOG", "1");

    ZorvDebugLogger debug;
    ZorvPerfLogger perf;
    EXPECT_EQ(blocker + "/zorv/ZorvDebug.log", s(debug.getLogFileName()));
    EXPECT_EQ(blocker + "/zorv/ZorvPerfLog.csv", s(perf.getLogFileName()));
    debug.startLogging();
    debug.log(mDebugRecord);
    EXPECT_EQ("", readFile(blocker));
    EXPECT_FALSE(fileExists(mHome.root() + "/blockerZorvDebug.log"));
    EXPECT_FALSE(fileExists(blocker + "/zorvZorvDebug.log"));
}

TEST_F(SwitchableLoggerTest, NoLocationMeansNoFileAnywhere) {
    ScopedEnv noDataHome("XDG_DATA_HOME", nullptr);
    ScopedEnv noHome("HOME", nullptr);
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ScopedEnv perfOn("ZORV_PERF_LOG", "1");
    zorvtest::TempDir cwd;
    char saved[4096];
    ASSERT_NE(nullptr, ::getcwd(saved, sizeof saved));
    ASSERT_EQ(0, ::chdir(cwd.path().c_str()));
    {
        ZorvDebugLogger debug;
        ZorvPerfLogger perf;
        EXPECT_EQ(TStr(), debug.getLogFileName());
        EXPECT_EQ(TStr(), perf.getLogFileName());
        debug.startLogging();
        perf.startLogging();
        debug.log(mDebugRecord);
        perf.log(mPerfRecord);
    }
    const std::vector<std::string> left = entries(cwd.path());
    ASSERT_EQ(0, ::chdir(saved));
    EXPECT_TRUE(left.empty()) << left.front();
    EXPECT_TRUE(entries(mHome.root() + "/home").empty());
}

TEST_F(SwitchableLoggerTest, DebugAndPerfRecordsReachTheirDefaultFiles) {
    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    ScopedEnv perfOn("ZORV_PERF_LOG", "1");
    ZorvDebugLogger debug;
    ZorvPerfLogger perf;
    debug.startLoggingWMilliSecs();
    perf.startLogging();
    for (int i = 0; i < 3; ++i) {
        debug.log(mDebugRecord);
        perf.log(mPerfRecord);
    }
    EXPECT_EQ(3u, splitLines(readFile(debugFile())).size());
    const std::vector<std::string> rows = splitLines(readFile(perfFile()));
    ASSERT_EQ(3u, rows.size());
    EXPECT_EQ(s(perf.mLogFile.getCurrentSection(TStr(","))) + ",2.6.18,host1," +
                  zorvUtilVersionString() + ",NA:NA,NA:NA,ZorvQet,NA,",
              rows[2]);
}
