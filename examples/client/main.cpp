// A complete client of the logging library: an error record in a log file of
// its own, a debug message and a performance row.
//
// Usage: zorv-client-example LOGFILE
#include <zorv/ErrorLog.h>

#include <chrono>
#include <cstdio>
#include <string>

// The number that names this component in the fixed list Zorv::VendorID
// (zorv/ZorvVendorID.h); this example stands in for ZorvFell. Never borrow
// another component's number: its name and descriptions would be in your
// records.
constexpr Zorv::VendorID kThisComponent = Zorv::kZorvFell;
// A status code of this component. Its description comes from the error-code
// table once the code has an entry there.
constexpr int kSettingsUnreadable = 1;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s LOGFILE\n", argv[0]);
        return 2;
    }

    // One logger for this program's errors. Naming the file in the constructor
    // also loads ZorvErrorCodes.xml, so the record carries the vendor's name
    // (and the code's description) beside the numbers.
    ZorvLogger errors{argv[1]};
    // The section (process id, date, time) is the prefix of every line until
    // the next start: start one per event you want timed on its own.
    errors.startLogging();
    ZorvErrorBase error(kThisComponent, kSettingsUnreadable, __FILE__, __LINE__, "5.0.0");
    // What went wrong, in words an operator can act on: without it the record
    // says "Fatal error".
    error.setReason("the settings file cannot be read; defaults used");
    errors.log(error); // nothing is reported back: logging never fails loudly

    // Debug and performance loggers pick their own files in the local user
    // data directory and write only when ZORV_DEBUG_MODE / ZORV_PERF_LOG are
    // set; when they are not, log() costs next to nothing.
    ZorvDebugLogger debug;
    debug.startLoggingWMilliSecs();
    debug.log(ZorvDebugLog(kThisComponent, "client example started"));

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
    data.mSecond = std::to_string(work.size()); // a std::string becomes a TStr
    data.mThird = "us";
    data.mFourth = std::to_string(micros);
    data.mFifth = "client-example";
    perf.log(ZorvPerfLog(kThisComponent, data));

    // A TStr gives its text back with toUtf8(): a pointer into the TStr (keep
    // the TStr while you use it), null when the text is not UTF-8.
    const TStr file = debug.getLogFileName();
    std::printf("debug log: %s\n", file.toUtf8() != nullptr ? file.toUtf8() : "(not UTF-8)");
    return 0;
}
