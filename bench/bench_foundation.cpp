// The cost of one record on its way to disk, against the least that appending
// a line to a file can cost: open(O_APPEND), one write, close.
//
// Separate medians drift by a fifth between runs on a shared machine, so the
// Paired* benchmarks alternate the floor and the measured code in one loop and
// report their ratio as the counter "ratio"; that is the number to read.

#include <zorv/ZorvDelimitedFile.h>
#include <zorv/ZorvMutex.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Lines of 60 bytes, as a short error record writes them.
constexpr std::size_t kLineBytes = 60;

// A scratch directory for the whole run, removed at exit.
class BenchDir {
public:
    BenchDir() {
        char pattern[] = "/tmp/zorvbench-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        mPath = made != nullptr ? made : "/tmp";
    }
    ~BenchDir() {
        ::nftw(
            mPath.c_str(),
            [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 8,
            FTW_DEPTH | FTW_PHYS);
    }
    std::string file(const char* name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

const BenchDir& dir() {
    static BenchDir d;
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

bool floorWrite(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return ok;
}

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
        benchmark::DoNotOptimize(floorWrite(path, bytes));
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

// Times the floor and the measured code alternately, each half timed on its
// own. Whichever runs second in a round pays a little more (the first one's
// close is still settling), so the order swaps every round.
class Paired {
public:
    template <typename Floor, typename Measured> void round(Floor&& floorCode, Measured&& code) {
        mFloorFirst = !mFloorFirst;
        if (mFloorFirst) {
            mFloor += timed(floorCode);
            mMeasured += timed(code);
        } else {
            mMeasured += timed(code);
            mFloor += timed(floorCode);
        }
    }
    // Counters per round; the measured half may hold several runs of its code.
    void report(benchmark::State& state, int runsPerRound) const {
        double rounds = static_cast<double>(state.iterations());
        double floorNs = std::chrono::duration<double, std::nano>(mFloor).count() / rounds;
        double measuredNs =
            std::chrono::duration<double, std::nano>(mMeasured).count() / rounds / runsPerRound;
        state.counters["floor_ns"] = floorNs;
        state.counters["measured_ns"] = measuredNs;
        state.counters["ratio"] = measuredNs / floorNs;
    }

private:
    template <typename Code> static Clock::duration timed(Code& code) {
        auto start = Clock::now();
        code();
        return Clock::now() - start;
    }

    Clock::duration mFloor{};
    Clock::duration mMeasured{};
    bool mFloorFirst = false;
};

// (c) and (d): a record of n lines through ZorvDelimitedFile against the floor
// writing the same bytes.
void BM_PairedDelimitedFile(benchmark::State& state) {
    int lines = static_cast<int>(state.range(0));
    Record record(dir().file("paired-record.log"));
    std::string floorPath = dir().file("paired-floor.log");
    ::truncate(floorPath.c_str(), 0);
    std::string bytes = record.lines(lines);
    Paired paired;
    for (auto _ : state) {
        paired.round([&] { benchmark::DoNotOptimize(floorWrite(floorPath, bytes)); },
                     [&] { benchmark::DoNotOptimize(record.write(lines)); });
    }
    paired.report(state, 1);
}
BENCHMARK(BM_PairedDelimitedFile)->Arg(1)->Arg(3);

// (b): the mutex round against the one-line floor. A round is far shorter than
// a clock reading is precise, so each timed half holds a batch of rounds.
void BM_PairedMutex(benchmark::State& state) {
    constexpr int kBatch = 16;
    std::string floorPath = dir().file("paired-mutex-floor.log");
    ::truncate(floorPath.c_str(), 0);
    std::string bytes = Record(dir().file("shape.log")).lines(1);
    Paired paired;
    for (auto _ : state) {
        paired.round([&] { benchmark::DoNotOptimize(floorWrite(floorPath, bytes)); },
                     [&] {
                         for (int i = 0; i < kBatch; ++i) {
                             benchmark::DoNotOptimize(mutexRound());
                         }
                     });
    }
    paired.report(state, kBatch);
}
BENCHMARK(BM_PairedMutex);

} // namespace

BENCHMARK_MAIN();
