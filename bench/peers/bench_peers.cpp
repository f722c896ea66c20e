// One process: what a record costs through our loggers and through the peer
// libraries, each against the floor (open(O_APPEND), one write of the same
// bytes, close). The *_SideBySide benchmarks run every contender once per
// iteration, the first one moving on each time, so that a change of machine
// load cannot pass for a difference between them; their *_vs_* counters are
// ratios of mean times per record. After each run the files are read back: a
// benchmark whose records did not all land whole reports an error instead of
// a number.

#include "PeerHarness.h"
#include "Peers.h"

#include <zorv/ErrorLog.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sys/stat.h>

namespace {

using namespace zorvpeers;

// Everything the benchmarks share, built once the environment points into
// the scratch directory.
struct Setup {
    bench::BenchHome scratch{"zorvpeers"};
    std::string floorPath;
    std::string debugPath;
    std::string threeLinePath;
    std::string spdlogPath;
    std::string log4cplusPath;
    std::unique_ptr<ZorvDebugLogger> debugLogger;
    std::unique_ptr<ZorvDebugLogger> disabledLogger;
    std::unique_ptr<ZorvLogger> threeLineLogger;
    ZorvDebugLog debugRecord{Zorv::kZorvCore, TStr(kMessage)};
    ThreeLineRecord threeLineRecord;
    std::string oneLineBytes;
    std::string threeLineBytes;
    std::unique_ptr<PeerLogger> spdlog;
    std::unique_ptr<PeerLogger> log4cplus;
    FlagTestLogger flagTest;
};

Setup* gSetup = nullptr;

void buildSetup() {
    gSetup = new Setup;
    Setup& s = *gSetup;
    const std::string root = s.scratch.root();

    ::unsetenv("ZORV_DEBUG_MODE");
    s.disabledLogger = std::make_unique<ZorvDebugLogger>();
    ::setenv("ZORV_DEBUG_MODE", "1", 1);
    s.debugLogger = std::make_unique<ZorvDebugLogger>();
    s.debugLogger->startLogging();
    s.debugPath = s.debugLogger->getLogFileName().bytes();

    const std::string dir = debugLogDirectory(s.debugPath);
    s.threeLinePath = dir + "/zorv-peers-three.log";
    s.threeLineLogger = std::make_unique<ZorvLogger>(TStr(s.threeLinePath));
    s.threeLineLogger->startLogging();

    s.floorPath = dir + "/floor.log";
    s.spdlogPath = dir + "/spdlog.log";
    s.log4cplusPath = dir + "/log4cplus.log";
    s.spdlog = makeSpdlogPeer(s.spdlogPath);
    s.log4cplus = makeLog4cplusPeer(s.log4cplusPath);

    // The floor writes exactly what our records write.
    s.oneLineBytes = captureBytes(s.debugPath, [&] { s.debugLogger->log(s.debugRecord); });
    s.threeLineBytes =
        captureBytes(s.threeLinePath, [&] { s.threeLineLogger->log(s.threeLineRecord); });
}

void startFresh(std::initializer_list<const std::string*> paths) {
    for (const std::string* path : paths) {
        truncateFile(*path);
    }
}

// Every record of the run is in the file, whole and well formed.
bool landedWhole(benchmark::State& state, const std::string& path, long expected,
                 const std::function<bool(const std::string&)>& ok) {
    LineCount count = countLines(path, ok);
    if (count.lines != expected || count.malformed != 0 || count.torn) {
        std::string what = path + ": " + std::to_string(count.lines) + " lines of " +
                           std::to_string(expected) + ", " + std::to_string(count.malformed) +
                           " malformed" + (count.torn ? ", torn tail" : "");
        state.SkipWithError(what.c_str());
        return false;
    }
    return true;
}

bool anyLine(const std::string&) {
    return true;
}

void oneLineFloor() {
    bench::appendOnce(gSetup->floorPath, gSetup->oneLineBytes);
}
void oneLineOurs() {
    gSetup->debugLogger->log(gSetup->debugRecord);
}

// One contender of a side-by-side benchmark: what one call does, where it
// writes and how many lines of which shape each call must leave there.
struct Entry {
    std::string name;
    std::function<void()> call;
    const std::string* path;
    long linesPerCall;
    std::function<bool(const std::string&)> lineOk;
};

// Runs the entries side by side and reports, per entry, the mean elapsed and
// CPU time of one unit (a call divided by unitsPerCall, in nanoseconds times
// 1/scale), and each requested ratio numerator / denominator, elapsed and CPU.
void sideBySide(benchmark::State& state, const std::vector<Entry>& entries,
                const std::vector<std::pair<std::string, std::string>>& ratios, const char* unit,
                double scale, double unitsPerCall) {
    std::vector<std::function<void()>> calls;
    for (const Entry& e : entries) {
        truncateFile(*e.path);
        calls.push_back(e.call);
    }
    Rotation rotation(calls);
    for (auto _ : state) {
        rotation.round();
    }
    for (const Entry& e : entries) {
        if (!landedWhole(state, *e.path, e.linesPerCall * rotation.rounds(), e.lineOk)) {
            return;
        }
    }
    std::map<std::string, std::pair<double, double>> times;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        double wall = rotation.meanNs(i) / unitsPerCall;
        double cpu = rotation.meanCpuNs(i) / unitsPerCall;
        times[entries[i].name] = {wall, cpu};
        state.counters[entries[i].name + "_" + unit] = wall / scale;
        state.counters[entries[i].name + "_cpu_" + unit] = cpu / scale;
    }
    for (const auto& r : ratios) {
        auto num = times.find(r.first);
        auto den = times.find(r.second);
        if (num == times.end() || den == times.end()) {
            continue; // a peer that was not built
        }
        state.counters[r.first + "_vs_" + r.second] = num->second.first / den->second.first;
        if (den->second.second > 0.0) {
            state.counters[r.first + "_vs_" + r.second + "_cpu"] =
                num->second.second / den->second.second;
        }
    }
}

// ---- one-line records, each on its own ------------------------------------

void BM_OneLine_Floor(benchmark::State& state) {
    startFresh({&gSetup->floorPath});
    for (auto _ : state) {
        oneLineFloor();
    }
    landedWhole(state, gSetup->floorPath, state.iterations(), isComparisonLine);
}
BENCHMARK(BM_OneLine_Floor);

void BM_OneLine_ZorvDebugLogger(benchmark::State& state) {
    startFresh({&gSetup->debugPath});
    for (auto _ : state) {
        oneLineOurs();
    }
    landedWhole(state, gSetup->debugPath, state.iterations(), isComparisonLine);
}
BENCHMARK(BM_OneLine_ZorvDebugLogger);

void peerOneLine(benchmark::State& state, PeerLogger* peer, const std::string& path) {
    if (peer == nullptr) {
        state.SkipWithError("peer library not found at build time");
        return;
    }
    startFresh({&path});
    for (auto _ : state) {
        peer->logRecord();
    }
    landedWhole(state, path, state.iterations(), isComparisonLine);
}

void BM_OneLine_Spdlog(benchmark::State& state) {
    peerOneLine(state, gSetup->spdlog.get(), gSetup->spdlogPath);
}
BENCHMARK(BM_OneLine_Spdlog);

void BM_OneLine_Log4cplus(benchmark::State& state) {
    peerOneLine(state, gSetup->log4cplus.get(), gSetup->log4cplusPath);
}
BENCHMARK(BM_OneLine_Log4cplus);

// ---- one-line records, side by side -----------------------------------------

void BM_OneLine_SideBySide(benchmark::State& state) {
    Setup& s = *gSetup;
    std::vector<Entry> entries = {{"floor", oneLineFloor, &s.floorPath, 1, isComparisonLine},
                                  {"ours", oneLineOurs, &s.debugPath, 1, isComparisonLine}};
    if (s.spdlog) {
        entries.push_back(
            {"spdlog", [&] { s.spdlog->logRecord(); }, &s.spdlogPath, 1, isComparisonLine});
    }
    if (s.log4cplus) {
        entries.push_back({"log4cplus", [&] { s.log4cplus->logRecord(); }, &s.log4cplusPath, 1,
                           isComparisonLine});
    }
    sideBySide(state, entries, {{"ours", "floor"}, {"spdlog", "ours"}, {"log4cplus", "ours"}}, "us",
               1000.0, 1.0);
}
BENCHMARK(BM_OneLine_SideBySide)->MinTime(2.0);

// ---- three-line records -----------------------------------------------------

void threeLineFloor() {
    bench::appendOnce(gSetup->floorPath, gSetup->threeLineBytes);
}
void threeLineOurs() {
    gSetup->threeLineLogger->log(gSetup->threeLineRecord);
}

void BM_ThreeLines_Floor(benchmark::State& state) {
    startFresh({&gSetup->floorPath});
    for (auto _ : state) {
        threeLineFloor();
    }
    landedWhole(state, gSetup->floorPath, 3 * state.iterations(), anyLine);
}
BENCHMARK(BM_ThreeLines_Floor);

void BM_ThreeLines_ZorvLogger(benchmark::State& state) {
    startFresh({&gSetup->threeLinePath});
    for (auto _ : state) {
        threeLineOurs();
    }
    landedWhole(state, gSetup->threeLinePath, 3 * state.iterations(), anyLine);
}
BENCHMARK(BM_ThreeLines_ZorvLogger);

void BM_ThreeLines_SideBySide(benchmark::State& state) {
    sideBySide(state,
               {{"floor", threeLineFloor, &gSetup->floorPath, 3, anyLine},
                {"ours", threeLineOurs, &gSetup->threeLinePath, 3, anyLine}},
               {{"ours", "floor"}}, "us", 1000.0, 1.0);
}
BENCHMARK(BM_ThreeLines_SideBySide)->MinTime(2.0);

// ---- disabled statements ----------------------------------------------------

// A call costs a few nanoseconds, less than reading the clock, so the side by
// side run times blocks of calls rather than single ones.
constexpr int kDisabledBlock = 1000;

void disabledFlagTest() {
    FlagTestLogger* logger = &gSetup->flagTest;
    ZorvLoggable* record = &gSetup->debugRecord;
    for (int i = 0; i < kDisabledBlock; ++i) {
        // Hidden from the optimiser, so that the call stays virtual as ours is.
        benchmark::DoNotOptimize(logger);
        benchmark::DoNotOptimize(record);
        logger->log(record);
    }
}

void disabledOurs() {
    ZorvLogger* logger = gSetup->disabledLogger.get();
    ZorvLoggable* record = &gSetup->debugRecord;
    for (int i = 0; i < kDisabledBlock; ++i) {
        benchmark::DoNotOptimize(logger);
        benchmark::DoNotOptimize(record);
        logger->log(record);
    }
}

void disabledPeer(PeerLogger* peer) {
    for (int i = 0; i < kDisabledBlock; ++i) {
        benchmark::DoNotOptimize(peer);
        peer->logDisabled();
    }
}

void disabledBenchmark(benchmark::State& state, void (*block)()) {
    for (auto _ : state) {
        block();
    }
    // The time shown is per block; items_per_second counts single calls.
    state.SetItemsProcessed(state.iterations() * kDisabledBlock);
}

void BM_Disabled_FlagTest(benchmark::State& state) {
    disabledBenchmark(state, disabledFlagTest);
}
BENCHMARK(BM_Disabled_FlagTest);

void BM_Disabled_ZorvDebugLogger(benchmark::State& state) {
    startFresh({&gSetup->debugPath});
    disabledBenchmark(state, disabledOurs);
    landedWhole(state, gSetup->debugPath, 0, anyLine);
}
BENCHMARK(BM_Disabled_ZorvDebugLogger);

void BM_Disabled_Spdlog(benchmark::State& state) {
    if (!gSetup->spdlog) {
        state.SkipWithError("peer library not found at build time");
        return;
    }
    disabledBenchmark(state, [] { disabledPeer(gSetup->spdlog.get()); });
}
BENCHMARK(BM_Disabled_Spdlog);

void BM_Disabled_Log4cplus(benchmark::State& state) {
    if (!gSetup->log4cplus) {
        state.SkipWithError("peer library not found at build time");
        return;
    }
    disabledBenchmark(state, [] { disabledPeer(gSetup->log4cplus.get()); });
}
BENCHMARK(BM_Disabled_Log4cplus);

void BM_Disabled_SideBySide(benchmark::State& state) {
    Setup& s = *gSetup;
    // A disabled statement writes nothing, anywhere: each file stays empty.
    std::vector<Entry> entries = {{"flag", disabledFlagTest, &s.floorPath, 0, anyLine},
                                  {"ours", disabledOurs, &s.debugPath, 0, anyLine}};
    if (s.spdlog) {
        entries.push_back(
            {"spdlog", [&] { disabledPeer(s.spdlog.get()); }, &s.spdlogPath, 0, anyLine});
    }
    if (s.log4cplus) {
        entries.push_back(
            {"log4cplus", [&] { disabledPeer(s.log4cplus.get()); }, &s.log4cplusPath, 0, anyLine});
    }
    sideBySide(state, entries, {{"ours", "flag"}, {"spdlog", "flag"}, {"log4cplus", "flag"}}, "ns",
               1.0, kDisabledBlock);
}
BENCHMARK(BM_Disabled_SideBySide)->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    buildSetup();
    std::fprintf(stderr, "peers: spdlog %s, log4cplus %s; files in %s\n",
                 haveSpdlog() ? "compiled in" : "absent",
                 haveLog4cplus() ? "compiled in" : "absent", gSetup->scratch.root().c_str());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete gSetup;
    return 0;
}
