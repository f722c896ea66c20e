// The logger core and the error-code table, measured side by side in one run.
//
// A record of three key/value lines through ZorvLogger::log (named mutex,
// open, three lines, close) is set against the least the same effect needs:
// open(O_APPEND), one write of the same bytes, close. BM_LogVsFloor_Alternating
// runs both in batches inside one loop, so that a change of machine load
// cannot pass for a difference; its "ratio" counter is log / floor.
//
// The table lookup walks the document by design; its cost on a large table
// and the cost of loading that table are reported, not bounded.

#include <zorv/ZorvErrorTable.h>
#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A private directory for the whole run, with the data home pointed into it.
class BenchDir {
public:
    BenchDir() {
        char pattern[] = "/tmp/zorvbench-logger-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        mRoot = pattern;
        ::setenv("XDG_DATA_HOME", (mRoot + "/data").c_str(), 1);
        ::setenv("HOME", mRoot.c_str(), 1);
    }
    ~BenchDir() {
        ::nftw(
            mRoot.c_str(),
            [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); },
            16, FTW_DEPTH | FTW_PHYS);
        // The named mutex of the log file, in the utility library's directory.
        ::unlink(
            ("/dev/shm/zorv-" + std::to_string(::geteuid()) + "/" + logName() + ".Mutex").c_str());
    }
    std::string file(const std::string& name) const { return mRoot + "/" + name; }
    static std::string logName() { return "bench-logger-" + std::to_string(::getpid()) + ".log"; }

private:
    std::string mRoot;
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
    void floor() {
        const int fd = ::open(floorPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
            ::close(fd);
        }
    }

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
    constexpr int kBatch = 16;
    Clock::duration logTime{}, floorTime{};
    long calls = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            s.log();
        }
        const auto t1 = Clock::now();
        for (int i = 0; i < kBatch; ++i) {
            s.floor();
        }
        const auto t2 = Clock::now();
        logTime += t1 - t0;
        floorTime += t2 - t1;
        calls += kBatch;
    }
    const double logNs = std::chrono::duration<double, std::nano>(logTime).count() / calls;
    const double floorNs = std::chrono::duration<double, std::nano>(floorTime).count() / calls;
    state.counters["log_ns"] = logNs;
    state.counters["floor_ns"] = floorNs;
    state.counters["ratio"] = logNs / floorNs;
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

} // namespace

BENCHMARK_MAIN();
