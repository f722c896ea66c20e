// What the benchmark programs share: a private home for the run, the floor
// every record is set against, and the loop that alternates the two.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace bench {

// A private directory for a run, with the data home, the runtime directory,
// the state home and HOME pointed into it, so nothing lands in the user's
// files. Removed when it goes. Every benchmark program makes its scratch
// directories with it.
class BenchHome {
public:
    explicit BenchHome(const char* prefix = "zorvbench") {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr) {
            // No fallback to a shared directory: the destructor would empty it.
            std::perror("mkdtemp");
            std::exit(1);
        }
        mRoot = pattern;
        ::mkdir((mRoot + "/data").c_str(), 0700);
        ::mkdir((mRoot + "/run").c_str(), 0700);
        ::setenv("XDG_DATA_HOME", (mRoot + "/data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (mRoot + "/run").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (mRoot + "/state").c_str(), 1);
        ::setenv("HOME", mRoot.c_str(), 1);
    }
    ~BenchHome() {
        ::nftw(
            mRoot.c_str(),
            [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); },
            16, FTW_DEPTH | FTW_PHYS);
    }
    BenchHome(const BenchHome&) = delete;
    BenchHome& operator=(const BenchHome&) = delete;

    const std::string& root() const { return mRoot; }
    std::string file(const std::string& name) const { return mRoot + "/" + name; }

private:
    std::string mRoot;
};

// The least that appending to a file can cost, and so the floor of every
// record: the file opened for appending, one write of all the bytes, closed.
inline bool appendOnce(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && ok;
}

inline double threadCpuNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// How alternate() runs and names the measured side.
struct Pairing {
    // Names the measured side's counters: "<name>_ns" and "cpu_<name>_ns".
    const char* name;
    // Calls of the measured code and of the floor in one timed half. A call
    // far shorter than a clock reading is precise needs a batch of them.
    int batch;
    int floorBatch;
    // When given, the count of heap allocations so far; reported per call of
    // the measured code as "allocs_per_pair".
    long (*allocations)() = nullptr;
};

// Runs the measured code and the floor alternately, each batch timed on its
// own, and reports the mean time of one call of each and their ratio.
//
// Whichever half runs second in a round pays a little more (the first one's
// close is still settling), so the order swaps every round. On a loaded
// machine a batch now and then loses its processor; "ratio" is the median of
// the per-round ratios, which such a batch cannot move, "mean_ratio" the ratio
// of the means. "cpu_ratio" is the ratio of the CPU time of the thread (user
// and system) spent in each, which time spent waiting for a processor does not
// move: on a shared machine, the one to go by.
template <typename Measured, typename Floor>
void alternate(benchmark::State& state, const Pairing& pairing, Measured measured, Floor floor) {
    using Clock = std::chrono::steady_clock;
    struct Side {
        Clock::duration wall{};
        double cpuNs = 0;
        long calls = 0;
    };
    // Times one batch; the CPU clock is read outside the wall-clock pair, so
    // neither side's wall time carries its cost.
    auto timed = [](Side& side, int calls, auto& code) {
        const double c0 = threadCpuNs();
        const auto t0 = Clock::now();
        for (int i = 0; i < calls; ++i) {
            code();
        }
        const auto t1 = Clock::now();
        side.cpuNs += threadCpuNs() - c0;
        side.wall += t1 - t0;
        side.calls += calls;
        return std::chrono::duration<double>(t1 - t0).count() / calls;
    };

    // Reading the thread's CPU clock is a system call, which a batch of one
    // short call would otherwise count as its own; its least cost is taken off
    // every batch.
    double clockCpuNs = 1e300;
    for (int i = 0; i < 64; ++i) {
        const double c0 = threadCpuNs();
        benchmark::DoNotOptimize(Clock::now());
        benchmark::DoNotOptimize(Clock::now());
        clockCpuNs = std::min(clockCpuNs, threadCpuNs() - c0);
    }

    Side ours, base;
    std::vector<double> ratios;
    ratios.reserve(1 << 20);
    bool floorFirst = false;
    const long allocationsBefore = pairing.allocations ? pairing.allocations() : 0;
    for (auto _ : state) {
        floorFirst = !floorFirst;
        double oursCall, floorCall;
        if (floorFirst) {
            floorCall = timed(base, pairing.floorBatch, floor);
            oursCall = timed(ours, pairing.batch, measured);
        } else {
            oursCall = timed(ours, pairing.batch, measured);
            floorCall = timed(base, pairing.floorBatch, floor);
        }
        if (ratios.size() < ratios.capacity() && floorCall > 0) {
            ratios.push_back(oursCall / floorCall);
        }
    }
    // Taken before the counters below, whose map allocates.
    const long allocations = pairing.allocations ? pairing.allocations() - allocationsBefore : 0;
    if (ours.calls == 0 || base.calls == 0) {
        return;
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    const double oursNs = std::chrono::duration<double, std::nano>(ours.wall).count() / ours.calls;
    const double floorNs = std::chrono::duration<double, std::nano>(base.wall).count() / base.calls;
    const double rounds = static_cast<double>(state.iterations());
    const double cpuOursNs = std::max(0.0, ours.cpuNs - clockCpuNs * rounds) / ours.calls;
    const double cpuFloorNs = std::max(0.0, base.cpuNs - clockCpuNs * rounds) / base.calls;
    const std::string name = pairing.name;
    state.counters[name + "_ns"] = oursNs;
    state.counters["floor_ns"] = floorNs;
    state.counters["mean_ratio"] = oursNs / floorNs;
    state.counters["ratio"] = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
    state.counters["cpu_" + name + "_ns"] = cpuOursNs;
    state.counters["cpu_floor_ns"] = cpuFloorNs;
    state.counters["cpu_ratio"] = cpuFloorNs > 0 ? cpuOursNs / cpuFloorNs : 0.0;
    if (pairing.allocations) {
        state.counters["allocs_per_pair"] = static_cast<double>(allocations) / ours.calls;
    }
}

} // namespace bench
