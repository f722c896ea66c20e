// The shipped lnav format read by the real lnav (headless) on a log of every
// record kind the library writes: every line with its time to the second,
// its process id and its level.

#include "OpsSupport.h"
#include "support/CapturedProcess.h"

#include <zorv/ErrorLog.h>

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(LongOpsLnav, EveryLineHasItsTimeProcessAndLevel) {
    ops::OpsHome home;
    const std::string log = home.path("every-kind.log");
    const std::string zorvlog = ZORVLOG_EXE;
    ASSERT_EQ(zorvtest::runProcess({zorvlog, "error", "--vendor", "ZorvQet", "--code", "3",
                                    "--vendor-version", "5.0.0", "--file", "a/b.cpp", log}),
              0);
    ASSERT_EQ(zorvtest::runProcess(
                  {zorvlog, "debug", "--vendor", "1", "--to", log, "--ms", "two\nlines"}),
              0);
    ASSERT_EQ(zorvtest::runProcess({zorvlog, "perf", "--vendor", "2", "--to", log, "--ms", "open",
                                    "12", "read", "3", "x"}),
              0);
    ASSERT_EQ(zorvtest::runProcess(
                  {zorvlog, "error", "--vendor", "9", "--code", "1", "--reason", "", log}),
              0);
    ZorvLogger logger{TStr(log.c_str())};
    logger.startLogging();
    logger.mLogFile.open(false);
    std::list<std::pair<TStr, TStr>> pairs{{"alpha", "1"}, {"beta", "2"}};
    logger.mLogFile.write(pairs);
    logger.mLogFile.close();

    // What lnav must say of each line with a section: "line time pid level".
    std::vector<std::string> expected;
    std::vector<std::string> lines = zorvtest::splitLines(zorvtest::readFile(log));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const char separator = lines[i].find('\t') < lines[i].find(',') ? '\t' : ',';
        std::vector<std::string> fields = zorvtest::splitFields(lines[i], separator);
        if (fields.size() < 4) {
            continue; // the second line of the debug record's message
        }
        std::string date = fields[1], time = fields[2].substr(0, 8);
        std::replace(date.begin(), date.end(), '/', '-');
        const std::string payload = fields[3];
        const char* level = separator == ','                                              ? "info"
                            : fields.size() > 4 && payload.find('=') == std::string::npos ? "debug"
                            : payload.rfind("alpha=", 0) == 0                             ? "notice"
                                                                                          : "error";
        expected.push_back(std::to_string(i) + " " + date + " " + time + ".000 " + fields[0] + " " +
                           level);
    }
    ASSERT_EQ(expected.size(), 15u); // 7 + 1 + 1 + 5 + 1

    const zorvtest::CapturedProcess lnav =
        zorvtest::runCaptured({"lnav", "-n", "-I", std::string(CONTRIB_STAGE) + "/lnav", "-c",
                               ";SELECT log_line, log_time, pid, log_level FROM zorv_log", log});
    ASSERT_EQ(lnav.status, 0) << lnav.err;
    std::vector<std::string> rows;
    for (const std::string& line : zorvtest::splitLines(lnav.out)) {
        std::istringstream words(line);
        std::string number, day, clock, pid, level;
        if (words >> number >> day >> clock >> pid >> level && number != "log_line") {
            rows.push_back(number + " " + day + " " + clock + " " + pid + " " + level);
        }
    }
    EXPECT_EQ(rows, expected) << lnav.out << lnav.err;
}

} // namespace
