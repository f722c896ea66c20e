#ifndef ZORVLOG_TABLECHECK_H
#define ZORVLOG_TABLECHECK_H

#include <string>
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
    int tableCount() const { return mTables; }
    int errorCount() const { return mErrors; }

    // The "check-table" command: plain or --json report, exit 0 clean,
    // 1 findings, 2 unreadable file or bad arguments.
    static int run(const std::vector<std::string>& args);
    static const char* help();

    // The table the library would load, empty when it finds none.
    static std::string defaultTablePath();

private:
    void add(const TiXmlNode* at, const char* kind, const std::string& message,
             std::vector<int> hides = {});
    void checkTables(TiXmlElement* root);
    void checkTable(TiXmlElement* table, bool reachable);
    void checkError(TiXmlElement* error);
    void checkTextOnly(TiXmlElement* element, const char* what);

    std::vector<Finding> mFindings;
    std::string mReadError;
    int mTables = 0;
    int mErrors = 0;
};

} // namespace zorvlog

#endif
