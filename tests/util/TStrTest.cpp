#include <zorv/TPath.h>
#include <zorv/TStr.h>

#include "support/TestSupport.h"

#include <climits>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(TStrArg, ReplacesTheLowestMarkerEverywhereAndLeavesOthers) {
    EXPECT_EQ(TStr("%2-%1-%1").arg(7), TStr("%2-7-7"));
    EXPECT_EQ(TStr("%1/%2/%3").arg(2026).arg(TStr("01")).arg(TStr("02")), TStr("2026/01/02"));
    // Two-digit markers are one marker, not %1 followed by a digit.
    EXPECT_EQ(TStr("%10 %9").arg(1), TStr("%10 1"));
    EXPECT_EQ(TStr("%10 %11").arg(1), TStr("1 %11"));
    // No marker: unchanged. %0 is not a marker.
    EXPECT_EQ(TStr("100%").arg(5), TStr("100%"));
    EXPECT_EQ(TStr("%0").arg(5), TStr("%0"));
}

TEST(TStrArg, InsertedTextIsNotScannedAgainInTheSameCall) {
    EXPECT_EQ(TStr("%1 %2").arg(TStr("%2")), TStr("%2 %2"));
}

TEST(TStrArg, NumbersKeepSignAndHonourWidthBaseAndFill) {
    EXPECT_EQ(TStr("%1").arg(-3), TStr("-3"));
    EXPECT_EQ(TStr("%1").arg(INT_MIN), TStr("-2147483648"));
    EXPECT_EQ(TStr("%1").arg(255, 0, 16), TStr("ff"));
    EXPECT_EQ(TStr("%1").arg(7, 3, 10, '0'), TStr("007"));
    EXPECT_EQ(TStr("[%1]").arg(7, -3), TStr("[7  ]"));
    EXPECT_EQ(TStr("%1").arg(TStr("ab"), 4, '.'), TStr("..ab"));
    // A template that is a single marker and nothing else, any marker.
    EXPECT_EQ(TStr("%9").arg(INT_MAX), TStr("2147483647"));
    EXPECT_EQ(TStr("%5").arg(-12, -5, 10, '*'), TStr("-12**"));
    EXPECT_EQ(TStr("%1").arg(0, 0, 2), TStr("0"));
    EXPECT_EQ(TStr("1%").arg(3), TStr("1%"));
}

TEST(TStrText, RightCountsCodePoints) {
    const TStr text("añ€😀"); // 1 + 2 + 3 + 4 bytes
    EXPECT_EQ(text.right(1), TStr("😀"));
    EXPECT_EQ(text.right(3), TStr("ñ€😀"));
    EXPECT_EQ(text.right(10), text);
    EXPECT_TRUE(text.right(0).isEmpty());
    EXPECT_TRUE(text.right(-1).isEmpty());
    // A stray continuation byte counts as one code point of its own.
    const TStr bad(std::string("a\x80") + "b");
    EXPECT_EQ(bad.right(2), TStr(std::string("\x80") + "b"));
}

TEST(TStrText, PopStringTakesTheLastPiece) {
    TStr path("/home/u/data/ZorvDebug.log");
    EXPECT_EQ(path.popString("/"), TStr("ZorvDebug.log"));
    EXPECT_EQ(path, TStr("/home/u/data"));

    TStr bare("file.cpp");
    EXPECT_EQ(bare.popString("/"), TStr("file.cpp"));
    EXPECT_TRUE(bare.isEmpty());

    TStr trailing("/a/b/");
    EXPECT_TRUE(trailing.popString("/").isEmpty());
    EXPECT_EQ(trailing, TStr("/a/b"));

    TStr multi("a::b::c");
    EXPECT_EQ(multi.popString("::"), TStr("c"));
    EXPECT_EQ(multi, TStr("a::b"));

    // One-byte separators at either end and a NUL as the separator.
    TStr rooted("/x");
    EXPECT_EQ(rooted.popString("/"), TStr("x"));
    EXPECT_TRUE(rooted.isEmpty());
    TStr nul(std::string("a\0b\0c", 5));
    EXPECT_EQ(nul.popString(TStr(std::string(1, '\0'))), TStr("c"));
    EXPECT_EQ(nul, TStr(std::string("a\0b", 3)));
}

TEST(TStrText, Utf8ValidityGuardsToUtf8) {
    EXPECT_STREQ(TStr("plain").toUtf8(), "plain");
    EXPECT_STREQ(TStr("ñ€😀").toUtf8(), "ñ€😀");
    EXPECT_EQ(TStr(std::string("\xff")).toUtf8(), nullptr);
    EXPECT_EQ(TStr(std::string("\xc0\xaf")).toUtf8(), nullptr);         // overlong "/"
    EXPECT_EQ(TStr(std::string("\xed\xa0\x80")).toUtf8(), nullptr);     // surrogate
    EXPECT_EQ(TStr(std::string("\xf4\x90\x80\x80")).toUtf8(), nullptr); // above U+10FFFF
    EXPECT_EQ(TStr(std::string("\xe2\x82")).toUtf8(), nullptr);         // truncated
    EXPECT_EQ(TStr(std::string("x\xe2\x82")).utf8_alloc(), nullptr);

    char* copy = TStr("héllo").utf8_alloc();
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "héllo");
    memory_free(copy);
}

TEST(TStrText, ConstructionComparisonAndJoining) {
    EXPECT_TRUE(TStr(static_cast<const char*>(nullptr)).isEmpty());
    EXPECT_TRUE(TStr("a") != "b");
    EXPECT_FALSE(TStr("a") != "a");
    TStr s("a");
    s += TStr("b");
    s += "c";
    s += 'd';
    s += static_cast<const char*>(nullptr);
    EXPECT_EQ(s + "e" + TStr("f"), TStr("abcdef"));
    char buffer[] = "replaced";
    s.setUtf8(buffer);
    EXPECT_EQ(s, TStr("replaced"));
    s.setUtf8(static_cast<char*>(nullptr));
    EXPECT_TRUE(s.isEmpty());
    // Embedded NUL bytes are kept as bytes.
    EXPECT_EQ(TStr("a\0b", 3).byteLength(), 3u);
}

TEST(TPathTest, MkpathCreatesMissingParentsAndExistsSeesThem) {
    zorvtest::TempDir dir;
    TPath deep(TStr(dir.file("a/b/c")));
    EXPECT_FALSE(deep.exists());
    EXPECT_TRUE(deep.mkpath(0770));
    EXPECT_TRUE(deep.exists());
    struct stat st;
    ASSERT_EQ(::stat(dir.file("a/b").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // Again: already there is success.
    EXPECT_TRUE(deep.mkpath(0770));

    zorvtest::writeFile(dir.file("plain"), "x");
    EXPECT_FALSE(TPath(TStr(dir.file("plain/sub"))).mkpath(0770));
    EXPECT_FALSE(TPath(TStr()).mkpath(0770));

    TPath joined(TStr(dir.path()));
    joined += "/a";
    EXPECT_EQ(joined, TStr(dir.file("a")));
}

} // namespace
