#include "XmlNestingScan.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// The scan's depth, or 1001 for a refusal.
std::size_t scanned(const std::string& xml, std::size_t depth, std::size_t attributes) {
    const zorv_detail::XmlScan scan =
        zorv_detail::scanForParser(xml.data(), xml.size(), {depth, attributes});
    return scan.refusal == zorv_detail::XmlRefusal::None ? scan.depth : 1001;
}

} // namespace

// Exact depths, so that a scan that counts too much (refusing good tables)
// shows as plainly as one that counts too little.
TEST(XmlNestingScanTest, CountsElementDepthTheWayTheParserSeesIt) {
    using namespace std::string_literals;
    const std::pair<std::string, std::size_t> cases[] = {
        {"plain text > < ", 0},
        {"<a><b/><b/><b></b></a>", 2},
        {"<a><b x='/>'><c/></b></a>", 3},
        {"<a x=\"<b><b>\" y='>'><b/></a>", 2},
        {"<a><!-- <b><c> --></a>", 1},
        {"<a><!----><b/></a>", 2},
        {"<a><!-- - -- ---><b/></a>", 2},
        {"<a><![CDATA[<b><c>]]]></a><d><e/></d>", 2},
        {"<?xml version='1.0'?><!DOCTYPE a><a><b/></a>", 2},
        {"<a>< b><c/></a>", 2},
        {"<_a><\xc3\xa9><x/></\xc3\xa9></_a>", 3},
        // The parser gives up at an end tag of another element, at "/ >" and
        // at an attribute given twice.
        {"<a></b></c><e><f/></e></a>", 1},
        {"<a / ><b/>", 1},
        {"<a x='1' x='2'><b/></a>", 1},
        // Numeric references run to the next ';'.
        {"<?xml version='1.0'?><a>&#x<b>x;&#<c>#;<d/></a>", 2},
        // A UTF-8 lead byte takes the "<!" of "<!--" along, in UTF-8 only:
        // a byte-order mark, a declaration without an encoding or naming
        // UTF-8 (entities decoded) make a document UTF-8.
        {"<?xml encoding='latin1'?><a>\xe3<!--<b/>--></a>", 1},
        {"<?xml encoding='&#85;TF-8'?><a>\xe3<!--<b/>--></a>", 2},
        {"\xef\xbb\xbf<a>\xe3<!--<b/>--></a>", 2},
        {"<!-- first --><?xml version='1'?><a>\xe3<!--<b/>--></a>", 2},
        // ... and a zero byte: the parser reads on after it.
        {"<?xml version='1'?><a>\xe3\0<b><c/></b></a>"s, 2},
        // ... and the end of the buffer: the parser would read beyond it.
        {"<?xml version='1'?><a b='\xe3", 1001},
    };
    for (const auto& c : cases) {
        const std::string& xml = c.first;
        EXPECT_EQ(c.second, scanned(xml, 1000, 3)) << xml;
    }
    EXPECT_EQ(1001u, scanned("<a><b x='' y='' z='' w=''/></a>", 1000, 3));
    const std::string deep = zorvtest::nestedElements(100000);
    EXPECT_EQ(1001u, scanned(deep, 256, 3));
    EXPECT_EQ(100000u, scanned(deep, 200000, 3));
}
