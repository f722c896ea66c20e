// zorvlog check-table: one small table per kind of finding, each checked
// against what the library's lookups really do with that table.
#include "ZorvlogFixture.h"

#include <zorv/ZorvErrorTable.h>
#include <zorv/ZorvUtil.h>

#include <sys/stat.h>

namespace zorvtest {
namespace {

class CheckTable : public ZorvlogTest {
public:
    struct Found {
        int line;
        std::string kind;
        std::vector<int> hides;
    };

    // Runs check-table --json on the text and returns the findings; the
    // plain run must agree on status and on every kind and line.
    std::vector<Found> check(const std::string& xml, int expectedStatus = 1) {
        const std::string path = mDir.file("table.xml");
        writeFile(path, xml);
        CapturedProcess json = zorvlog({"check-table", "--json", path});
        EXPECT_EQ(json.status, expectedStatus) << json.out << json.err;
        nlohmann::json report = nlohmann::json::parse(json.out);
        EXPECT_EQ(report.at("file").get<std::string>(), path);
        EXPECT_EQ(report.at("clean").get<bool>(), expectedStatus == 0);
        CapturedProcess plain = zorvlog({"check-table", path});
        EXPECT_EQ(plain.status, expectedStatus);
        std::vector<Found> found;
        for (const nlohmann::json& f : report.at("findings")) {
            Found one{
                static_cast<int>(f.at("line").get<double>()), f.at("kind").get<std::string>(), {}};
            for (const nlohmann::json& h : f.at("hides")) {
                one.hides.push_back(static_cast<int>(h.get<double>()));
            }
            EXPECT_FALSE(f.at("message").get<std::string>().empty());
            std::string expectedPrefix = path + ":" + std::to_string(one.line) + ":";
            EXPECT_NE(plain.out.find(expectedPrefix), std::string::npos) << plain.out;
            EXPECT_NE(plain.out.find(": " + one.kind + ": "), std::string::npos) << plain.out;
            found.push_back(one);
        }
        return found;
    }

protected:
    // The library's own table on the same file.
    std::unique_ptr<ZorvErrorTable> library() {
        auto table = std::make_unique<ZorvErrorTable>(TStr(mDir.file("table.xml").c_str()));
        table->Load();
        return table;
    }

    static bool has(const std::vector<Found>& found, const std::string& kind, int line) {
        for (const Found& f : found) {
            if (f.kind == kind && f.line == line) {
                return true;
            }
        }
        return false;
    }
};

std::string describe(const std::vector<CheckTable::Found>& found) {
    std::string text;
    for (const auto& f : found) {
        text += std::to_string(f.line) + ":" + f.kind + " ";
    }
    return text;
}

TEST_F(CheckTable, CleanTableAndTheShippedOne) {
    EXPECT_TRUE(check(kTestTable, 0).empty());
    CapturedProcess shipped = zorvlog({"check-table", SHIPPED_TABLE});
    EXPECT_EQ(shipped.status, 0) << shipped.out;
    EXPECT_NE(shipped.out.find("clean"), std::string::npos);
    // Comments and text between entries are passed over by the lookups too.
    EXPECT_TRUE(check("<ERRORTABLES><TABLE VENDORID=\"1\"><!-- c --><NAME>A</NAME><!-- c -->"
                      "<ERROR CODE=\" 5 \"><DESCRIPTION>d</DESCRIPTION></ERROR><!-- c -->"
                      "<ERROR CODE=\"6\"><DESCRIPTION>e</DESCRIPTION></ERROR></TABLE><!-- c -->"
                      "<TABLE VENDORID=\"2\"><NAME>B</NAME></TABLE></ERRORTABLES>",
                      0)
                    .empty());
    EXPECT_EQ(library()->GetErrorDescription(1, 6), TStr("e"));
    EXPECT_EQ(library()->GetVendorName(2), TStr("B"));
}

// A file name reaches the terminal escaped, in the findings and the verdict.
TEST_F(CheckTable, TheFilesNameIsShownEscaped) {
    const std::string path = mDir.file("t\x1b]0;x\a.xml");
    writeFile(path, "<ERRORTABLES><TABLE VENDORID=\"1\"><NAME>A</NAME></TABLE></ERRORTABLES>");
    CapturedProcess plain = zorvlog({"check-table", path});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out.find_first_of("\x1b\a"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("t\\x1b]0;x\\x07.xml: clean"), std::string::npos) << plain.out;
}

TEST_F(CheckTable, NotWellFormedGivesTheParsersLine) {
    auto found = check("<ERRORTABLES>\n<TABLE VENDORID=\"1\">\n<NAME>A</NAME>\n</ERRORTABLES>\n");
    ASSERT_EQ(found.size(), 1u) << describe(found);
    EXPECT_EQ(found[0].kind, "not-well-formed");
    EXPECT_GE(found[0].line, 2);
    EXPECT_FALSE(library()->Load());

    found = check("");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, "not-well-formed");
}

TEST_F(CheckTable, TooDeepIsRefusedLikeTheLibraryDoes) {
    std::string deep = "<ERRORTABLES>";
    for (int i = 0; i < 300; ++i) {
        deep += "<a>";
    }
    for (int i = 0; i < 300; ++i) {
        deep += "</a>";
    }
    deep += "</ERRORTABLES>";
    auto found = check(deep);
    ASSERT_EQ(found.size(), 1u) << describe(found);
    EXPECT_EQ(found[0].kind, "too-deep");
    EXPECT_FALSE(library()->Load());

    // Deep enough to overflow a recursive parser's stack: still an answer.
    std::string hostile(2000000, 'x');
    for (std::size_t i = 0; i + 3 <= hostile.size(); i += 3) {
        hostile.replace(i, 3, "<a>");
    }
    EXPECT_EQ(check(hostile)[0].kind, "too-deep");
    // Markup that a scan blind to the parser's reading takes for a comment.
    for (const char* head :
         {"<?xml version=\"><!--\"?>", "<?xml version=\"1.0\"?><ERRORTABLES>\xe3<!--",
          "<?xml version=\"1.0\"?><ERRORTABLES x=\"\xe3\"><!--\">"}) {
        auto found = check(head + hostile);
        ASSERT_EQ(found.size(), 1u) << head;
        EXPECT_EQ(found[0].kind, "too-deep") << head;
    }
}

TEST_F(CheckTable, WhatTheParserCannotTakeIsRefusedLikeTheLibraryDoes) {
    // The parser checks each attribute against those before it: 64 on one
    // element cost little, a crafted few thousand cost seconds, millions days.
    std::string attributes;
    for (int i = 0; i < 64; ++i) {
        attributes += " a" + std::to_string(i) + "=''";
    }
    EXPECT_EQ(check("<ERRORTABLES" + attributes + "/>")[0].kind, "no-tables");
    auto found = check("<ERRORTABLES" + attributes + " a64=''/>");
    ASSERT_EQ(found.size(), 1u) << describe(found);
    EXPECT_EQ(found[0].kind, "too-many-attributes");
    EXPECT_FALSE(library()->Load());
    // A UTF-8 lead byte at the end would make the parser read past its buffer.
    EXPECT_EQ(check("<?xml version=\"1.0\"?><ERRORTABLES a=\"\xe3")[0].kind, "not-well-formed");
}

TEST_F(CheckTable, MissingRootOrTables) {
    auto found = check("<?xml version=\"1.0\"?>\n<ERRORTABLE>\n</ERRORTABLE>\n");
    ASSERT_EQ(found.size(), 1u) << describe(found);
    EXPECT_TRUE(has(found, "no-errortables", 2));

    found = check("<ERRORTABLES>\n  <table VENDORID=\"1\"/>\n</ERRORTABLES>\n");
    EXPECT_TRUE(has(found, "no-tables", 1)) << describe(found);
    EXPECT_TRUE(has(found, "unknown-element", 2)) << describe(found);
}

TEST_F(CheckTable, TableWithoutVendorIdHidesTheTablesAfterIt) {
    auto found = check("<ERRORTABLES>\n"
                       "  <TABLE VENDORID=\"1\"><NAME>One</NAME></TABLE>\n"
                       "  <TABLE><NAME>Lost</NAME></TABLE>\n"
                       "  <TABLE VENDORID=\"3\"><NAME>Three</NAME></TABLE>\n"
                       "  <TABLE><NAME>Lost too</NAME></TABLE>\n"
                       "  <TABLE VENDORID=\"3\"><NAME>Again</NAME></TABLE>\n"
                       "</ERRORTABLES>\n");
    // The first table without an id hides the rest; what lies beyond it is
    // reported for itself, but hides and duplicates nothing more.
    ASSERT_EQ(found.size(), 2u) << describe(found);
    EXPECT_EQ(found[0].kind, "table-without-vendorid");
    EXPECT_EQ(found[0].line, 3);
    EXPECT_EQ(found[0].hides, (std::vector<int>{4, 5, 6}));
    EXPECT_EQ(found[1].kind, "table-without-vendorid");
    EXPECT_EQ(found[1].line, 5);
    EXPECT_TRUE(found[1].hides.empty());
    auto table = library();
    EXPECT_EQ(table->GetVendorName(1), TStr("One"));
    EXPECT_TRUE(table->GetVendorName(3).isEmpty());
}

TEST_F(CheckTable, KeysThatAreNotIntegers) {
    auto found = check("<ERRORTABLES>\n"
                       "  <TABLE VENDORID=\"0x3\"><NAME>Hex</NAME></TABLE>\n"
                       "  <TABLE VENDORID=\"2\"><NAME>Two</NAME>\n"
                       "    <ERROR CODE=\"12abc\"><DESCRIPTION>d</DESCRIPTION></ERROR>\n"
                       "    <ERROR CODE=\"99999999999\"><DESCRIPTION>d</DESCRIPTION></ERROR>\n"
                       "  </TABLE>\n"
                       "</ERRORTABLES>\n");
    EXPECT_EQ(found.size(), 3u) << describe(found);
    EXPECT_TRUE(has(found, "vendorid-not-integer", 2));
    EXPECT_TRUE(has(found, "code-not-integer", 4));
    EXPECT_TRUE(has(found, "code-not-integer", 5));
    auto table = library();
    EXPECT_TRUE(table->GetVendorName(0).isEmpty());
    EXPECT_TRUE(table->GetVendorName(3).isEmpty());
    EXPECT_EQ(table->GetVendorName(2), TStr("Two")) << "the lookups go on past such a table";
    EXPECT_TRUE(table->GetErrorDescription(2, 12).isEmpty());
}

TEST_F(CheckTable, DuplicatesSayWhichEntryWins) {
    auto found = check("<ERRORTABLES>\n"
                       "  <TABLE VENDORID=\"2\"><NAME>First</NAME>\n"
                       "    <ERROR CODE=\"5\"><DESCRIPTION>first five</DESCRIPTION></ERROR>\n"
                       "    <ERROR CODE=\"5\"><DESCRIPTION>second five</DESCRIPTION></ERROR>\n"
                       "  </TABLE>\n"
                       "  <TABLE VENDORID=\"2\"><NAME>Second</NAME>\n"
                       "    <ERROR CODE=\"6\"><DESCRIPTION>six</DESCRIPTION></ERROR>\n"
                       "  </TABLE>\n"
                       "</ERRORTABLES>\n");
    ASSERT_EQ(found.size(), 2u) << describe(found);
    EXPECT_TRUE(has(found, "duplicate-code", 4));
    EXPECT_TRUE(has(found, "duplicate-vendor", 6));
    auto table = library();
    EXPECT_EQ(table->GetErrorDescription(2, 5), TStr("first five"));
    EXPECT_TRUE(table->GetErrorDescription(2, 6).isEmpty());
    EXPECT_EQ(table->GetVendorName(2), TStr("First"));
}

TEST_F(CheckTable, NameProblems) {
    auto found = check("<ERRORTABLES>\n"
                       "  <TABLE VENDORID=\"1\">\n"
                       "    <ERROR CODE=\"1\"><DESCRIPTION>one</DESCRIPTION></ERROR>\n"
                       "  </TABLE>\n"
                       "  <TABLE VENDORID=\"2\"><NAME></NAME></TABLE>\n"
                       "  <TABLE VENDORID=\"3\">\n"
                       "    <ERROR CODE=\"1\"><DESCRIPTION>one</DESCRIPTION></ERROR>\n"
                       "    <NAME>Late</NAME>\n"
                       "    <ERROR CODE=\"2\"><DESCRIPTION>two</DESCRIPTION></ERROR>\n"
                       "  </TABLE>\n"
                       "</ERRORTABLES>\n");
    ASSERT_EQ(found.size(), 3u) << describe(found);
    EXPECT_TRUE(has(found, "name-missing", 2));
    EXPECT_TRUE(has(found, "name-empty", 5));
    EXPECT_TRUE(has(found, "name-after-error", 8));
    for (const Found& f : found) {
        if (f.kind == "name-after-error") {
            EXPECT_EQ(f.hides, std::vector<int>{9});
        }
    }
    auto table = library();
    EXPECT_EQ(table->GetVendorName(3), TStr("Late")) << "the late name is still found";
    EXPECT_EQ(table->GetErrorDescription(3, 1), TStr("one"));
    EXPECT_TRUE(table->GetErrorDescription(3, 2).isEmpty()) << "but code 2 is hidden";
}

TEST_F(CheckTable, ErrorEntryProblems) {
    auto found = check("<ERRORTABLES>\n"
                       "  <TABLE VENDORID=\"1\"><NAME>A</NAME>\n"
                       "    <ERROR CODE=\"1\"/>\n"
                       "    <ERROR CODE=\"2\"><DESCRIPTION/></ERROR>\n"
                       "    <ERROR><DESCRIPTION>no code</DESCRIPTION></ERROR>\n"
                       "    <ERROR CODE=\"3\"><DESCRIPTION>three</DESCRIPTION></ERROR>\n"
                       "    <ERROR><DESCRIPTION>no code either</DESCRIPTION></ERROR>\n"
                       "    <ERROR CODE=\"3\"><DESCRIPTION>three again</DESCRIPTION></ERROR>\n"
                       "  </TABLE>\n"
                       "</ERRORTABLES>\n");
    ASSERT_EQ(found.size(), 4u) << describe(found);
    EXPECT_TRUE(has(found, "error-without-description", 3));
    EXPECT_TRUE(has(found, "description-empty", 4));
    EXPECT_TRUE(has(found, "error-without-code", 5));
    EXPECT_TRUE(has(found, "error-without-code", 7));
    EXPECT_EQ(found[2].hides, (std::vector<int>{6, 7, 8}));
    EXPECT_TRUE(found[3].hides.empty()) << "already out of reach";
    auto table = library();
    EXPECT_TRUE(table->GetErrorDescription(1, 3).isEmpty());
    EXPECT_TRUE(table->GetErrorDescription(1, 1).isEmpty());
}

TEST_F(CheckTable, UnknownElements) {
    auto found = check("<ERRORTABLES>\n"
                       "  <VERSION>2</VERSION>\n"
                       "  <TABLE VENDORID=\"1\"><NAME>A</NAME><COLOUR/>\n"
                       "    <ERROR CODE=\"1\"><DESCRIPTION>one</DESCRIPTION><HINT/></ERROR>\n"
                       "    <WARNING CODE=\"2\"><DESCRIPTION>two</DESCRIPTION></WARNING>\n"
                       "  </TABLE>\n"
                       "  <Table VENDORID=\"4\"><NAME>Four</NAME></Table>\n"
                       "</ERRORTABLES>\n"
                       "<EXTRA/>\n");
    EXPECT_EQ(found.size(), 6u) << describe(found);
    for (int line : {2, 3, 4, 5, 7, 9}) {
        EXPECT_TRUE(has(found, "unknown-element", line)) << line << ": " << describe(found);
    }
    // What the findings warn about: the odd elements are read as entries.
    auto table = library();
    EXPECT_EQ(table->GetErrorDescription(1, 2), TStr("two"));
    EXPECT_EQ(table->GetVendorName(4), TStr("Four"));
}

TEST_F(CheckTable, JsonEscapesWhatTheFileHolds) {
    auto found = check("<ERRORTABLES><TABLE VENDORID=\"&quot;\\&#9;\"><NAME>A</NAME></TABLE>"
                       "</ERRORTABLES>");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].kind, "vendorid-not-integer");
}

TEST_F(CheckTable, DefaultIsTheTableTheLibraryLoads) {
    CapturedProcess run = zorvlog({"check-table"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(tablePath()), std::string::npos) << run.out;

    installTable("<ERRORTABLES><TABLE/></ERRORTABLES>");
    CapturedProcess bad = zorvlog({"check-table", "--json"});
    EXPECT_EQ(bad.status, 1);
    nlohmann::json report = nlohmann::json::parse(bad.out);
    EXPECT_EQ(report.at("file").get<std::string>(), tablePath());
    EXPECT_TRUE(report.at("default").get<bool>());
}

TEST_F(CheckTable, UnreadableFilesExitWithTwo) {
    CapturedProcess missing = zorvlog({"check-table", mDir.file("missing.xml")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("missing.xml"), std::string::npos);
    EXPECT_EQ(zorvlog({"check-table", mDir.path()}).status, 2);
}

TEST_F(CheckTable, NoTableIsAFindingThatNamesWhereItWasLookedFor) {
    ::unlink(tablePath().c_str());
    if (!ZorvUtil::getZorvFileLocation(ZorvUtil::kZorvErrorCodesFile, TStr()).isEmpty()) {
        GTEST_SKIP() << "a table is installed on this machine";
    }
    CapturedProcess none = zorvlog({"check-table"});
    EXPECT_EQ(none.status, 1) << "a missing table is a finding, not a bad command line";
    EXPECT_NE(none.err.find(mHome.zorvDataDir()), std::string::npos) << none.err;
    EXPECT_NE(none.err.find(mHome.root() + "/sys/zorv"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("zorv-data"), std::string::npos) << none.err;

    // A script asking for JSON gets an object it can read, with the same words.
    CapturedProcess json = zorvlog({"check-table", "--json"});
    EXPECT_EQ(json.status, 1);
    const nlohmann::json report = nlohmann::json::parse(json.out);
    EXPECT_TRUE(report.at("file").is_null());
    EXPECT_FALSE(report.at("clean").get<bool>());
    ASSERT_EQ(report.at("findings").size(), 1u) << json.out;
    EXPECT_EQ(report.at("findings")[0].at("kind").get<std::string>(), "no-table");
    EXPECT_NE(report.at("findings")[0].at("message").get<std::string>().find(mHome.zorvDataDir()),
              std::string::npos)
        << json.out;
}

} // namespace
} // namespace zorvtest
