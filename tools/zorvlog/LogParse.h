#ifndef ZORVLOG_LOGPARSE_H
#define ZORVLOG_LOGPARSE_H

#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace zorvlog {

// Reads our log files back. Every line the library writes starts with a
// section (process id, date, time, joined by a tab or a comma); a line that
// does not is the tail of a value that held a line break and belongs to the
// line before it. The format escapes nothing, so a payload is split the only
// way it can be: key/value lines at "," and the first "=", item lines at
// their separator.
class LogParse {
public:
    struct Entry {
        enum Kind {
            kError, // the lines of one error record
            kPairs, // a key/value line that is not part of an error record
            kDebug, // a tab-separated item line
            kPerf,  // a comma-separated item line
            kText,  // a line without a section and no line before it
        };
        Kind kind = kText;
        int firstLine = 0;
        int lastLine = 0;
        std::string pid, date, time;
        std::vector<std::pair<std::string, std::string>> pairs; // kError, kPairs
        std::vector<std::string> items;                         // kDebug, kPerf
        std::string text;                                       // kText
    };

    // Reads the whole stream; the entries come out in file order.
    static std::vector<Entry> parse(std::istream& in);

    // The value of a key in an entry's pairs, and whether it is there.
    static bool find(const Entry& entry, const std::string& key, std::string& value);

    static std::string toJson(const Entry& entry, const std::string& source);
    static std::string toRow(const Entry& entry);
    static std::string tableHeading();

    // The "parse" command: exit 0, 1 when a file could not be read, 2 bad
    // arguments.
    static int run(const std::vector<std::string>& args);
    static const char* help();
};

} // namespace zorvlog

#endif
