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
    // Lines long enough to be read by where their digits stand, read alike.
    const std::string pad(40, 'p');
    const std::string longMs = "17:05:09:" + std::string(60, '0') + "7";
    const std::pair<std::string, std::string> times[] = {
        {"12\t2026/12/06\t17:05:09:\t" + pad, "17:05:09:"},
        {"4000\t2026/12/06\t" + longMs + "\tx=" + pad, longMs},
        {"12,2026/0/-1,-1:00:60:,a" + pad, "-1:00:60:"},
        {"123456789012,2026/12/06,17:05:09,a" + pad, "17:05:09"}};
    for (const auto& [line, time] : times) {
        ASSERT_TRUE(zorv_detail::matchSection(line, match)) << line;
        EXPECT_EQ(match.time, time);
        EXPECT_EQ(line.substr(match.payload, 1), line.substr(line.find(time) + time.size() + 1, 1));
    }
    for (const std::string& line :
         {std::string(), std::string("12"), std::string("12\t2026/12/06\t17:05:09"),
          std::string("x12\t2026/12/06\t17:05:09\ta"), std::string("12\t2026/12/06,17:05:09,a"),
          std::string("12\t2026/12\t17:05:09\ta"), std::string("-12\t2026/12/06\t17:05:09\ta"),
          std::string("12\t2026/12/06\t17:05\ta"), "12\t2026/12/06,17:05:09,a" + pad,
          "12\t2026-12-06\t17:05:09\ta" + pad, "12\t2026/12/06\t17:05:09x" + pad,
          "12\t2026/12/06\t17:05:09:7x" + pad, "12\t2026/12/06\t" + longMs + "x" + pad,
          std::string(70, '7')}) {
        EXPECT_FALSE(zorv_detail::matchSection(line, match)) << line;
    }
}

} // namespace
