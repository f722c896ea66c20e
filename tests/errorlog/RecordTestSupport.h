#ifndef ZORV_RECORD_TEST_SUPPORT_H
#define ZORV_RECORD_TEST_SUPPORT_H

// Helpers of the record and switchable-logger suites.

#include "support/TestSupport.h"

#include <zorv/ZorvLogger.h>

#include <string>
#include <sys/stat.h>

namespace recordtest {

// A "uname" first on PATH that prints the given text and leaves a mark in a
// file each time it runs, so a test can tell whether a child process was started.
class MarkingUname {
public:
    explicit MarkingUname(const std::string& output) : mPath("PATH", nullptr) {
        const std::string data = mDir.file("uname.out");
        const std::string script = mDir.file("uname");
        zorvtest::writeFile(data, output);
        zorvtest::writeFile(script, "#!/bin/sh\necho run >> '" + marks() + "'\nexec /bin/cat '" +
                                        data + "'\n");
        ::chmod(script.c_str(), 0755);
        ::setenv("PATH", (mDir.path() + ":/usr/bin:/bin").c_str(), 1);
    }
    int runs() const {
        return static_cast<int>(zorvtest::splitLines(zorvtest::readFile(marks())).size());
    }

private:
    std::string marks() const { return mDir.file("runs"); }

    zorvtest::TempDir mDir;
    zorvtest::ScopedEnv mPath;
};

// The error-code table the record tests look things up in: vendor 3 is "N" and
// describes its code 42 as "D"; vendor 7 has a name but no codes; vendor 2 has
// a code but no name.
inline std::string errorTableXml() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ERRORTABLES>\n"
           "  <TABLE VENDORID=\"3\">\n"
           "    <NAME>N</NAME>\n"
           "    <ERROR CODE=\"42\"><DESCRIPTION>D</DESCRIPTION></ERROR>\n"
           "    <ERROR CODE=\"-7\"><DESCRIPTION>negative</DESCRIPTION></ERROR>\n"
           "  </TABLE>\n"
           "  <TABLE VENDORID=\"7\">\n"
           "    <NAME>Loom</NAME>\n"
           "  </TABLE>\n"
           "  <TABLE VENDORID=\"2\">\n"
           "    <ERROR CODE=\"1\"><DESCRIPTION>one</DESCRIPTION></ERROR>\n"
           "  </TABLE>\n"
           "</ERRORTABLES>\n";
}

// Writes the table where the utility library looks first: the local user data
// directory of the isolated home.
inline void installErrorTable(const zorvtest::IsolatedHome& home) {
    ::mkdir(home.dataHome().c_str(), 0700);
    ::mkdir(home.zorvDataDir().c_str(), 0700);
    zorvtest::writeFile(home.zorvDataDir() + "/ZorvErrorCodes.xml", errorTableXml());
}

inline std::string s(const TStr& text) {
    return text.bytes();
}

} // namespace recordtest

#endif
