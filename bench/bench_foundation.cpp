// The cost of one record on its way to disk, against the least that appending
// a line to a file can cost: open(O_APPEND), one write, close.
//
// Separate medians drift by a fifth between runs on a shared machine, so the
// Paired* benchmarks alternate the floor and the measured code in one loop and
// report their ratios (bench::alternate); "cpu_ratio" is the number to read on
// a shared machine, "ratio" on a quiet one.

#include "BenchSupport.h"

#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvMutex.h>

#include <benchmark/benchmark.h>

#include <string>
#include <unistd.h>

namespace {

using bench::alternate;
using bench::appendOnce;
using bench::BenchHome;

// Lines of 60 bytes, as a short error record writes them.
constexpr std::size_t kLineBytes = 60;

const BenchHome& dir() {
    static BenchHome d;
    return d;
}

// A delimited file with a section, and the value that makes its key/value
// line exactly kLineBytes long.
struct Record {
    explicit Record(const std::string& path) : file(TStr(path)) {
        ::truncate(path.c_str(), 0);
        file.updateCurrentSection(false);
        std::size_t head = file.getCurrentSection(TStr("\t")).byteLength() + 1 + 7; // "\tReason="
        value = TStr(std::string(kLineBytes - head - 1, 'v'));
    }
    // The bytes the floor writes for n lines of this record.
    std::string lines(int n) const {
        std::string one =
            file.getCurrentSection(TStr("\t")).bytes() + "\tReason=" + value.bytes() + "\n";
        std::string all;
        for (int i = 0; i < n; ++i) {
            all += one;
        }
        return all;
    }
    bool write(int n) {
        bool ok = file.open(false);
        for (int i = 0; i < n; ++i) {
            ok = file.write(kReason, value) && ok;
        }
        file.close();
        return ok;
    }

    const TStr kReason{"Reason"};
    ZorvDelimitedFile file;
    TStr value;
};

// As the logger takes its mutex around one record.
bool mutexRound() {
    ZorvMutex* mutex = new ZorvMutex;
    bool ok = mutex->create(TStr("bench.log.Mutex"));
    if (ok) {
        mutex->lock(10000);
        mutex->unlock();
    }
    delete mutex;
    return ok;
}

void BM_Floor(benchmark::State& state) {
    std::string path = dir().file("floor.log");
    ::truncate(path.c_str(), 0);
    std::string bytes = Record(dir().file("shape.log")).lines(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(appendOnce(path, bytes));
    }
    state.SetLabel("open+write+close, " + std::to_string(bytes.size()) + " bytes");
}
BENCHMARK(BM_Floor)->Arg(1)->Arg(3);

void BM_MutexRound(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(mutexRound());
    }
}
BENCHMARK(BM_MutexRound);

void BM_DelimitedFile(benchmark::State& state) {
    Record record(dir().file("record.log"));
    int lines = static_cast<int>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(record.write(lines));
    }
    state.SetLabel("open, " + std::to_string(lines) + " x write(key, value), close");
}
BENCHMARK(BM_DelimitedFile)->Arg(1)->Arg(3);

// (c) and (d): a record of n lines through ZorvDelimitedFile against the floor
// writing the same bytes.
void BM_PairedDelimitedFile(benchmark::State& state) {
    int lines = static_cast<int>(state.range(0));
    Record record(dir().file("paired-record.log"));
    std::string floorPath = dir().file("paired-floor.log");
    ::truncate(floorPath.c_str(), 0);
    std::string bytes = record.lines(lines);
    alternate(
        state, {"measured", 1, 1}, [&] { benchmark::DoNotOptimize(record.write(lines)); },
        [&] { benchmark::DoNotOptimize(appendOnce(floorPath, bytes)); });
}
BENCHMARK(BM_PairedDelimitedFile)->Arg(1)->Arg(3);

// (b): the mutex round against the one-line floor. A round is far shorter than
// a clock reading is precise, so each timed half holds a batch of rounds.
void BM_PairedMutex(benchmark::State& state) {
    constexpr int kBatch = 16;
    std::string floorPath = dir().file("paired-mutex-floor.log");
    ::truncate(floorPath.c_str(), 0);
    std::string bytes = Record(dir().file("shape.log")).lines(1);
    alternate(
        state, {"measured", kBatch, 1}, [&] { benchmark::DoNotOptimize(mutexRound()); },
        [&] { benchmark::DoNotOptimize(appendOnce(floorPath, bytes)); });
}
BENCHMARK(BM_PairedMutex);

} // namespace

BENCHMARK_MAIN();
