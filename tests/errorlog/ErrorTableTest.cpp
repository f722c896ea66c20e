#include "support/TestSupport.h"

#include "XmlNestingScan.h"

#include <zorv/ZorvErrorTable.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

using zorv_detail::xmlNestingDepth;
using zorvtest::writeFile;

namespace {

std::string s(const TStr& text) {
    return text.bytes();
}

// Tables written by the tests into a temporary directory, each loaded fresh.
class ErrorTableTest : public ::testing::Test {
protected:
    // A table loaded from the given document; the test fails when it does not load.
    ZorvErrorTable& loaded(const std::string& xml) {
        writeFile(mPath, xml);
        mTable.SetPathName(TStr(mPath));
        EXPECT_TRUE(mTable.Load()) << xml;
        return mTable;
    }

    static std::string tables(const std::string& inside) {
        return "<?xml version=\"1.0\"?>\n<ERRORTABLES>\n" + inside + "</ERRORTABLES>\n";
    }

    zorvtest::IsolatedHome mHome;
    zorvtest::TempDir mDir;
    std::string mPath = mDir.file("ZorvErrorCodes.xml");
    ZorvErrorTable mTable{TStr()};
};

std::string nested(std::size_t depth, const std::string& open = "<a>",
                   const std::string& close = "</a>") {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i) {
        text += open;
    }
    for (std::size_t i = 0; i < depth; ++i) {
        text += close;
    }
    return text;
}

} // namespace

TEST_F(ErrorTableTest, UnloadedTableAnswersNothing) {
    writeFile(mPath, tables("<TABLE VENDORID=\"2\"><NAME>Two</NAME>"
                            "<ERROR CODE=\"5\"><DESCRIPTION>five</DESCRIPTION></ERROR></TABLE>"));
    ZorvErrorTable table{TStr(mPath)};
    EXPECT_EQ("", s(table.GetVendorName(2)));
    EXPECT_EQ("", s(table.GetErrorDescription(2, 5)));
    EXPECT_TRUE(table.Load());
    EXPECT_EQ("Two", s(table.GetVendorName(2)));
    EXPECT_EQ("five", s(table.GetErrorDescription(2, 5)));
}

TEST_F(ErrorTableTest, FindsVendorAndCodeAmongSeveral) {
    ZorvErrorTable& table = loaded(tables("<TABLE VENDORID=\"1\"><NAME>One</NAME>"
                                          "<ERROR CODE=\"5\"><DESCRIPTION>1/5</DESCRIPTION></ERROR>"
                                          "</TABLE>"
                                          "<TABLE VENDORID=\"2\"><NAME>Two</NAME>"
                                          "<ERROR CODE=\"4\"><DESCRIPTION>2/4</DESCRIPTION></ERROR>"
                                          "<ERROR CODE=\"5\"><DESCRIPTION>2/5</DESCRIPTION></ERROR>"
                                          "</TABLE>"));
    EXPECT_EQ("One", s(table.GetVendorName(1)));
    EXPECT_EQ("Two", s(table.GetVendorName(2)));
    EXPECT_EQ("1/5", s(table.GetErrorDescription(1, 5)));
    EXPECT_EQ("2/5", s(table.GetErrorDescription(2, 5)));
    EXPECT_EQ("2/4", s(table.GetErrorDescription(2, 4)));
    EXPECT_EQ("", s(table.GetErrorDescription(1, 4)));
    EXPECT_EQ("", s(table.GetVendorName(3)));
    EXPECT_EQ("", s(table.GetErrorDescription(3, 5)));
}

TEST_F(ErrorTableTest, NameComesFromALaterDuplicateButCodesOnlyFromTheFirst) {
    ZorvErrorTable& table =
        loaded(tables("<TABLE VENDORID=\"2\">"
                      "<ERROR CODE=\"1\"><DESCRIPTION>first</DESCRIPTION></ERROR>"
                      "</TABLE>"
                      "<TABLE VENDORID=\"2\"><NAME>Second</NAME>"
                      "<ERROR CODE=\"1\"><DESCRIPTION>second</DESCRIPTION></ERROR>"
                      "<ERROR CODE=\"2\"><DESCRIPTION>only here</DESCRIPTION></ERROR>"
                      "</TABLE>"
                      "<TABLE VENDORID=\"2\"><NAME>Third</NAME></TABLE>"));
    EXPECT_EQ("Second", s(table.GetVendorName(2)));
    EXPECT_EQ("first", s(table.GetErrorDescription(2, 1)));
    EXPECT_EQ("", s(table.GetErrorDescription(2, 2)));
}

TEST_F(ErrorTableTest, TableWithoutVendorIdEndsEverySearch) {
    ZorvErrorTable& table =
        loaded(tables("<TABLE VENDORID=\"1\"><NAME>One</NAME></TABLE>"
                      "<TABLE><NAME>Anonymous</NAME></TABLE>"
                      "<TABLE VENDORID=\"3\"><NAME>Three</NAME>"
                      "<ERROR CODE=\"1\"><DESCRIPTION>3/1</DESCRIPTION></ERROR></TABLE>"));
    EXPECT_EQ("One", s(table.GetVendorName(1)));
    EXPECT_EQ("", s(table.GetVendorName(3)));
    EXPECT_EQ("", s(table.GetErrorDescription(3, 1)));
}

TEST_F(ErrorTableTest, EveryElementAfterTheFirstTableCountsAsATable) {
    // Whatever its name: a later <OTHER> with a VENDORID is searched, one
    // without ends the search.
    ZorvErrorTable& table = loaded(tables("<NAME>before</NAME>"
                                          "<TABLE VENDORID=\"1\"><NAME>One</NAME></TABLE>"
                                          "<OTHER VENDORID=\"2\"><NAME>Two</NAME></OTHER>"
                                          "<OTHER/>"
                                          "<TABLE VENDORID=\"3\"><NAME>Three</NAME></TABLE>"));
    EXPECT_EQ("Two", s(table.GetVendorName(2)));
    EXPECT_EQ("", s(table.GetVendorName(3)));
}

TEST_F(ErrorTableTest, ErrorWithoutDescriptionEndsTheSearchInItsTable) {
    ZorvErrorTable& table =
        loaded(tables("<TABLE VENDORID=\"2\"><NAME>Two</NAME>"
                      "<ERROR CODE=\"7\"><OTHER>no description</OTHER></ERROR>"
                      "<ERROR CODE=\"7\"><DESCRIPTION>later</DESCRIPTION></ERROR>"
                      "<ERROR CODE=\"8\"><DESCRIPTION>eight</DESCRIPTION></ERROR>"
                      "</TABLE>"));
    EXPECT_EQ("", s(table.GetErrorDescription(2, 7)));
    EXPECT_EQ("eight", s(table.GetErrorDescription(2, 8)));
}

TEST_F(ErrorTableTest, ErrorWithoutCodeEndsTheSearchInItsTable) {
    ZorvErrorTable& table = loaded(tables("<TABLE VENDORID=\"2\">"
                                          "<ERROR CODE=\"1\"><DESCRIPTION>one</DESCRIPTION></ERROR>"
                                          "<ERROR><DESCRIPTION>no code</DESCRIPTION></ERROR>"
                                          "<ERROR CODE=\"2\"><DESCRIPTION>two</DESCRIPTION></ERROR>"
                                          "</TABLE>"));
    EXPECT_EQ("one", s(table.GetErrorDescription(2, 1)));
    EXPECT_EQ("", s(table.GetErrorDescription(2, 2)));
}

TEST_F(ErrorTableTest, NameAfterTheErrorsIsFoundButHidesTheErrorsAfterIt) {
    ZorvErrorTable& table = loaded(tables("<TABLE VENDORID=\"2\">"
                                          "<ERROR CODE=\"1\"><DESCRIPTION>one</DESCRIPTION></ERROR>"
                                          "<NAME>Late</NAME>"
                                          "<ERROR CODE=\"2\"><DESCRIPTION>two</DESCRIPTION></ERROR>"
                                          "</TABLE>"));
    EXPECT_EQ("Late", s(table.GetVendorName(2)));
    EXPECT_EQ("one", s(table.GetErrorDescription(2, 1)));
    EXPECT_EQ("", s(table.GetErrorDescription(2, 2)));
}

TEST_F(ErrorTableTest, NegativeAndSignedNumbersMatchLikeAnyOther) {
    ZorvErrorTable& table =
        loaded(tables("<TABLE VENDORID=\"-4\"><NAME>Minus four</NAME>"
                      "<ERROR CODE=\"-2147483648\"><DESCRIPTION>min</DESCRIPTION>"
                      "</ERROR>"
                      "<ERROR CODE=\" +2147483647 \"><DESCRIPTION>max</DESCRIPTION>"
                      "</ERROR></TABLE>"));
    EXPECT_EQ("Minus four", s(table.GetVendorName(-4)));
    EXPECT_EQ("", s(table.GetVendorName(4)));
    EXPECT_EQ("min", s(table.GetErrorDescription(-4, -2147483647 - 1)));
    EXPECT_EQ("max", s(table.GetErrorDescription(-4, 2147483647)));
}

TEST_F(ErrorTableTest, ValueThatIsNotAWholeIntegerNeverMatches) {
    // TinyXML alone reads "12abc" as 12, "0x10" as 0 and wraps the long one.
    ZorvErrorTable& table =
        loaded(tables("<TABLE VENDORID=\"12abc\"><NAME>Wrong12</NAME></TABLE>"
                      "<TABLE VENDORID=\"0x10\"><NAME>Wrong0</NAME></TABLE>"
                      "<TABLE VENDORID=\"4294967308\"><NAME>WrongWrapped</NAME></TABLE>"
                      "<TABLE VENDORID=\"\"><NAME>WrongEmpty</NAME></TABLE>"
                      "<TABLE VENDORID=\"1 2\"><NAME>WrongTwo</NAME></TABLE>"
                      "<TABLE VENDORID=\"12\"><NAME>Twelve</NAME>"
                      "<ERROR CODE=\"5x\"><DESCRIPTION>wrong</DESCRIPTION></ERROR>"
                      "<ERROR CODE=\"5\"><DESCRIPTION>five</DESCRIPTION></ERROR></TABLE>"
                      "<TABLE VENDORID=\"0\"><NAME>Zero</NAME></TABLE>"));
    EXPECT_EQ("Twelve", s(table.GetVendorName(12)));
    EXPECT_EQ("Zero", s(table.GetVendorName(0)));
    EXPECT_EQ("five", s(table.GetErrorDescription(12, 5)));
    EXPECT_EQ("", s(table.GetVendorName(1)));
}

TEST_F(ErrorTableTest, EntryThatIsNotAnIntegerIsNotComparedWithAStaleValue) {
    // The table for 1 has no name; the next one's id cannot be read, and must
    // not pass for the 1 read just before.
    ZorvErrorTable& table =
        loaded(tables("<TABLE VENDORID=\"1\"><ERROR CODE=\"3\"><DESCRIPTION>d</DESCRIPTION>"
                      "</ERROR><ERROR CODE=\"x\"><DESCRIPTION>stale</DESCRIPTION></ERROR></TABLE>"
                      "<TABLE VENDORID=\"one\"><NAME>Stale</NAME></TABLE>"));
    EXPECT_EQ("", s(table.GetVendorName(1)));
    EXPECT_EQ("", s(table.GetErrorDescription(1, 4)));
    EXPECT_EQ("d", s(table.GetErrorDescription(1, 3)));
}

TEST_F(ErrorTableTest, NodesOtherThanElementsArePassedOver) {
    // A comment or a text whose value is "TABLE" is not a table; comments,
    // text and processing instructions between entries are skipped.
    ZorvErrorTable& table = loaded(tables("<!--TABLE-->TABLE<?TABLE?>"
                                          "<TABLE VENDORID=\"1\"><NAME>One</NAME></TABLE>"
                                          "<!-- between tables -->"
                                          "<TABLE VENDORID=\"2\"><!--NAME-->NAME<NAME>Two</NAME>"
                                          "<!--ERROR-->ERROR<ERROR CODE=\"1\"><!--DESCRIPTION-->"
                                          "<DESCRIPTION>one</DESCRIPTION></ERROR>"
                                          "<!-- between errors --><?pi?>"
                                          "<ERROR CODE=\"2\"><DESCRIPTION>two</DESCRIPTION></ERROR>"
                                          "</TABLE><!-- last -->"));
    EXPECT_EQ("One", s(table.GetVendorName(1)));
    EXPECT_EQ("Two", s(table.GetVendorName(2)));
    EXPECT_EQ("one", s(table.GetErrorDescription(2, 1)));
    EXPECT_EQ("two", s(table.GetErrorDescription(2, 2)));
    EXPECT_EQ("", s(table.GetErrorDescription(2, 3)));
}

TEST_F(ErrorTableTest, ErrorTablesNotFirstAmongTopLevelNodes) {
    ZorvErrorTable& table = loaded("<?xml version=\"1.0\"?>\n<!--ERRORTABLES-->\n"
                                   "<ERRORTABLES><TABLE VENDORID=\"1\"><NAME>One</NAME></TABLE>"
                                   "</ERRORTABLES>");
    EXPECT_EQ("One", s(table.GetVendorName(1)));
}

TEST_F(ErrorTableTest, TextIsOnlyWhatStandsDirectlyInTheElement) {
    ZorvErrorTable& table = loaded(tables("<TABLE VENDORID=\"1\"><NAME/>"
                                          "<ERROR CODE=\"1\"><DESCRIPTION><b>x</b>y</DESCRIPTION>"
                                          "</ERROR>"
                                          "<ERROR CODE=\"2\"><DESCRIPTION>a &amp; b</DESCRIPTION>"
                                          "</ERROR></TABLE>"
                                          "<TABLE VENDORID=\"2\"><NAME>Named</NAME></TABLE>"));
    EXPECT_EQ("", s(table.GetVendorName(1)));
    EXPECT_EQ("", s(table.GetErrorDescription(1, 1)));
    EXPECT_EQ("a & b", s(table.GetErrorDescription(1, 2)));
}

TEST_F(ErrorTableTest, DocumentWithoutTablesAnswersNothing) {
    EXPECT_EQ(
        "",
        s(loaded("<OTHER><TABLE VENDORID=\"1\"><NAME>x</NAME></TABLE></OTHER>").GetVendorName(1)));
    EXPECT_EQ("", s(loaded("<ERRORTABLES><NAME>x</NAME></ERRORTABLES>").GetVendorName(1)));
    EXPECT_EQ("", s(loaded("<ERRORTABLES/>").GetErrorDescription(1, 1)));
}

TEST_F(ErrorTableTest, SetPathNameAloneKeepsTheOldDocumentAndFailedReloadEmptiesIt) {
    ZorvErrorTable& table = loaded(tables("<TABLE VENDORID=\"1\"><NAME>First</NAME></TABLE>"));
    const std::string other = mDir.file("other.xml");
    writeFile(other, tables("<TABLE VENDORID=\"1\"><NAME>Other</NAME></TABLE>"));
    table.SetPathName(TStr(other));
    EXPECT_EQ("First", s(table.GetVendorName(1)));
    EXPECT_TRUE(table.Load());
    EXPECT_EQ("Other", s(table.GetVendorName(1)));

    table.SetPathName(TStr(mDir.file("missing.xml")));
    EXPECT_FALSE(table.Load());
    EXPECT_EQ("", s(table.GetVendorName(1)));

    // A reload of a file that has become malformed fails the same way.
    table.SetPathName(TStr(other));
    EXPECT_TRUE(table.Load());
    writeFile(other, "<ERRORTABLES><TABLE VENDORID=\"1\">");
    EXPECT_FALSE(table.Load());
    EXPECT_EQ("", s(table.GetVendorName(1)));
}

TEST_F(ErrorTableTest, LoadRefusesWhatIsNotAReadableWellFormedFile) {
    EXPECT_FALSE(mTable.Load()); // empty path

    const char* malformed[] = {
        "",
        "   \n",
        "<ERRORTABLES><TABLE VENDORID=\"1\"></ERRORTABLES>",
        "<ERRORTABLES><TABLE VENDORID=\"1\"><NAME>x</NAME></TABLE>",
        "<ERRORTABLES><TABLE VENDORID=1\"><NAME>x</NAME></TABLE></ERRORTABLES>",
        "<ERRORTABLES><!-- unterminated comment </ERRORTABLES>",
        "just text",
    };
    for (const char* xml : malformed) {
        writeFile(mPath, xml);
        mTable.SetPathName(TStr(mPath));
        EXPECT_FALSE(mTable.Load()) << xml;
        EXPECT_EQ("", s(mTable.GetVendorName(1)));
    }

    mTable.SetPathName(TStr(mDir.path())); // a directory
    EXPECT_FALSE(mTable.Load());
    mTable.SetPathName(TStr("/dev/zero")); // never ends
    EXPECT_FALSE(mTable.Load());
    mTable.SetPathName(TStr(std::string(mDir.file("bad\xff.xml")))); // no UTF-8 form
    EXPECT_FALSE(mTable.Load());
}

TEST_F(ErrorTableTest, LoadRefusesAFileOverSixtyFourMebibytes) {
    const std::string table = tables("<TABLE VENDORID=\"1\"><NAME>One</NAME></TABLE>");
    writeFile(mPath, table);
    // The parser stops reading at the first zero byte past the document, so
    // only the size check refuses this (sparse) file.
    ASSERT_EQ(0, ::truncate(mPath.c_str(), 64L * 1024 * 1024 + 1));
    mTable.SetPathName(TStr(mPath));
    EXPECT_FALSE(mTable.Load());
    EXPECT_EQ("", s(mTable.GetVendorName(1)));
}

TEST_F(ErrorTableTest, DeeplyNestedFileIsRefusedWithoutCrashing) {
    const std::string deep =
        tables("<TABLE VENDORID=\"1\"><NAME>One</NAME></TABLE>" + nested(100000));
    writeFile(mPath, deep);
    mTable.SetPathName(TStr(mPath));
    EXPECT_FALSE(mTable.Load());
    EXPECT_EQ("", s(mTable.GetVendorName(1)));
}

TEST_F(ErrorTableTest, NestingUpToTheLimitLoads) {
    // ERRORTABLES and TABLE are two levels of the 256.
    ZorvErrorTable& table =
        loaded(tables("<TABLE VENDORID=\"1\"><NAME>One</NAME>" + nested(254) + "</TABLE>"));
    EXPECT_EQ("One", s(table.GetVendorName(1)));

    writeFile(mPath, tables("<TABLE VENDORID=\"1\"><NAME>One</NAME>" + nested(255) + "</TABLE>"));
    EXPECT_FALSE(mTable.Load());
}

TEST_F(ErrorTableTest, MarkupThatHidesNoElementsFromTheParserCannotHideDepth) {
    // Each of these puts text that looks like the start of a comment, CDATA
    // or quoted value where the parser does not read it as one, followed by
    // 300 levels the parser does see. A scan fooled by it would let them through.
    const std::string deep = nested(300);
    const std::string cases[] = {
        "<ERRORTABLES a=\"><!--\">" + deep + "<b c=\"-->\"/></ERRORTABLES>",
        "<ERRORTABLES a='><![CDATA['>" + deep + "<b c=\"]]>\"/></ERRORTABLES>",
        "<ERRORTABLES>\"" + deep + "\"</ERRORTABLES>",
        "<?pi > " + deep + " ?><ERRORTABLES/>",
        "<!DOCTYPE x [ <!ENTITY e \"> " + deep + "\"> ]><ERRORTABLES/>",
    };
    for (const std::string& xml : cases) {
        writeFile(mPath, xml);
        mTable.SetPathName(TStr(mPath));
        EXPECT_FALSE(mTable.Load()) << xml.substr(0, 40);
    }
}

TEST_F(ErrorTableTest, ShippedTableNamesEveryVendorAndDescribesTheQetCodes) {
    mTable.SetPathName(TStr(ZORV_SOURCE_DIR "/data/ZorvErrorCodes.xml"));
    ASSERT_TRUE(mTable.Load());
    const char* names[] = {"", "ZorvCore", "ZorvLumen", "Brakka",  "BrakkaBoot", "ZorvPod",
                           "", "ZorvLoom", "ZorvQet",   "ZorvWyn", "ZorvFell"};
    for (int id = 0; id <= 10; ++id) {
        EXPECT_EQ(names[id], s(mTable.GetVendorName(id))) << id;
    }
    const char* qet[] = {"",
                         "The pipe server could not listen on its socket",
                         "Another QET is already serving this user",
                         "A malformed request frame was received",
                         "A request frame exceeded the size limit",
                         "A connection was refused: too many open connections",
                         "A connection was dropped after its idle timeout"};
    for (int code = 1; code <= 6; ++code) {
        EXPECT_EQ(qet[code], s(mTable.GetErrorDescription(8, code))) << code;
    }
    EXPECT_EQ("", s(mTable.GetErrorDescription(8, 7)));
}

// The scan on its own: exact depths, so that a scan that counts too much
// (refusing good tables) shows as plainly as one that counts too little.
TEST(XmlNestingScanTest, CountsElementDepthTheWayTheParserSeesIt) {
    struct Case {
        const char* xml;
        std::size_t depth;
    } cases[] = {
        {"", 0},
        {"plain text > < ", 0},
        {"<a/>", 1},
        {"<a><b/><b/><b></b></a>", 2},
        {"<a><b x='/>'><c/></b></a>", 3},
        {"<a x=\"<b><b>\" y='>'><b/></a>", 2},
        {"<a><!-- <b><c><d> --></a>", 1},
        {"<a><!----><b/></a>", 2},
        {"<a><!-- - -- ---><b/></a>", 2},
        {"<a><![CDATA[<b><c>]]]></a><d><e/></d>", 2},
        {"<?xml version='1.0'?><a><b/></a>", 2},
        {"<!DOCTYPE a><a/>", 1},
        {"<a></b></c></d><e><f/></e></a>", 2},
        {"<a>< b><c/></a>", 2},
        {"<_a><\xc3\xa9><x/></\xc3\xa9></_a>", 3},
        {"<a / ><b/>", 2}, // "/ >" closes nothing; the parser gives up there
        {"<a><b></a></b><c><d><e/></d></c>", 3},
    };
    for (const Case& c : cases) {
        std::string xml(c.xml);
        EXPECT_EQ(c.depth, xmlNestingDepth(xml.data(), xml.size(), 1000)) << xml;
    }
}

TEST(XmlNestingScanTest, StopsAsSoonAsTheLimitIsPassed) {
    const std::string deep = nested(100000);
    EXPECT_EQ(257u, xmlNestingDepth(deep.data(), deep.size(), 256));
    EXPECT_EQ(100000u, xmlNestingDepth(deep.data(), deep.size(), 200000));
    // A piece that ends inside a tag is measured as far as it goes.
    EXPECT_EQ(3u, xmlNestingDepth(deep.data(), 8, 256));
}
