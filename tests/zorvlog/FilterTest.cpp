// The filters of parse and follow and the times they take, called directly.
#include "ReaderSupport.h"
#include "read/EntryFilter.h"
#include "read/TimeArgument.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace zorvtest {
namespace {

using zorvlog::ArgParser;
using zorvlog::EntryFilter;

// 2026-12-08 10:00:00 in the zone below (09:00:00 UTC), a Tuesday.
const std::int64_t kNow = 1796720400;
const char* const kZone = "CET-1CEST,M3.5.0,M10.5.0/3";

std::int64_t timeOf(const std::string& text) {
    std::int64_t seconds = 0;
    EXPECT_TRUE(zorvlog::parseTimeArgument(text, kNow, seconds)) << text;
    return seconds;
}

TEST(TimeArgument, EveryFormInTheLocalZone) {
    ScopedEnv zone("TZ", kZone);
    const std::int64_t midnight = kNow - 10 * 3600;
    EXPECT_EQ(timeOf("2026-12-08 09:30:00"), kNow - 1800);
    EXPECT_EQ(timeOf("2026/12/08 09:30"), kNow - 1800);
    EXPECT_EQ(timeOf("2026-12-08T09:30:15.250"), kNow - 1785);
    EXPECT_EQ(timeOf("2026/12/08 09:30:15:7"), kNow - 1785);
    EXPECT_EQ(timeOf("2026-12-08"), midnight);
    EXPECT_EQ(timeOf(" 9:30 "), kNow - 1800);
    EXPECT_EQ(timeOf("now"), kNow);
    EXPECT_EQ(timeOf("today"), midnight);
    EXPECT_EQ(timeOf("yesterday"), midnight - 86400);
    EXPECT_EQ(timeOf("tomorrow"), midnight + 86400);
    EXPECT_EQ(timeOf("-1h"), kNow - 3600);
    EXPECT_EQ(timeOf("-1h30min"), kNow - 5400);
    EXPECT_EQ(timeOf("+2 days"), kNow + 2 * 86400);
    EXPECT_EQ(timeOf("2h ago"), kNow - 7200);
    EXPECT_EQ(timeOf("@1765187400"), 1765187400);
    // Summer time: the offset of that day, and of the hour that comes twice
    // the first reading.
    EXPECT_EQ(timeOf("2026-07-01 12:00"), 1782900000);
    EXPECT_EQ(timeOf("2026-10-25 02:30"), 1792888200);
    for (const char* bad : {"", "soon", "2026-13-01", "2026-02-30", "25:00", "9:5", "1h",
                            "-1 fortnight", "today 10:00", "2026-12-08 10:00 x", "@", "--1h"}) {
        std::int64_t seconds = 0;
        EXPECT_FALSE(zorvlog::parseTimeArgument(bad, kNow, seconds)) << bad;
    }
}

class Filter : public ::testing::Test {
protected:
    // The entries of the log below that pass the filter the options make:
    // each named by its first line's number.
    std::vector<std::uint64_t> passing(const std::vector<std::string>& args) {
        ArgParser parser(EntryFilter::options());
        parser.parse(args);
        const EntryFilter filter = EntryFilter::fromOptions(parser, kNow);
        std::vector<std::uint64_t> lines;
        for (const zorvlog::LogEntry& entry : mEntries) {
            if (filter.matches(entry)) {
                lines.push_back(entry.firstLine);
            }
        }
        return lines;
    }
    // The message of the UsageError the options give.
    static std::string refusal(const std::vector<std::string>& args) {
        ArgParser parser(EntryFilter::options());
        parser.parse(args);
        try {
            EntryFilter::fromOptions(parser, kNow);
        } catch (const zorvlog::UsageError& e) {
            return e.what();
        }
        return "(accepted)";
    }

    ScopedEnv mZone{"TZ", kZone};
    const std::vector<zorvlog::LogEntry> mEntries =
        groupedEntries("stray text\n"                                           // 1
                       "4711\t2026/12/08\t09:29:59:999\tZorvCore\tbefore\t\n"   // 2
                       "4711\t2026/12/08\t09:30:00:500\tZorvQet\tdisk full\t\n" // 3
                       "12,2026/12/08,09:31:00,os,h,v,a:b,c:d,C,e,\n"           // 4
                       "12\t2026/12/08\t09:31:00\tReason=disk\n"                // 5
                       "12\t2026/12/08\t09:31:00\tComputerName=h\n"
                       "12\t2026/12/08\t09:31:00\tOS=o\n"
                       "12\t2026/12/08\t09:31:00\tFile=f,Line=1\n"
                       "12\t2026/12/08\t09:31:00\tVendorID=8 [ZorvQet]\n"
                       "12\t2026/12/08\t09:31:00\tVendorError=3 [full]\n"
                       "12\t2026/12/08\t09:31:00\tZorvQet=1.0\n"
                       "12\t2026/12/08\t09:32:00\tComputerName=h\n" // 12
                       "12\t2026/12/08\t09:32:00\tOS=o\n"
                       "12\t2026/12/08\t09:32:00\tFile=f,Line=2\n"
                       "12\t2026/12/08\t09:32:00\tVendorID=1\n"
                       "12\t2026/12/08\t09:32:00\tVendorError=-3\n"
                       "4711\t2026/12/09\t00:00:00\tk=v\n"); // 17
};

TEST_F(Filter, EachConditionAndAllTogether) {
    using Lines = std::vector<std::uint64_t>;
    EXPECT_EQ(passing({}), (Lines{1, 2, 3, 4, 5, 12, 17}));
    EXPECT_EQ(passing({"--kind", "error,perf"}), (Lines{4, 5, 12}));
    EXPECT_EQ(passing({"--kind", "text"}), (Lines{1}));
    EXPECT_EQ(passing({"--pid", "12"}), (Lines{4, 5, 12}));
    EXPECT_EQ(passing({"--vendor", "zorvqet"}), (Lines{5}));
    EXPECT_EQ(passing({"--vendor", "1"}), (Lines{12}));
    EXPECT_EQ(passing({"--code", "-3"}), (Lines{12}));
    EXPECT_EQ(passing({"--code", "3", "--vendor", "1"}), (Lines{}));
    // Both ends included, to the second; an entry without a time never passes.
    EXPECT_EQ(passing({"--since", "2026-12-08 09:30", "--until", "09:31"}), (Lines{3, 4, 5}));
    EXPECT_EQ(passing({"--until", "2026-12-08 09:30:00"}), (Lines{2, 3}));
    EXPECT_EQ(passing({"--since", "tomorrow"}), (Lines{17}));
    // Any of the entry's lines as in the file, its section too.
    EXPECT_EQ(passing({"--grep", "disk"}), (Lines{3, 5}));
    EXPECT_EQ(passing({"--grep", "^12\t.*Line=2$"}), (Lines{12}));
    EXPECT_EQ(passing({"--grep", "Line=1.VendorID"}), (Lines{}));
    EXPECT_EQ(passing({"-i", "--grep", "DISK"}), (Lines{3, 5}));
    EXPECT_EQ(passing({"--grep", "full", "--kind", "debug", "--pid", "4711", "--since", "-1h"}),
              (Lines{3}));
}

TEST_F(Filter, ABadValueIsOneClearLine) {
    EXPECT_EQ(refusal({"--kind", "error,warning"}),
              "--kind 'warning' is no kind of entry: give error, debug, perf, pairs or text "
              "(several joined by commas)");
    EXPECT_EQ(refusal({"--since", "last week"}),
              std::string("--since 'last week' is not a time: ") + zorvlog::kTimeForms);
    EXPECT_EQ(refusal({"--pid", "12x"}), "--pid needs a whole number, not '12x'");
    EXPECT_EQ(refusal({"--grep", "a("}).rfind("--grep 'a(' is not a pattern ", 0), 0u);
    EXPECT_EQ(refusal({"--vendor", "Nobody"}).rfind("unknown vendor 'Nobody'", 0), 0u);
    // What cannot run in linear time: a back-reference.
    EXPECT_EQ(refusal({"--grep", "(a)\\1"}).rfind("--grep '(a)\\1' is not a pattern ", 0), 0u);
    for (const std::string& message : {refusal({"--grep", "a("}), refusal({"--vendor", "x"})}) {
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

TEST(ArgParser, OneLetterFormsAndOperandsThatLookLikeThem) {
    ArgParser parser(
        {{"lines", true, false, 'n'}, {"reverse", false, false, 'r'}, {"json", false}});
    parser.parse({"-rn5", "-", "-5", "--json", "--", "-n", "-x"});
    EXPECT_EQ(parser.value("lines"), "5");
    EXPECT_TRUE(parser.has("reverse"));
    EXPECT_EQ(parser.operands(), (std::vector<std::string>{"-", "-5", "-n", "-x"}));
    ArgParser twice({{"lines", true, false, 'n'}, {"reverse", false, false, 'r'}});
    EXPECT_THROW(twice.parse({"-n", "1", "--lines", "2"}), zorvlog::UsageError);
    ArgParser unknown({{"reverse", false, false, 'r'}});
    EXPECT_THROW(unknown.parse({"-rq"}), zorvlog::UsageError);
    ArgParser letter({{"reverse", false, false, 'r'}});
    EXPECT_THROW(letter.parse({"-f", "file"}), zorvlog::UsageError);
}

} // namespace
} // namespace zorvtest
