#include "support/TestSupport.h"

#include <zorv/ZorvDelimitedFile.h>

#include <ctime>
#include <gtest/gtest.h>
#include <regex>
#include <sys/time.h>
#include <unistd.h>

using namespace zorvtest;

namespace {

class TimestampTest : public ::testing::Test {
protected:
    // Process id, date and time of the current section.
    static std::vector<std::string> parts(const ZorvDelimitedFile& f) {
        return splitFields(f.getCurrentSection(TStr("|")).bytes(), '|');
    }

    IsolatedHome mHome;
    ZorvDelimitedFile mFile{TStr()};
};

TEST_F(TimestampTest, DateFields) {
    EXPECT_EQ(mFile.formatDate(2026, 1, 1), "2026/01/01");
    EXPECT_EQ(mFile.formatDate(2026, 12, 31), "2026/12/31");
    EXPECT_EQ(mFile.formatDate(2026, 9, 10), "2026/09/10");
    EXPECT_EQ(mFile.formatDate(2026, 0, 0), "2026/0/0");
    EXPECT_EQ(mFile.formatDate(999, -1, 32), "999/-1/32");
    EXPECT_EQ(mFile.formatDate(-5, 13, 100), "-5/13/100");
}

TEST_F(TimestampTest, TimeFields) {
    EXPECT_EQ(mFile.formatTime(0, 0, 0), "00:00:00");
    EXPECT_EQ(mFile.formatTime(9, 10, 59), "09:10:59");
    EXPECT_EQ(mFile.formatTime(23, 5, 60), "23:05:60");
    EXPECT_EQ(mFile.formatTime(100, 0, 0), "100:00:00");
    EXPECT_EQ(mFile.formatTime(-1, -10, 7), "-1:-10:07");
    EXPECT_EQ(mFile.formatTimeWMilliSecs(17, 5, 9, 0), "17:05:09:0");
    EXPECT_EQ(mFile.formatTimeWMilliSecs(17, 5, 9, 7), "17:05:09:7");
    EXPECT_EQ(mFile.formatTimeWMilliSecs(17, 5, 9, 45), "17:05:09:45");
    EXPECT_EQ(mFile.formatTimeWMilliSecs(17, 5, 9, 999), "17:05:09:999");
    EXPECT_EQ(mFile.formatTimeWMilliSecs(17, 5, 9, -1), "17:05:09:");
    EXPECT_EQ(mFile.formatTimeWMilliSecs(-3, 0, 9, 1000), "-3:00:09:1000");
}

TEST_F(TimestampTest, SectionTextAndKey) {
    TStr d("D"), t("T"), p("P"), none;
    EXPECT_EQ(mFile.formatSection(d, t, p, TStr(",")), "P,D,T");
    EXPECT_EQ(mFile.formatSection(d, t, p, TStr("")), "PDT");
    EXPECT_EQ(mFile.formatSection(d, t, p, TStr("\xE2\x80\xA2")), "P\xE2\x80\xA2"
                                                                  "D\xE2\x80\xA2T");
    EXPECT_TRUE(mFile.formatSection(none, t, p, TStr(",")).isEmpty());
    EXPECT_TRUE(mFile.formatSection(d, none, p, TStr(",")).isEmpty());
    EXPECT_TRUE(mFile.formatSection(d, t, none, TStr(",")).isEmpty());
    EXPECT_TRUE(mFile.formatKey(d, t, p).isEmpty());
}

TEST_F(TimestampTest, SectionIsProcessIdAndPresentLocalTime) {
    ScopedEnv tz("TZ", "UTC0");
    // The clock the section reads; time() may lag it by a tick just after a
    // second begins.
    auto seconds = [] {
        struct timeval tv;
        ::gettimeofday(&tv, nullptr);
        return static_cast<time_t>(tv.tv_sec);
    };
    for (bool millis : {false, true}) {
        time_t before = seconds();
        mFile.updateCurrentSection(millis);
        time_t after = seconds();
        std::vector<std::string> p = parts(mFile);
        ASSERT_EQ(p.size(), 3u);
        EXPECT_EQ(p[0], std::to_string(::getpid()));
        std::smatch m;
        ASSERT_TRUE(
            std::regex_match(p[2], m, std::regex(millis ? "(.{8}):(0|[1-9]\\d{0,2})" : "(.*)")));
        bool now = false;
        for (time_t t = before; t <= after; ++t) {
            char text[32];
            ::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", ::gmtime(&t));
            now = now || p[1] + " " + m[1].str() == text;
        }
        EXPECT_TRUE(now) << p[1] << " " << p[2];
    }
}

TEST_F(TimestampTest, SectionsOfOneSecondDifferOnlyInMilliseconds) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        mFile.updateCurrentSection(false);
        std::string plain = mFile.getCurrentSection(TStr(",")).bytes();
        mFile.updateCurrentSection(true);
        std::string withMs = mFile.getCurrentSection(TStr(",")).bytes();
        if (withMs.compare(0, plain.size(), plain) != 0) {
            continue; // a second boundary fell in between
        }
        EXPECT_TRUE(std::regex_match(withMs.substr(plain.size()), std::regex(":\\d{1,3}")));
        return;
    }
    FAIL() << "never two sections within one second";
}

// The zone is read again at every section, so a changed TZ shows at once.
TEST_F(TimestampTest, TimeZoneChangeAppliesToTheNextSection) {
    auto minutesOfDay = [](const std::string& hhmm) {
        return std::stoi(hhmm.substr(0, 2)) * 60 + std::stoi(hhmm.substr(3, 2));
    };
    ScopedEnv tz("TZ", "UTC0");
    mFile.updateCurrentSection(false);
    int utc = minutesOfDay(parts(mFile)[2]);
    ::setenv("TZ", "IST-5:30", 1);
    mFile.updateCurrentSection(false);
    int shifted = minutesOfDay(parts(mFile)[2]);
    int diff = ((shifted - utc) % 1440 + 1440) % 1440;
    EXPECT_TRUE(diff == 330 || diff == 331) << diff; // a minute may pass in between
}

} // namespace
