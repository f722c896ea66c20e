// The names logrotate gives a log's generations and their order, asked of
// follow's rules directly, on real files.
#include "read/RotationNames.h"
#include "read/PathName.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

namespace zorvtest {
namespace {

// A path cut into its directory and name at the edges: a bare name, a file
// in the root, a relative path.
TEST(RotationNames, DirectoryAndNameOfAPath) {
    EXPECT_EQ(zorvlog::directoryOf("a.log"), ".");
    EXPECT_EQ(zorvlog::directoryOf("/a.log"), "/");
    EXPECT_EQ(zorvlog::directoryOf("/var/log/a.log"), "/var/log");
    EXPECT_EQ(zorvlog::directoryOf("logs/a.log"), "logs");
    EXPECT_EQ(zorvlog::baseNameOf("a.log"), "a.log");
    EXPECT_EQ(zorvlog::baseNameOf("/var/log/a.log"), "a.log");
}

TEST(RotationNames, TheChainHoldsOnlyTheLogsGenerationsOldestFirst) {
    TempDir dir;
    for (const char* name :
         {"a.log",       "a.log.1",        "a.log.2",           "a.log.2.gz",
          "a.log.12.gz", "a.log-20261206", "a.log-20261205.gz", "a.log.20261207",
          "a.log.bak",   "a.log.1.bak",    "a.log.x1",          "a.log-1",
          "b.log.1",     "a.log.3.xz",     "a.1.log",           "a-20261206.log.gz",
          "a.log.4.zst", "a.log.5.bz2",    "a.log.6.lz4",       "old/a.log.7.xz",
          "old/a.log.4", "old/b.log.8"}) {
        ::mkdir(dir.file("old").c_str(), 0700);
        writeFile(dir.file(name), "x");
    }
    std::vector<std::pair<std::string, std::string>> unreadable;
    std::vector<std::string> chain;
    for (const zorvlog::RotatedFile& file :
         zorvlog::rotatedFiles(dir.file("a.log"), &unreadable, nullptr, "old")) {
        chain.push_back(file.path.substr(dir.path().size() + 1));
    }
    EXPECT_EQ(chain,
              (std::vector<std::string>{"a.log-20261205.gz", "a.log-20261206", "a.log.20261207",
                                        "a.log.12.gz", "old/a.log.7.xz", "a.log.5.bz2",
                                        "old/a.log.4", "a.log.3.xz", "a.log.2", "a.log.1"}));
    std::vector<std::string> named;
    for (const auto& file : unreadable) {
        named.push_back(file.first.substr(dir.path().size() + 1));
    }
    std::sort(named.begin(), named.end());
    EXPECT_EQ(named, (std::vector<std::string>{"a-20261206.log.gz", "a.1.log", "a.log.6.lz4"}));
}

} // namespace
} // namespace zorvtest
