// What a record costs, each against the least the same effect needs, measured
// side by side in one run. The *_Alternating benchmarks run both sides in
// batches inside one loop, so that a change in machine load between two
// benchmarks cannot pass for a difference; their "ratio" counter is ours / floor.

#include "BenchSupport.h"

#include <zorv/ErrorLog.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <list>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

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

using bench::appendOnce;

long allocationsSoFar() {
    return gAllocations.load();
}

// Every pairing here counts the allocations of the measured side.
template <typename Ours, typename Floor>
void alternate(benchmark::State& state, int batch, Ours ours, Floor floor) {
    bench::alternate(state, {"ours", batch, batch, &allocationsSoFar}, ours, floor);
}

// A private data home for the whole run: nothing lands in the user's files.
// The error table is the one the records look their vendors up in.
class BenchHome : public bench::BenchHome {
public:
    BenchHome() {
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
    std::string dataDir() const { return root() + "/data/zorv"; }
};

BenchHome& home() {
    static BenchHome instance;
    return instance;
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
        // Beside the debug log: opening a path costs a step per component, so
        // the floor must not get a shorter one.
        floorPath = home().dataDir() + "/floor-debug.log";
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

// What the rules of trust add to the floor by themselves: the same open,
// write and close with the one look at the opened file that tells it is the
// file last judged (statx(2) on the descriptor, without the times, as the
// library asks), against the floor. Its cpu_ratio is the share of the
// debug record's target that this one call takes before any of our code.
void BM_FloorWithIdentityCheck_Alternating(benchmark::State& state) {
    Enabled& e = enabled();
    alternate(
        state, 16,
        [&] {
            const int fd =
                ::open(e.floorPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            struct statx sx;
            ::statx(fd, "", AT_EMPTY_PATH,
                    STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_GID | STATX_INO |
                        STATX_SIZE,
                    &sx);
            benchmark::DoNotOptimize(sx);
            benchmark::DoNotOptimize(::write(fd, e.line.data(), e.line.size()));
            ::close(fd);
        },
        [&] { appendOnce(e.floorPath, e.line); });
}
BENCHMARK(BM_FloorWithIdentityCheck_Alternating)->MinTime(2.0);

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

// Its system block does what the library's own does once the child has
// answered: the two values made as texts (as the child's output is), written
// under keys kept from one record to the next (as the library keeps its own),
// so that only the child is left out of the comparison.
class FixedSystemError : public ZorvErrorBase {
public:
    using ZorvErrorBase::ZorvErrorBase;
    void dumpSystemInfo(ZorvLogger* logger) const override {
        if (logger != nullptr) {
            static const TStr computerNameKey(COMPUTER_NAME);
            static const TStr osKey(OS);
            logger->mLogFile.write(computerNameKey, TStr("buildhost"));
            logger->mLogFile.write(osKey, TStr("5.15.0-91-generic"));
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
