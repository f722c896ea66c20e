#include "qet/QETBoundedWait.h"

#include "support/TestSupport.h"

#include <zorv/ZorvDebugLog.h>
#include <zorv/ZorvMutex.h>

#include <gtest/gtest.h>

using namespace zorvtest;

namespace {

// QET's debug logger writes only when the variable switches it on, as the
// library's own does, and counts the waits for the log's mutex that ran out.
TEST(QetBoundedWait, TheDebugLoggerWritesWhenSwitchedOnAndCountsWaitsGivenUp) {
    IsolatedLocks home;
    const std::string log = home.zorvDataDir() + "/ZorvDebug.log";
    ZorvDebugLog record(Zorv::kZorvQet, TStr("hello"));
    {
        ScopedEnv off("ZORV_DEBUG_MODE", nullptr);
        QETBoundedWait<ZorvDebugLogger> logger;
        logger.startLogging();
        logger.log(record);
    }
    EXPECT_FALSE(fileExists(log));

    ScopedEnv on("ZORV_DEBUG_MODE", "1");
    QETBoundedWait<ZorvDebugLogger> logger;
    logger.startLogging();
    const long before = QETLogLocks::waitsGivenUp();
    logger.log(record);
    EXPECT_EQ(before, QETLogLocks::waitsGivenUp());
    ZorvMutex held; // through another object of this thread: never waited for
    ASSERT_TRUE(held.create(TStr("ZorvDebug.log.Mutex")));
    ASSERT_TRUE(held.lock(0));
    logger.log(record);
    EXPECT_EQ(before + 1, QETLogLocks::waitsGivenUp());
    EXPECT_EQ(2u, splitLines(readFile(log)).size());
}

} // namespace
