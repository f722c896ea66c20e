#include "ZorvlogFixture.h"

#include <fstream>
#include <sys/stat.h>
#include <zlib.h>

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

void ZorvlogTest::writeGzip(const std::string& path,
                            const std::vector<std::pair<std::string, int>>& pieces) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const auto& piece : pieces) {
        z_stream z{};
        ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY), Z_OK);
        std::string member(deflateBound(&z, piece.first.size()), '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.first.data()));
        z.avail_in = static_cast<uInt>(piece.first.size());
        z.next_out = reinterpret_cast<Bytef*>(&member[0]);
        z.avail_out = static_cast<uInt>(member.size());
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        member.resize(z.total_out);
        deflateEnd(&z);
        for (int i = 0; i < piece.second; ++i) {
            out << member;
        }
    }
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
