#ifndef ZORV_TEST_ZORVLOGFIXTURE_H
#define ZORV_TEST_ZORVLOGFIXTURE_H

#include "support/CapturedProcess.h"
#include "support/TestSupport.h"
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace zorvtest {

// A small table for the records of the tests: vendor 3 named, code 42 described.
extern const char* const kTestTable;

// Each member of `expected` is in `entry` with that value (the others are not looked at).
inline void expectMembers(const nlohmann::json& entry, const nlohmann::json& expected) {
    for (const auto& member : expected.items()) {
        EXPECT_EQ(entry.value(member.key(), nlohmann::json("<missing>")), member.value())
            << member.key() << " in " << entry.dump();
    }
}

// Every test gets a home (state directory and lock place) of its own, a known "uname -a", no
// logging switches from the caller's environment, and the test table where the library looks.
class ZorvlogTest : public ::testing::Test {
protected:
    ZorvlogTest();

    // Runs the real zorvlog binary.
    CapturedProcess zorvlog(const std::vector<std::string>& args, const std::string& input = "");

    // The lines of a file with the section (process id, date, time and the
    // separator after them) cut off; the separator is a tab or a comma.
    static std::vector<std::string> payloads(const std::string& path, char separator = '\t');
    // The section fields of every line.
    static std::vector<std::vector<std::string>> sections(const std::string& path,
                                                          char separator = '\t');

    // A gzip file of the given pieces in turn, each a member of its own repeated
    // as often as it says: gigabytes of plain text from a few megabytes.
    static void writeGzip(const std::string& path,
                          const std::vector<std::pair<std::string, int>>& pieces);

    void installTable(const std::string& xml);
    std::string tablePath() const { return mHome.zorvDataDir() + "/ZorvErrorCodes.xml"; }

    IsolatedLocks mHome;
    TempDir mDir;
    FakeUname mUname{"Linux testhost 5.10.0-test #1 SMP Tue x86_64 GNU/Linux\n"};
    ScopedEnv mDebugOff{"ZORV_DEBUG_MODE", nullptr};
    ScopedEnv mPerfOff{"ZORV_PERF_LOG", nullptr};
};

} // namespace zorvtest

#endif
