#ifndef ZORVLOG_TABLECHECK_H
#define ZORVLOG_TABLECHECK_H

#include <string>
#include <utility>
#include <vector>

class TiXmlElement;
class TiXmlNode;

namespace zorvlog {

// Checks an error-code table the way the library's lookups read it, and
// reports everything that makes a lookup miss or misread an entry, with the
// line it is on.
class TableCheck {
public:
    struct Finding {
        int line;
        int column;
        std::string kind; // a stable word for scripts, e.g. "duplicate-code"
        std::string message;
        std::vector<int> hides; // lines of the entries this one keeps out of reach
    };

    // False when the file cannot be read at all; readError says why. True
    // otherwise, with the findings (none for a clean table).
    bool check(const std::string& path);

    const std::vector<Finding>& findings() const { return mFindings; }
    const std::string& readError() const { return mReadError; }
    // Whether the library loads the file (its look-ups may still miss); when
    // it does not, loadError says why.
    bool loads() const { return mLoads; }
    const std::string& loadError() const { return mLoadError; }
    int tableCount() const { return mTables; }
    int errorCount() const { return mErrors; }

    // The "check-table" command: plain or --json report, exit 0 clean,
    // 1 findings or no table at all, 2 unreadable file or bad arguments.
    static int run(const std::vector<std::string>& args);
    static const char* help();

    // The search for the table, as the library makes it, told for a person.
    struct Search {
        std::string path;                    // the table the library reads; empty when none
        std::vector<std::string> searched;   // the directories, in order
        std::vector<std::string> passedOver; // "<path> is passed over: it <reason>"
        std::string unloadable;              // why the table found gives nothing, and what it hides
    };
    static Search search();
    // The vendor ids and names of the table the library loads, as its
    // look-up of each id answers (a vendor's first named table); none when
    // there is no table or it does not load.
    static std::vector<std::pair<int, std::string>> vendorNames();
    // Where no table was found: where it was looked for, and what provides one.
    static std::string noTableText(const Search& search);

private:
    void loadsNothing(int line, int column, const char* kind, const std::string& what);
    void add(const TiXmlNode* at, const char* kind, const std::string& message,
             std::vector<int> hides = {});
    void checkTables(TiXmlElement* root);
    void checkTable(TiXmlElement* table, bool reachable);
    void checkError(TiXmlElement* error);
    void checkTextOnly(TiXmlElement* element, const char* what);

    std::vector<Finding> mFindings;
    std::string mReadError;
    std::string mLoadError;
    bool mLoads = false;
    int mTables = 0;
    int mErrors = 0;
};

} // namespace zorvlog

#endif
