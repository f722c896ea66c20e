#include "ZorvlogFixture.h"

#include <sys/stat.h>

namespace zorvtest {

const char* const kTestTable = R"(<?xml version="1.0"?>
<ERRORTABLES>
  <TABLE VENDORID="3">
    <NAME>Brakka</NAME>
    <ERROR CODE="42"><DESCRIPTION>Disk on fire</DESCRIPTION></ERROR>
    <ERROR CODE="-7"><DESCRIPTION>Negative status</DESCRIPTION></ERROR>
  </TABLE>
  <TABLE VENDORID="8">
    <NAME>ZorvQet</NAME>
    <ERROR CODE="3"><DESCRIPTION>A malformed request frame was received</DESCRIPTION></ERROR>
  </TABLE>
</ERRORTABLES>
)";

ZorvlogTest::ZorvlogTest() {
    installTable(kTestTable);
}

void ZorvlogTest::installTable(const std::string& xml) {
    ::mkdir(mHome.dataHome().c_str(), 0700);
    ::mkdir(mHome.zorvDataDir().c_str(), 0700);
    writeFile(tablePath(), xml);
}

CapturedProcess ZorvlogTest::zorvlog(const std::vector<std::string>& args,
                                     const std::string& input) {
    std::vector<std::string> argv{ZORVLOG_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return runCaptured(argv, input);
}

std::vector<std::string> ZorvlogTest::payloads(const std::string& path, char separator) {
    std::vector<std::string> out;
    for (const std::string& line : splitLines(readFile(path))) {
        std::string::size_type pos = 0;
        for (int i = 0; i < 3 && pos != std::string::npos; ++i) {
            pos = line.find(separator, pos);
            pos = pos == std::string::npos ? pos : pos + 1;
        }
        out.push_back(pos == std::string::npos ? "<no section: " + line + ">" : line.substr(pos));
    }
    return out;
}

std::vector<std::vector<std::string>> ZorvlogTest::sections(const std::string& path,
                                                            char separator) {
    std::vector<std::vector<std::string>> out;
    for (const std::string& line : splitLines(readFile(path))) {
        std::vector<std::string> fields = splitFields(line, separator);
        fields.resize(3);
        out.push_back(fields);
    }
    return out;
}

} // namespace zorvtest
