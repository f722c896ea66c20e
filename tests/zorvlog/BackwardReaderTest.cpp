// A log read from its end, called directly: the same entries as a reader
// from the start makes, newest first, wherever the pieces begin.
#include "read/BackwardReader.h"
#include "ReaderSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>

namespace zorvtest {
namespace {

// An entry as parse --json prints it, without the line numbers, which only
// a reader from the start knows.
std::string withoutLines(const zorvlog::LogEntry& entry) {
    nlohmann::json object = entryJson(entry);
    object.erase("lines");
    return object.dump();
}

TEST(BackwardReader, NewestFirstAsTheForwardReaderGroupsWhereverPiecesStart) {
    TempDir dir;
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const std::string log = mixedLog(seed, 600);
        writeFile(dir.file("a.log"), log);
        std::vector<std::string> expected;
        for (const zorvlog::LogEntry& entry : groupedEntries(log)) {
            expected.insert(expected.begin(), withoutLines(entry));
        }
        for (std::size_t piece : {1, 97, 2000}) {
            std::vector<std::string> got;
            std::uint64_t zeros = 0;
            zorvlog::BackwardReader reader(
                ::open(dir.file("a.log").c_str(), O_RDONLY | O_CLOEXEC), log.size(),
                [&](std::uint64_t, std::uint64_t length) { zeros += length; }, piece);
            ASSERT_TRUE(reader.read([&](zorvlog::LogEntry& entry) {
                EXPECT_EQ(entry.firstLine, 0u);
                got.push_back(withoutLines(entry));
                return true;
            })) << reader.error();
            EXPECT_EQ(got, expected) << "seed " << seed << ", first piece " << piece;
            // Every run of zero bytes said once.
            EXPECT_EQ(zeros, static_cast<std::uint64_t>(std::count(log.begin(), log.end(), '\0')));
        }
        // Asked for the last three only: no more.
        std::size_t handed = 0;
        zorvlog::BackwardReader last(::open(dir.file("a.log").c_str(), O_RDONLY | O_CLOEXEC),
                                     log.size(), nullptr);
        ASSERT_TRUE(last.read([&](zorvlog::LogEntry&) { return ++handed < 3; }));
        EXPECT_EQ(handed, 3u);
    }
}

} // namespace
} // namespace zorvtest
