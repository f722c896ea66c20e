// The logger core and the error-code table, measured side by side in one run.
//
// A record of three key/value lines through ZorvLogger::log (named mutex,
// open, three lines, close) is set against the least the same effect needs:
// open(O_APPEND), one write of the same bytes, close. BM_LogVsFloor_Alternating
// runs both in batches inside one loop, so that a change of machine load
// cannot pass for a difference; its "ratio" and "cpu_ratio" counters are
// log / floor (see bench::alternate).
//
// The table lookup walks the document by design; its cost on a large table
// and the cost of loading that table are reported, not bounded.

#include "BenchSupport.h"
#include "XmlNestingScan.h"

#include <zorv/ZorvErrorTable.h>
#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using bench::alternate;
using bench::appendOnce;

// The run's private home, and the log file's named mutex, which lives in the
// utility library's directory outside it.
class BenchDir : public bench::BenchHome {
public:
    BenchDir() : BenchHome("zorvbench-logger") {}
    ~BenchDir() {
        ::unlink(
            ("/dev/shm/zorv-" + std::to_string(::geteuid()) + "/" + logName() + ".Mutex").c_str());
    }
    static std::string logName() { return "bench-logger-" + std::to_string(::getpid()) + ".log"; }
};

BenchDir& dir() {
    static BenchDir instance;
    return instance;
}

const char* const kKeys[3] = {"Reason", "ComputerName", "OS"};
const char* const kValues[3] = {"Fatal error", "buildhost", "6.1.0-13-amd64"};

// A client's record: three key/value lines.
class ThreeLines : public ZorvLoggable {
public:
    ThreeLines() : ZorvLoggable(TStr()) {
        for (int i = 0; i < 3; ++i) {
            mKeys[i] = TStr(kKeys[i]);
            mValues[i] = TStr(kValues[i]);
        }
    }
    void dumpTechSupport(ZorvLogger* logger) const override {
        for (int i = 0; i < 3; ++i) {
            logger->mLogFile.write(mKeys[i], mValues[i]);
        }
    }

private:
    TStr mKeys[3];
    TStr mValues[3];
};

struct LogSide {
    LogSide() : logger(false) {
        logger.setLogFileName(TStr(dir().file(BenchDir::logName())));
        logger.startLogging();
        // The floor writes exactly the bytes that a record puts in the file.
        const std::string header = logger.getHeader().bytes();
        for (int i = 0; i < 3; ++i) {
            bytes += header + "\t" + kKeys[i] + "=" + kValues[i] + "\n";
        }
        floorPath = dir().file("floor.log");
    }
    void log() { logger.log(record); }
    void floor() { benchmark::DoNotOptimize(appendOnce(floorPath, bytes)); }

    ZorvLogger logger;
    ThreeLines record;
    std::string bytes;
    std::string floorPath;
};

LogSide& side() {
    static LogSide instance;
    return instance;
}

void BM_Log_ThreeLines(benchmark::State& state) {
    LogSide& s = side();
    for (auto _ : state) {
        s.log();
    }
}
BENCHMARK(BM_Log_ThreeLines);

void BM_Floor_ThreeLines(benchmark::State& state) {
    LogSide& s = side();
    for (auto _ : state) {
        s.floor();
    }
}
BENCHMARK(BM_Floor_ThreeLines);

void BM_LogVsFloor_Alternating(benchmark::State& state) {
    LogSide& s = side();
    alternate(
        state, {"log", 16, 16}, [&] { s.log(); }, [&] { s.floor(); });
}
BENCHMARK(BM_LogVsFloor_Alternating)->MinTime(2.0);

// ---- A table of 10 vendors x 1000 codes.

constexpr int kVendors = 10;
constexpr int kCodes = 1000;

std::string largeTablePath() {
    static const std::string path = [] {
        const std::string p = dir().file("large.xml");
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ERRORTABLES>\n";
        for (int v = 1; v <= kVendors; ++v) {
            xml += "  <TABLE VENDORID=\"" + std::to_string(v) + "\">\n    <NAME>Vendor " +
                   std::to_string(v) + "</NAME>\n";
            for (int c = 1; c <= kCodes; ++c) {
                xml += "    <ERROR CODE=\"" + std::to_string(c) +
                       "\"><DESCRIPTION>Description of error " + std::to_string(c) + " of vendor " +
                       std::to_string(v) + "</DESCRIPTION></ERROR>\n";
            }
            xml += "  </TABLE>\n";
        }
        xml += "</ERRORTABLES>\n";
        std::FILE* out = std::fopen(p.c_str(), "w");
        std::fwrite(xml.data(), 1, xml.size(), out);
        std::fclose(out);
        return p;
    }();
    return path;
}

void BM_GetErrorDescription_LastCodeOfLastVendor(benchmark::State& state) {
    ZorvErrorTable table{TStr(largeTablePath())};
    if (!table.Load() || table.GetErrorDescription(kVendors, kCodes).isEmpty()) {
        state.SkipWithError("the generated table did not load");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.GetErrorDescription(kVendors, kCodes));
    }
}
BENCHMARK(BM_GetErrorDescription_LastCodeOfLastVendor);

void BM_Load_TenVendorsThousandCodes(benchmark::State& state) {
    ZorvErrorTable table{TStr(largeTablePath())};
    for (auto _ : state) {
        if (!table.Load()) {
            state.SkipWithError("the generated table did not load");
            return;
        }
    }
    struct stat st;
    if (::stat(largeTablePath().c_str(), &st) == 0) {
        state.counters["file_bytes"] = static_cast<double>(st.st_size);
    }
}
BENCHMARK(BM_Load_TenVendorsThousandCodes)->Unit(benchmark::kMillisecond);

// The depth check that Load runs before the parser, alone on the same table:
// its share of the time above.
void BM_NestingScan_TenVendorsThousandCodes(benchmark::State& state) {
    std::string xml;
    if (std::FILE* in = std::fopen(largeTablePath().c_str(), "rb")) {
        char block[65536];
        for (std::size_t got; (got = std::fread(block, 1, sizeof block, in)) > 0;) {
            xml.append(block, got);
        }
        std::fclose(in);
    }
    for (auto _ : state) {
        if (zorv_detail::scanForParser(xml.data(), xml.size(), zorv_detail::kErrorTableLimits)
                .depth != 4) {
            state.SkipWithError("the generated table did not scan as four levels deep");
            return;
        }
    }
}
BENCHMARK(BM_NestingScan_TenVendorsThousandCodes)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
