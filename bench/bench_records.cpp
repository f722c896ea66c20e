// What a record costs, each against the least the same effect needs, measured
// side by side in one run. The *_Alternating benchmarks run both sides in
// batches inside one loop, so that a change in machine load between two
// benchmarks cannot pass for a difference; their "ratio" counter is ours / floor.

#include <zorv/ErrorLog.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <list>
#include <new>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

// Every heap allocation of the program passes through here, so a benchmark can
// tell whether its loop allocated at all. Kept out of line: inlined, the
// compiler pairs our free() with a new-expression and warns of a mismatch.
namespace {
std::atomic<long> gAllocations{0};
}

__attribute__((noinline)) void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new[](std::size_t size) {
    return ::operator new(size);
}
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
__attribute__((noinline)) void* operator new[](std::size_t size,
                                               const std::nothrow_t& tag) noexcept {
    return ::operator new(size, tag);
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete[](void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using Clock = std::chrono::steady_clock;

double threadCpuNs() {
    struct timespec ts;
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// A private data home for the whole run: nothing lands in the user's files.
class BenchHome {
public:
    BenchHome() {
        char pattern[] = "/tmp/zorvbench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        mRoot = pattern;
        ::setenv("XDG_DATA_HOME", (mRoot + "/data").c_str(), 1);
        ::setenv("HOME", mRoot.c_str(), 1);
        ::mkdir((mRoot + "/data").c_str(), 0700);
        ::mkdir(dataDir().c_str(), 0700);
        std::FILE* table = std::fopen((dataDir() + "/ZorvErrorCodes.xml").c_str(), "w");
        std::fputs("<ERRORTABLES><TABLE VENDORID=\"1\"><NAME>ZorvCore</NAME>"
                   "<ERROR CODE=\"1\"><DESCRIPTION>first</DESCRIPTION></ERROR></TABLE>"
                   "<TABLE VENDORID=\"3\"><NAME>Brakka</NAME>"
                   "<ERROR CODE=\"41\"><DESCRIPTION>Not this one</DESCRIPTION></ERROR>"
                   "<ERROR CODE=\"42\"><DESCRIPTION>Connection refused</DESCRIPTION></ERROR>"
                   "</TABLE></ERRORTABLES>\n",
                   table);
        std::fclose(table);
    }
    ~BenchHome() {
        ::nftw(
            mRoot.c_str(),
            [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); },
            16, FTW_DEPTH | FTW_PHYS);
    }
    std::string dataDir() const { return mRoot + "/data/zorv"; }
    std::string file(const char* name) const { return mRoot + "/" + name; }

private:
    std::string mRoot;
};

BenchHome& home() {
    static BenchHome instance;
    return instance;
}

// The floor of every record: the file opened for appending, one write, closed.
void appendOnce(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        benchmark::DoNotOptimize(::write(fd, text.data(), text.size()));
        ::close(fd);
    }
}

// What getSystemInformation costs at the least: the child started, its output
// read, the child waited for.
void unameOnce() {
    if (std::FILE* pipe = ::popen("uname -a", "r")) {
        char buffer[2048];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            benchmark::DoNotOptimize(buffer);
        }
        ::pclose(pipe);
    }
}

// Runs ours and the floor alternately in batches of `batch` calls and reports
// the mean time of one call of each and the ratio ours / floor. On a loaded
// machine a batch now and then loses its processor; "ratio" is the median of
// the per-batch ratios, which such a batch cannot move, "mean_ratio" the ratio
// of the means. "cpu_ratio" is the ratio of the CPU time of the thread (user
// and system) spent in each, which time spent waiting for a processor does not
// move: on a shared machine, the one to go by.
template <typename Ours, typename Floor>
void alternate(benchmark::State& state, int batch, Ours ours, Floor floor) {
    Clock::duration oursTime{}, floorTime{};
    double oursCpuNs = 0, floorCpuNs = 0;
    long calls = 0;
    std::vector<double> ratios;
    ratios.reserve(1 << 20);
    const long allocationsBefore = gAllocations.load();
    for (auto _ : state) {
        const double c0 = threadCpuNs();
        auto t0 = Clock::now();
        for (int i = 0; i < batch; ++i) {
            ours();
        }
        auto t1 = Clock::now();
        const double c1 = threadCpuNs();
        for (int i = 0; i < batch; ++i) {
            floor();
        }
        auto t2 = Clock::now();
        const double c2 = threadCpuNs();
        oursTime += t1 - t0;
        floorTime += t2 - t1;
        oursCpuNs += c1 - c0;
        floorCpuNs += c2 - c1;
        calls += batch;
        if (ratios.size() < ratios.capacity()) {
            ratios.push_back(std::chrono::duration<double>(t1 - t0).count() /
                             std::chrono::duration<double>(t2 - t1).count());
        }
    }
    // Taken before the counters below, whose map allocates.
    const long allocations = gAllocations.load() - allocationsBefore;
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    const double oursNs = std::chrono::duration<double, std::nano>(oursTime).count() / calls;
    const double floorNs = std::chrono::duration<double, std::nano>(floorTime).count() / calls;
    state.counters["ours_ns"] = oursNs;
    state.counters["floor_ns"] = floorNs;
    state.counters["mean_ratio"] = oursNs / floorNs;
    state.counters["ratio"] = ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
    state.counters["cpu_ours_ns"] = oursCpuNs / calls;
    state.counters["cpu_floor_ns"] = floorCpuNs / calls;
    state.counters["cpu_ratio"] = floorCpuNs > 0 ? oursCpuNs / floorCpuNs : 0.0;
    state.counters["allocs_per_pair"] = static_cast<double>(allocations) / calls;
}

// ---- A switched-off debug logger against a bare virtual call testing a flag.

// The floor: a logger whose log does nothing but the same two tests. It is
// called through the same base pointer and the same slot; being one of several
// overrides the compiler can see, the call stays a real virtual call (a class
// of its own here would be devirtualised, and the floor would be a direct call).
class FlagLogger : public ZorvLogger {
public:
    FlagLogger() : ZorvLogger(false) {}
    using ZorvLogger::log;
    void log(ZorvLoggable* record) override;
    bool mEnabled = false;
    long mSeen = 0;
};

// Out of line, as the library's log is.
__attribute__((noinline)) void FlagLogger::log(ZorvLoggable* record) {
    if (record != nullptr && mEnabled) {
        ++mSeen;
    }
}

// Hides the dynamic type from the optimiser, as a shared library would.
template <typename T> __attribute__((noinline)) T* opaque(T* p) {
    benchmark::DoNotOptimize(p);
    return p;
}

struct Disabled {
    Disabled() {
        home();
        ::unsetenv(ZorvDebugLogger::ZORV_DEBUG_MODE);
        logger = new ZorvDebugLogger();
        sink = opaque(static_cast<ZorvLogger*>(new FlagLogger()));
        base = opaque(static_cast<ZorvLogger*>(logger));
    }
    ZorvDebugLogger* logger;
    ZorvLogger* base;
    ZorvLogger* sink;
    ZorvDebugLog record{Zorv::kZorvQet, TStr("a message that is never written")};
};

Disabled& disabled() {
    static Disabled instance;
    return instance;
}

void BM_DisabledDebugLog(benchmark::State& state) {
    Disabled& d = disabled();
    ZorvLoggable* record = opaque(static_cast<ZorvLoggable*>(&d.record));
    const long before = gAllocations.load();
    for (auto _ : state) {
        d.base->log(record);
        benchmark::ClobberMemory();
    }
    state.counters["allocs_per_call"] =
        static_cast<double>(gAllocations.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DisabledDebugLog);

void BM_DisabledFloor_FlagTest(benchmark::State& state) {
    Disabled& d = disabled();
    ZorvLoggable* record = opaque(static_cast<ZorvLoggable*>(&d.record));
    const long before = gAllocations.load();
    for (auto _ : state) {
        d.sink->log(record);
        benchmark::ClobberMemory();
    }
    state.counters["allocs_per_call"] =
        static_cast<double>(gAllocations.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DisabledFloor_FlagTest);

void BM_DisabledDebugLog_Alternating(benchmark::State& state) {
    Disabled& d = disabled();
    ZorvLoggable* record = opaque(static_cast<ZorvLoggable*>(&d.record));
    alternate(
        state, 16384,
        [&] {
            d.base->log(record);
            benchmark::ClobberMemory();
        },
        [&] {
            d.sink->log(record);
            benchmark::ClobberMemory();
        });
}
BENCHMARK(BM_DisabledDebugLog_Alternating);

// ---- An enabled debug record, end to end, against open/write/close of its line.

struct Enabled {
    Enabled() {
        home();
        ::setenv(ZorvDebugLogger::ZORV_DEBUG_MODE, "1", 1);
        logger = new ZorvDebugLogger();
        ::unsetenv(ZorvDebugLogger::ZORV_DEBUG_MODE);
        logger->startLogging();
        line = logger->getHeader().bytes() + "\t" + "ZorvQet" + "\t" +
               "pipe packet received: 3 arguments" + "\t\n";
        floorPath = home().file("floor-debug.log");
    }
    ZorvDebugLogger* logger;
    ZorvDebugLog record{Zorv::kZorvQet, TStr("pipe packet received: 3 arguments")};
    std::string line;
    std::string floorPath;
};

Enabled& enabled() {
    static Enabled instance;
    return instance;
}

void BM_EnabledDebugRecord(benchmark::State& state) {
    Enabled& e = enabled();
    for (auto _ : state) {
        e.logger->log(&e.record);
    }
}
BENCHMARK(BM_EnabledDebugRecord);

void BM_EnabledDebugFloor_OpenWriteClose(benchmark::State& state) {
    Enabled& e = enabled();
    for (auto _ : state) {
        appendOnce(e.floorPath, e.line);
    }
}
BENCHMARK(BM_EnabledDebugFloor_OpenWriteClose);

void BM_EnabledDebugRecord_Alternating(benchmark::State& state) {
    Enabled& e = enabled();
    alternate(
        state, 16, [&] { e.logger->log(&e.record); }, [&] { appendOnce(e.floorPath, e.line); });
}
BENCHMARK(BM_EnabledDebugRecord_Alternating)->MinTime(2.0);

// How much of the above is the record's own: through the same logger and file,
// the debug record against one that hands over the same line's items built
// once in advance. What separates the line above from 1.0 beyond this is the
// logger and its file, not the record.
class PrebuiltRecord : public ZorvLoggable {
public:
    PrebuiltRecord() : ZorvLoggable(TStr()) {}
    void dumpTechSupport(ZorvLogger* logger) const override {
        logger->mLogFile.writeDebugLog(mItems, mSeparator);
    }
    mutable std::list<TStr> mItems{TStr("ZorvQet"), TStr("pipe packet received: 3 arguments")};
    TStr mSeparator{"\t"};
};

void BM_DebugRecordShare_Alternating(benchmark::State& state) {
    Enabled& e = enabled();
    PrebuiltRecord prebuilt;
    alternate(
        state, 16, [&] { e.logger->log(&e.record); }, [&] { e.logger->log(&prebuilt); });
}
BENCHMARK(BM_DebugRecordShare_Alternating)->MinTime(2.0);

// ---- Error records: the full one, and one whose system block writes fixed lines.

class FixedSystemError : public ZorvErrorBase {
public:
    using ZorvErrorBase::ZorvErrorBase;
    void dumpSystemInfo(ZorvLogger* logger) const override {
        if (logger != nullptr) {
            logger->mLogFile.write(TStr(COMPUTER_NAME), TStr("buildhost"));
            logger->mLogFile.write(TStr(OS), TStr("5.15.0-91-generic"));
        }
    }
};

struct Errors {
    Errors() {
        home();
        logger = new ZorvLogger(TStr(home().file("error.log")));
        logger->startLogging();
        const std::string h = logger->getHeader().bytes() + "\t";
        // The same seven lines the fixed record writes, for the floor.
        sevenLines = h + "Reason=Fatal error\n" + h + "ComputerName=buildhost\n" + h +
                     "OS=5.15.0-91-generic\n" + h + "File=Client.cpp,Line=120\n" + h +
                     "VendorID=3 [Brakka]\n" + h + "VendorError=42 [Connection refused]\n" + h +
                     "Brakka=11.4\n";
        floorPath = home().file("floor-error.log");
    }
    ZorvLogger* logger;
    ZorvErrorBase full{Zorv::kBrakka, 42, TStr("/src/net/Client.cpp"), 120, TStr("11.4")};
    FixedSystemError fixed{Zorv::kBrakka, 42, TStr("/src/net/Client.cpp"), 120, TStr("11.4")};
    std::string sevenLines;
    std::string floorPath;
};

Errors& errors() {
    static Errors instance;
    return instance;
}

void BM_ErrorRecord(benchmark::State& state) {
    Errors& e = errors();
    for (auto _ : state) {
        e.logger->log(&e.full);
    }
}
BENCHMARK(BM_ErrorRecord);

void BM_ErrorFloor_OpenWriteClosePlusUname(benchmark::State& state) {
    Errors& e = errors();
    for (auto _ : state) {
        unameOnce();
        appendOnce(e.floorPath, e.sevenLines);
    }
}
BENCHMARK(BM_ErrorFloor_OpenWriteClosePlusUname);

void BM_ErrorRecord_Alternating(benchmark::State& state) {
    Errors& e = errors();
    alternate(
        state, 4, [&] { e.logger->log(&e.full); },
        [&] {
            unameOnce();
            appendOnce(e.floorPath, e.sevenLines);
        });
}
BENCHMARK(BM_ErrorRecord_Alternating)->MinTime(3.0);

void BM_FixedSystemErrorRecord(benchmark::State& state) {
    Errors& e = errors();
    for (auto _ : state) {
        e.logger->log(&e.fixed);
    }
}
BENCHMARK(BM_FixedSystemErrorRecord);

void BM_FixedSystemErrorFloor_OpenWriteClose(benchmark::State& state) {
    Errors& e = errors();
    for (auto _ : state) {
        appendOnce(e.floorPath, e.sevenLines);
    }
}
BENCHMARK(BM_FixedSystemErrorFloor_OpenWriteClose);

void BM_FixedSystemErrorRecord_Alternating(benchmark::State& state) {
    Errors& e = errors();
    alternate(
        state, 16, [&] { e.logger->log(&e.fixed); },
        [&] { appendOnce(e.floorPath, e.sevenLines); });
}
BENCHMARK(BM_FixedSystemErrorRecord_Alternating)->MinTime(2.0);

// The error record's own share, as for the debug record: the same seven lines
// handed to the same file from texts built in advance, with no table lookups.
class PrebuiltErrorRecord : public ZorvLoggable {
public:
    PrebuiltErrorRecord() : ZorvLoggable(TStr()) {}
    void dumpTechSupport(ZorvLogger* logger) const override {
        ZorvDelimitedFile& file = logger->mLogFile;
        file.write(mReasonKey, mReasonValue);
        file.write(mComputerKey, mComputerValue);
        file.write(mOsKey, mOsValue);
        file.write(mFileLine);
        file.write(mVendorKey, mVendorValue);
        file.write(mErrorKey, mErrorValue);
        file.write(mVersionKey, mVersionValue);
    }
    TStr mReasonKey{"Reason"}, mReasonValue{"Fatal error"};
    TStr mComputerKey{"ComputerName"}, mComputerValue{"buildhost"};
    TStr mOsKey{"OS"}, mOsValue{"5.15.0-91-generic"};
    mutable std::list<std::pair<TStr, TStr>> mFileLine{{TStr("File"), TStr("Client.cpp")},
                                                       {TStr("Line"), TStr("120")}};
    TStr mVendorKey{"VendorID"}, mVendorValue{"3 [Brakka]"};
    TStr mErrorKey{"VendorError"}, mErrorValue{"42 [Connection refused]"};
    TStr mVersionKey{"Brakka"}, mVersionValue{"11.4"};
};

void BM_ErrorRecordShare_Alternating(benchmark::State& state) {
    Errors& e = errors();
    PrebuiltErrorRecord prebuilt;
    alternate(
        state, 16, [&] { e.logger->log(&e.fixed); }, [&] { e.logger->log(&prebuilt); });
}
BENCHMARK(BM_ErrorRecordShare_Alternating)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
