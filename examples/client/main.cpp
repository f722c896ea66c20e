// A complete client of the logging library: an error record in a log file of
// its own, a debug message and a performance row.
//
// Usage: zorv-client-example LOGFILE
#include <zorv/ErrorLog.h>

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LOGFILE\n", argv[0]);
        return 2;
    }

    // One logger for this program's errors. Naming the file in the constructor
    // also loads ZorvErrorCodes.xml, so the record carries the vendor's name
    // and the code's description beside the numbers.
    ZorvLogger errors{TStr(argv[1])};
    // The section (process id, date, time) is the prefix of every line until
    // the next start: start one per event you want timed on its own.
    errors.startLogging();
    ZorvErrorBase error(Zorv::kZorvQet, 3, __FILE__, __LINE__, "5.0.0");
    errors.log(error); // nothing is reported back: logging never fails loudly

    // Debug and performance loggers pick their own files in the local user
    // data directory and write only when ZORV_DEBUG_MODE / ZORV_PERF_LOG are
    // set; when they are not, log() costs next to nothing.
    ZorvDebugLogger debug;
    debug.startLoggingWMilliSecs();
    debug.log(ZorvDebugLog(Zorv::kZorvQet, "client example started"));

    auto begin = std::chrono::steady_clock::now();
    std::string work;
    for (int i = 0; i < 1000; ++i) {
        work += std::to_string(i);
    }
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now() - begin)
                      .count();

    ZorvPerfLogger perf;
    perf.startLogging();
    ZorvPerfLogData data; // every field starts as "NA"
    data.mFirst = "build";
    data.mSecond = TStr(std::to_string(work.size()).c_str());
    data.mThird = "us";
    data.mFourth = TStr(std::to_string(micros).c_str());
    data.mFifth = "client-example";
    perf.log(ZorvPerfLog(Zorv::kZorvQet, data));
    return 0;
}
