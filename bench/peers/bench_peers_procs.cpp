// Several processes writing one file at once: total records per second for
// our debug logger, for log4cplus with its lock file, and for a locked floor
// (open(O_APPEND), one write, close, under a robust process-shared mutex held
// from before open to after close, as our named mutex is held), also with the
// read of the last byte that the torn-tail rule needs added to it. Each
// benchmark iteration runs one round of every contender, the first one moving
// on each iteration; a round forks its processes, lets each build its own
// logger, releases them together and times them until the last one exits.
// Every round's file is read back: a missing, torn or malformed record makes
// the benchmark report an error instead of a number.
//
// ZORV_PEERS_RECORDS (default 40000) is the number of records of one round,
// shared out among its processes; ZORV_PEERS_ROUNDS (default 8) the number of
// rounds per contender.

#include "PeerHarness.h"
#include "Peers.h"

#include <zorv/ErrorLog.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>

namespace {

using namespace zorvpeers;

long gTotalRecords = 40000;
int gRounds = 8;

struct Setup {
    bench::BenchHome scratch{"zorvpeers"};
    std::string floorPath;
    std::string debugPath;
    std::string log4cplusPath;
    std::string oneLineBytes;
    SharedRobustMutex mutex;
};
Setup* gSetup = nullptr;

void buildSetup() {
    gSetup = new Setup;
    Setup& s = *gSetup;
    const std::string root = s.scratch.root();
    ::setenv("ZORV_DEBUG_MODE", "1", 1);

    ZorvDebugLogger logger;
    logger.startLogging();
    ZorvDebugLog record(Zorv::kZorvCore, TStr(kMessage));
    s.debugPath = logger.getLogFileName().bytes();
    const std::string dir = debugLogDirectory(s.debugPath);
    s.floorPath = dir + "/floor.log";
    s.log4cplusPath = dir + "/log4cplus.log";
    s.oneLineBytes = captureBytes(s.debugPath, [&] { logger.log(record); });
}

// One contender of a side-by-side run: how to run one round of it at a given
// number of processes, and what it has reached so far.
struct Contender {
    Contender(std::string name, const std::string* path, int processes,
              std::function<Writer()> setup)
        : name(std::move(name)), path(path), processes(processes), setup(std::move(setup)) {}

    std::string name;
    const std::string* path;
    int processes;
    std::function<Writer()> setup;
    double seconds = 0.0;
    double cpuSeconds = 0.0;
    long records = 0;
    std::string failure;

    void runRound() {
        if (!failure.empty()) {
            return;
        }
        truncateFile(*path);
        long perProcess = gTotalRecords / processes;
        ProcessRound round = runProcessRound(processes, perProcess, setup);
        if (!round.ok) {
            failure = name + ": a writer process failed";
            return;
        }
        LineCount count = countLines(*path, isComparisonLine);
        if (count.lines != round.records || count.malformed != 0 || count.torn) {
            failure = name + ": " + std::to_string(count.lines) + " lines of " +
                      std::to_string(round.records) + ", " + std::to_string(count.malformed) +
                      " malformed" + (count.torn ? ", torn tail" : "");
            return;
        }
        seconds += round.seconds;
        cpuSeconds += round.cpuSeconds;
        records += round.records;
    }
    double recordsPerSecond() const { return seconds > 0.0 ? records / seconds : 0.0; }
    double cpuMicrosPerRecord() const { return records > 0 ? cpuSeconds * 1e6 / records : 0.0; }
};

Writer lockedFloorWriter() {
    Setup* s = gSetup;
    return [s] { return lockedFloorWrite(s->mutex, s->floorPath, s->oneLineBytes); };
}

Writer lockedFloorTailWriter() {
    Setup* s = gSetup;
    return [s] { return lockedFloorTailWrite(s->mutex, s->floorPath, s->oneLineBytes); };
}

// Built in the child: each process has its own logger, as separate programs
// writing one file would.
Writer oursWriter() {
    auto logger = std::make_shared<ZorvDebugLogger>();
    logger->startLogging();
    auto record = std::make_shared<ZorvDebugLog>(Zorv::kZorvCore, TStr(kMessage));
    return [logger, record] {
        logger->log(*record);
        return true;
    };
}

// log4cplus starts a pool of threads when its library is loaded; they wait,
// idle and holding no lock, while the runner forks, so a child can set up
// its own appender safely.
Writer log4cplusWriter() {
    std::shared_ptr<PeerLogger> peer = makeLog4cplusPeer(gSetup->log4cplusPath);
    if (!peer) {
        return Writer();
    }
    return [peer] {
        peer->logRecord();
        return true;
    };
}

void BM_Procs_SideBySide(benchmark::State& state) {
    int processes = static_cast<int>(state.range(0));
    Setup& s = *gSetup;
    std::vector<Contender> contenders;
    contenders.emplace_back("floor", &s.floorPath, processes, lockedFloorWriter);
    contenders.emplace_back("ours", &s.debugPath, processes, oursWriter);
    // The least the torn-tail rule adds: where another process wrote since,
    // the last byte has to be read before the record goes out.
    contenders.emplace_back("floor_tail", &s.floorPath, processes, lockedFloorTailWriter);
    if (haveLog4cplus()) {
        contenders.emplace_back("log4cplus", &s.log4cplusPath, processes, log4cplusWriter);
    }
    if (processes > 1) {
        // The same floor in one process, in the same run: how much of its
        // throughput the locked floor keeps when processes contend.
        contenders.emplace_back("floor1", &s.floorPath, 1, lockedFloorWriter);
    }
    long iteration = 0;
    for (auto _ : state) {
        double seconds = 0.0;
        for (std::size_t k = 0; k < contenders.size(); ++k) {
            Contender& c =
                contenders[(static_cast<std::size_t>(iteration) + k) % contenders.size()];
            double before = c.seconds;
            c.runRound();
            seconds += c.seconds - before;
        }
        state.SetIterationTime(seconds > 0.0 ? seconds : 1e-9);
        ++iteration;
    }
    for (const Contender& c : contenders) {
        if (!c.failure.empty()) {
            state.SkipWithError(c.failure.c_str());
            return;
        }
    }
    double floorRate = contenders[0].recordsPerSecond();
    double oursRate = contenders[1].recordsPerSecond();
    state.counters["floor_rps"] = floorRate;
    state.counters["ours_rps"] = oursRate;
    state.counters["ours_vs_floor"] = oursRate / floorRate;
    for (const Contender& c : contenders) {
        // CPU per record, summed over the processes: unlike the rate, it
        // does not count time spent waiting for the mutex or a processor.
        if (c.name != "floor1") {
            state.counters[c.name + "_cpu_us"] = c.cpuMicrosPerRecord();
        }
    }
    for (std::size_t i = 2; i < contenders.size(); ++i) {
        const Contender& c = contenders[i];
        if (c.name == "floor_tail") {
            state.counters["floor_tail_rps"] = c.recordsPerSecond();
            state.counters["ours_vs_floor_tail"] = oursRate / c.recordsPerSecond();
        } else if (c.name == "log4cplus") {
            state.counters["log4cplus_rps"] = c.recordsPerSecond();
            state.counters["ours_vs_log4cplus"] = oursRate / c.recordsPerSecond();
        } else {
            state.counters["floor_keeps"] = floorRate / c.recordsPerSecond();
        }
    }
}

long envNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    return *end == '\0' && value > 0 ? value : fallback;
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    gTotalRecords = envNumber("ZORV_PEERS_RECORDS", gTotalRecords);
    gRounds = static_cast<int>(envNumber("ZORV_PEERS_ROUNDS", gRounds));
    buildSetup();
    std::fprintf(stderr, "peers: log4cplus %s; %ld records a round, %d rounds; files in %s\n",
                 haveLog4cplus() ? "compiled in" : "absent", gTotalRecords, gRounds,
                 gSetup->scratch.root().c_str());
    benchmark::RegisterBenchmark("BM_Procs_SideBySide", BM_Procs_SideBySide)
        ->Arg(1)
        ->Arg(2)
        ->Arg(4)
        ->Iterations(gRounds)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete gSetup;
    return 0;
}
