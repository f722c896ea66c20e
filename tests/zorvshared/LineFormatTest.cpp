#include "LineFormat.h"

#include "support/TestSupport.h"

#include <zorv/ZorvDelimitedFile.h>

#include <gtest/gtest.h>

using namespace zorvtest;

namespace {

// What the file writes, read back through the readers' definition: every line
// kind, both time forms.
TEST(LineFormat, TheWritersLinesAreReadBackFieldByField) {
    IsolatedHome home;
    TempDir dir;
    ZorvDelimitedFile file(TStr(dir.file("out.log")));
    std::list<TStr> items{TStr("ZorvQet"), TStr("a message")};
    file.updateCurrentSection(false);
    file.write(TStr("Reason"), TStr("disk full"));
    file.writeDebugLog(items, TStr("\t"));
    file.updateCurrentSection(true);
    file.writeDebugLog(items, TStr(","));
    file.close();
    const std::vector<std::string> lines = splitLines(readFile(dir.file("out.log")));
    ASSERT_EQ(lines.size(), 3u);
    const std::string payloads[] = {"Reason=disk full", "ZorvQet\ta message\t",
                                    "ZorvQet,a message,"};
    const char separators[] = {'\t', '\t', ','};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        zorv_detail::SectionMatch match;
        ASSERT_TRUE(zorv_detail::matchSection(lines[i], match)) << lines[i];
        EXPECT_EQ(match.pid, std::to_string(::getpid()));
        EXPECT_EQ(match.separator, separators[i]);
        EXPECT_EQ(lines[i].substr(match.payload), payloads[i]);
    }
}

TEST(LineFormat, ReadersAcceptMoreThanTheWriterWritesButNoLineWithoutSection) {
    zorv_detail::SectionMatch match;
    // Zero-padded milliseconds, none at all, numbers out of the calendar.
    ASSERT_TRUE(zorv_detail::matchSection("12\t2026/12/06\t17:05:09:007\tx=1", match));
    EXPECT_EQ(match.time, "17:05:09:007");
    ASSERT_TRUE(zorv_detail::matchSection("12,2026/0/-1,-1:00:60:,a,", match));
    EXPECT_EQ(match.date, "2026/0/-1");
    EXPECT_EQ(match.time, "-1:00:60:");
    for (const char* line : {"", "12", "12\t2026/12/06\t17:05:09", "x12\t2026/12/06\t17:05:09\ta",
                             "12\t2026/12/06,17:05:09,a", "12\t2026/12\t17:05:09\ta",
                             "-12\t2026/12/06\t17:05:09\ta", "12\t2026/12/06\t17:05\ta"}) {
        EXPECT_FALSE(zorv_detail::matchSection(line, match)) << line;
    }
}

} // namespace
