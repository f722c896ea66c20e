#include "support/ChildProcess.h"
#include "support/TestSupport.h"

#include <zorv/ZorvErrorTable.h>

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

using zorvtest::writeFile;

namespace {

// A lookup and its expected answer; code kName asks for the vendor's name.
constexpr int kName = -999999;
struct Lookup {
    int vendor;
    int code;
    const char* expected;
};

struct LookupCase {
    const char* what;
    std::string tables; // the children of ERRORTABLES
    std::vector<Lookup> lookups;
};

std::string document(const std::string& tables) {
    return "<?xml version=\"1.0\"?>\n<!--ERRORTABLES-->\n<ERRORTABLES>" + tables +
           "</ERRORTABLES>\n";
}

// "load PATH": exits 0 when the table at PATH loads, 1 when it is refused;
// a crash shows as 128 + the signal.
int roleLoad(const std::vector<std::string>& args) {
    ZorvErrorTable table{TStr(args.at(0))};
    return table.Load() ? 0 : 1;
}
[[maybe_unused]] const bool kRolesRegistered = zorvtest::registerRole("load", roleLoad);

std::string answer(ZorvErrorTable& table, const Lookup& l) {
    return (l.code == kName ? table.GetVendorName(l.vendor)
                            : table.GetErrorDescription(l.vendor, l.code))
        .bytes();
}

class ErrorTableTest : public ::testing::Test {
protected:
    bool load(const std::string& xml) {
        writeFile(mPath, xml);
        mTable.SetPathName(TStr(mPath));
        return mTable.Load();
    }

    zorvtest::IsolatedHome mHome;
    zorvtest::TempDir mDir;
    std::string mPath = mDir.file("ZorvErrorCodes.xml");
    ZorvErrorTable mTable{TStr()};
};

} // namespace

TEST_F(ErrorTableTest, LookupRules) {
    const LookupCase cases[] = {
        {"several vendors and codes",
         "<TABLE VENDORID=\"1\"><NAME>One</NAME>"
         "<ERROR CODE=\"5\"><DESCRIPTION>1/5</DESCRIPTION></ERROR></TABLE>"
         "<TABLE VENDORID=\"2\"><NAME>Two</NAME>"
         "<ERROR CODE=\"4\"><DESCRIPTION>2/4</DESCRIPTION></ERROR>"
         "<ERROR CODE=\"5\"><DESCRIPTION>2/5</DESCRIPTION></ERROR></TABLE>",
         {{2, kName, "Two"}, {1, 5, "1/5"}, {2, 5, "2/5"}, {1, 4, ""}, {3, kName, ""}}},
        {"duplicate vendor: name from a later table, codes from the first only",
         "<TABLE VENDORID=\"2\"><ERROR CODE=\"1\"><DESCRIPTION>first</DESCRIPTION></ERROR></TABLE>"
         "<TABLE VENDORID=\"2\"><NAME>Second</NAME>"
         "<ERROR CODE=\"2\"><DESCRIPTION>second</DESCRIPTION></ERROR></TABLE>",
         {{2, kName, "Second"}, {2, 1, "first"}, {2, 2, ""}}},
        {"a table without VENDORID ends every search; any element counts as a table",
         "<NAME>before</NAME><TABLE VENDORID=\"1\"><NAME>One</NAME></TABLE>"
         "<OTHER VENDORID=\"2\"><NAME>Two</NAME></OTHER><TABLE><NAME>Anon</NAME></TABLE>"
         "<TABLE VENDORID=\"3\"><NAME>Three</NAME>"
         "<ERROR CODE=\"1\"><DESCRIPTION>3/1</DESCRIPTION></ERROR></TABLE>",
         {{1, kName, "One"}, {2, kName, "Two"}, {3, kName, ""}, {3, 1, ""}}},
        {"an error without DESCRIPTION or without CODE ends the search in its table",
         "<TABLE VENDORID=\"2\"><ERROR CODE=\"7\"><OTHER/></ERROR>"
         "<ERROR CODE=\"7\"><DESCRIPTION>later</DESCRIPTION></ERROR>"
         "<ERROR CODE=\"8\"><DESCRIPTION>eight</DESCRIPTION></ERROR>"
         "<ERROR><DESCRIPTION>no code</DESCRIPTION></ERROR>"
         "<ERROR CODE=\"9\"><DESCRIPTION>nine</DESCRIPTION></ERROR></TABLE>",
         {{2, 7, ""}, {2, 8, "eight"}, {2, 9, ""}}},
        {"a NAME after the errors is found but hides the errors after it",
         "<TABLE VENDORID=\"2\"><ERROR CODE=\"1\"><DESCRIPTION>one</DESCRIPTION></ERROR>"
         "<NAME>Late</NAME><ERROR CODE=\"2\"><DESCRIPTION>two</DESCRIPTION></ERROR></TABLE>",
         {{2, kName, "Late"}, {2, 1, "one"}, {2, 2, ""}}},
        {"negative numbers, int limits, blanks and signs",
         "<TABLE VENDORID=\"-4\"><NAME>Minus</NAME>"
         "<ERROR CODE=\"-2147483648\"><DESCRIPTION>min</DESCRIPTION></ERROR>"
         "<ERROR CODE=\" +2147483647 \"><DESCRIPTION>max</DESCRIPTION></ERROR></TABLE>",
         {{-4, kName, "Minus"},
          {4, kName, ""},
          {-4, -2147483647 - 1, "min"},
          {-4, 2147483647, "max"}}},
        // TinyXML alone reads "12abc" as 12, "0x10" as 0 and wraps the long one.
        {"a key that is not a whole integer never matches and the search goes on",
         "<TABLE VENDORID=\"12abc\"><NAME>W1</NAME></TABLE>"
         "<TABLE VENDORID=\"0x10\"><NAME>W2</NAME></TABLE>"
         "<TABLE VENDORID=\"4294967308\"><NAME>W3</NAME></TABLE>"
         "<TABLE VENDORID=\"\"><NAME>W4</NAME></TABLE>"
         "<TABLE VENDORID=\"12\"><NAME>Twelve</NAME>"
         "<ERROR CODE=\"5x\"><DESCRIPTION>wrong</DESCRIPTION></ERROR>"
         "<ERROR CODE=\"5\"><DESCRIPTION>five</DESCRIPTION></ERROR></TABLE>"
         "<TABLE VENDORID=\"0\"><NAME>Zero</NAME></TABLE>",
         {{12, kName, "Twelve"}, {0, kName, "Zero"}, {12, 5, "five"}}},
        {"comments, text and PIs reading TABLE, NAME, ERROR are not elements",
         "<!--TABLE-->TABLE<?TABLE?><TABLE VENDORID=\"2\"><!--NAME-->NAME<NAME>Two</NAME>"
         "<!--ERROR-->ERROR<ERROR CODE=\"1\"><!--DESCRIPTION--><DESCRIPTION>one</DESCRIPTION>"
         "</ERROR><!-- between --><?pi?>"
         "<ERROR CODE=\"2\"><DESCRIPTION>two</DESCRIPTION></ERROR></TABLE><!-- last -->",
         {{2, kName, "Two"}, {2, 1, "one"}, {2, 2, "two"}}},
        {"a text is only what stands directly in the element",
         "<TABLE VENDORID=\"1\"><NAME/><ERROR CODE=\"1\"><DESCRIPTION><b>x</b>y</DESCRIPTION>"
         "</ERROR><ERROR CODE=\"2\"><DESCRIPTION>a &amp; b</DESCRIPTION></ERROR></TABLE>"
         "<TABLE VENDORID=\"1\"><NAME>Later</NAME></TABLE>",
         {{1, kName, ""}, {1, 1, ""}, {1, 2, "a & b"}}},
    };
    for (const LookupCase& c : cases) {
        ASSERT_TRUE(load(document(c.tables))) << c.what;
        for (const Lookup& l : c.lookups) {
            EXPECT_EQ(l.expected, answer(mTable, l))
                << c.what << ": vendor " << l.vendor << ", code " << l.code;
        }
    }
}

TEST_F(ErrorTableTest, WithoutLoadedTablesEveryLookupIsEmpty) {
    const std::string good = document("<TABLE VENDORID=\"1\"><NAME>One</NAME>"
                                      "<ERROR CODE=\"1\"><DESCRIPTION>d</DESCRIPTION></ERROR>"
                                      "</TABLE>");
    writeFile(mPath, good);
    ZorvErrorTable never{TStr(mPath)};
    EXPECT_EQ("", never.GetVendorName(1).bytes());
    EXPECT_EQ("", never.GetErrorDescription(1, 1).bytes());

    for (const char* xml : {"<OTHER><TABLE VENDORID=\"1\"><NAME>x</NAME></TABLE></OTHER>",
                            "<ERRORTABLES><NAME>x</NAME></ERRORTABLES>"}) {
        ASSERT_TRUE(load(xml));
        EXPECT_EQ("", mTable.GetVendorName(1).bytes()) << xml;
    }
    EXPECT_EQ("", mTable.GetVendorErrorDescription(nullptr, 1).bytes());

    // SetPathName alone keeps answering from the old document; a failed
    // reload leaves nothing.
    ASSERT_TRUE(load(good));
    mTable.SetPathName(TStr(mDir.file("missing.xml")));
    EXPECT_EQ("One", mTable.GetVendorName(1).bytes());
    EXPECT_FALSE(mTable.Load());
    EXPECT_EQ("", mTable.GetVendorName(1).bytes());
    EXPECT_EQ("", mTable.GetErrorDescription(1, 1).bytes());
}

TEST_F(ErrorTableTest, LoadRefusesWhatIsNotAReadableWellFormedFile) {
    EXPECT_FALSE(mTable.Load()); // empty path
    for (const char* xml : {"", "   \n", "just text", "<ERRORTABLES><TABLE></ERRORTABLES>",
                            "<ERRORTABLES><TABLE VENDORID=\"1\"><NAME>x</NAME></TABLE>",
                            "<ERRORTABLES><TABLE VENDORID=1\"/></ERRORTABLES>",
                            "<ERRORTABLES><!-- unterminated </ERRORTABLES>"}) {
        EXPECT_FALSE(load(xml)) << xml;
    }
    for (const std::string& path :
         {mDir.path(), std::string("/dev/zero"), mDir.file("bad\xff.xml")}) {
        mTable.SetPathName(TStr(path));
        EXPECT_FALSE(mTable.Load()) << path;
    }
}

TEST_F(ErrorTableTest, LoadRefusesTooDeepOrTooLargeFilesWithoutCrashing) {
    const std::string table = "<TABLE VENDORID=\"1\"><NAME>One</NAME>";
    // ERRORTABLES and TABLE are two of the 256 levels allowed.
    EXPECT_TRUE(load(document(table + zorvtest::nestedElements(254) + "</TABLE>")));
    EXPECT_FALSE(load(document(table + zorvtest::nestedElements(255) + "</TABLE>")));
    EXPECT_FALSE(load(document(table + "</TABLE>" + zorvtest::nestedElements(100000))));
    EXPECT_EQ("", mTable.GetVendorName(1).bytes());

    // The parser stops at the first zero byte past the document, so only the
    // size check refuses this (sparse) file.
    ASSERT_TRUE(load(document(table + "</TABLE>")));
    ASSERT_EQ(0, ::truncate(mPath.c_str(), 64L * 1024 * 1024 + 1));
    EXPECT_FALSE(mTable.Load());
}

TEST_F(ErrorTableTest, MarkupThatHidesNoElementsFromTheParserCannotHideDepth) {
    // Text that looks like the start of a comment, CDATA or value where the
    // parser does not read it as one, then 300 levels the parser does see.
    const std::string deep = zorvtest::nestedElements(300);
    for (const std::string& xml :
         {"<ERRORTABLES a=\"><!--\">" + deep + "<b c=\"-->\"/></ERRORTABLES>",
          "<ERRORTABLES a='><![CDATA['>" + deep + "<b c=\"]]>\"/></ERRORTABLES>",
          "<ERRORTABLES>\"" + deep + "\"</ERRORTABLES>", "<?pi > " + deep + " ?><ERRORTABLES/>",
          "<!DOCTYPE x [ <!ENTITY e \"> " + deep + "\"> ]><ERRORTABLES/>"}) {
        EXPECT_FALSE(load(xml)) << xml.substr(0, 40);
    }
}

TEST_F(ErrorTableTest, MarkupReadAsTheParserReadsItCannotHideDepth) {
    // Each hides 50,000 levels from a scan that does not follow the parser:
    // a quoted "<!--" in the declaration; a UTF-8 lead byte that takes the
    // "<!" of "<!--" in text, or the closing quote of a value, for its own.
    const std::string deep = zorvtest::nestedElements(50000);
    for (const std::string& head :
         {std::string("<?xml version=\"><!--\"?>"),
          std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><ERRORTABLES>\xe3<!--"),
          std::string("<?xml version=\"1.0\"?><ERRORTABLES x=\"\xe3\"><!--\">")}) {
        writeFile(mPath, head + deep);
        EXPECT_EQ(1, zorvtest::RoleProcess("load", {mPath}).wait()) << head;
    }
}

TEST_F(ErrorTableTest, ShippedTableNamesEveryVendorAndDescribesTheQetCodes) {
    mTable.SetPathName(TStr(ZORV_SOURCE_DIR "/data/ZorvErrorCodes.xml"));
    ASSERT_TRUE(mTable.Load());
    const char* names[] = {"", "ZorvCore", "ZorvLumen", "Brakka",  "BrakkaBoot", "ZorvPod",
                           "", "ZorvLoom", "ZorvQet",   "ZorvWyn", "ZorvFell"};
    for (int id = 0; id <= 10; ++id) {
        EXPECT_EQ(names[id], mTable.GetVendorName(id).bytes()) << id;
    }
    const char* qet[] = {"The pipe server could not listen on its socket",
                         "Another QET is already serving this user",
                         "A malformed request frame was received",
                         "A request frame exceeded the size limit",
                         "A connection was refused: too many open connections",
                         "A connection was dropped after its idle timeout"};
    for (int code = 1; code <= 6; ++code) {
        EXPECT_EQ(qet[code - 1], mTable.GetErrorDescription(8, code).bytes()) << code;
    }
}
