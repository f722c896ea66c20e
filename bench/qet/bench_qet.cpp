// QET under load, through the real binaries in private XDG directories:
// - Startup: fork of QET to its first acknowledged request (median of runs).
// - RoundTrip: one request by the qet-send program, beside the same request
//   from a client in this process over a new connection and over a kept one,
//   so the cost of each layer shows as a ratio.
// - Concurrent: 8 clients x 500 requests at once, with debug logging on and
//   off; every request must be acknowledged, and with logging on, logged
//   exactly once.
// - Flood: QET's memory before, during and after 1000 connections that each
//   hold an almost complete 1 MiB frame; the median round trip of a request
//   over a new connection before and during a flood of bad connections.

#include <qet/QETPipeClient.h>
#include <qet/QETPipeFrame.h>

#include "BenchSupport.h"

#include <benchmark/benchmark.h>

#include <QStringList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kStartTimeoutMs = 20000;
constexpr int kRequestTimeoutMs = 20000;
constexpr int kClients = 8;
constexpr int kPacketsPerClient = 500;
constexpr int kStartupRuns = 15;

using Clock = std::chrono::steady_clock;

// Private XDG directories and lock place for one benchmark, removed
// afterwards, and QET without a display.
class Sandbox {
public:
    explicit Sandbox(bool debugLog) : mHome("zorv-bench-qet") {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("ZORV_LOCK_DIR", mHome.file("lock").c_str(), 1);
        if (debugLog) {
            ::setenv("ZORV_DEBUG_MODE", "1", 1);
        } else {
            ::unsetenv("ZORV_DEBUG_MODE");
        }
    }
    std::string socket() const { return mHome.file("run/QET.pipe"); }
    std::string debugLog() const { return mHome.file("data/zorv/ZorvDebug.log"); }

private:
    bench::BenchHome mHome;
};

// ZORV_BENCH_QET names another QET to measure instead (an older build, say),
// so that two can be compared under the same load.
std::string qetBinary() {
    const char* other = std::getenv("ZORV_BENCH_QET");
    return other != nullptr && other[0] != '\0' ? other : QET_BINARY;
}

pid_t spawn(const std::vector<std::string>& argv) {
    pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

int reap(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One request over a new connection; false until QET serves.
bool sendOnce(const std::string& socket, const QStringList& args) {
    QETPipeClient client;
    return client.connectToServer(QString::fromStdString(socket), kRequestTimeoutMs) &&
           client.send(args, kRequestTimeoutMs);
}

// A QET for the length of one benchmark.
class RunningQet {
public:
    explicit RunningQet(const Sandbox& box) : mPid(spawn({qetBinary()})) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
        while (!sendOnce(box.socket(), {QStringLiteral("ready?")})) {
            if (Clock::now() > deadline) {
                std::fprintf(stderr, "QET did not start\n");
                std::abort();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    ~RunningQet() {
        ::kill(mPid, SIGTERM);
        reap(mPid);
    }
    // A field of /proc/<pid>/status in kB (VmRSS, VmHWM).
    double statusKb(const char* field) const {
        std::ifstream in("/proc/" + std::to_string(mPid) + "/status");
        std::string key;
        double value = -1;
        while (in >> key && key != std::string(field) + ":") {
            in.ignore(1 << 12, '\n');
        }
        in >> value;
        return value;
    }

private:
    pid_t mPid;
};

void BM_Startup_ToFirstServedRequest(benchmark::State& state) {
    Sandbox box(false);
    for (auto _ : state) {
        const auto start = Clock::now();
        pid_t qet = spawn({qetBinary()});
        while (!sendOnce(box.socket(), {QStringLiteral("first")})) {
            if (Clock::now() - start > std::chrono::milliseconds(kStartTimeoutMs)) {
                state.SkipWithError("QET did not serve in time");
                break;
            }
            // A short pause: polling must not steal the CPU that QET needs
            // to start on a small machine.
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        ::kill(qet, SIGTERM);
        if (reap(qet) != 0) {
            state.SkipWithError("QET did not exit cleanly");
        }
    }
}
BENCHMARK(BM_Startup_ToFirstServedRequest)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(kStartupRuns)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// The three round trips alternate inside one loop, so that a change of load
// on the machine hits all three alike; each is timed on its own.
void BM_RoundTrip_QetSendVsInProcess(benchmark::State& state) {
    Sandbox box(false);
    RunningQet qet(box);
    QETPipeClient kept;
    if (!kept.connectToServer(QString::fromStdString(box.socket()), kRequestTimeoutMs)) {
        state.SkipWithError("cannot connect");
        return;
    }
    double program = 0, fresh = 0, reused = 0;
    long rounds = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        if (reap(spawn({QET_SEND_BINARY, "round", "trip"})) != 0) {
            state.SkipWithError("qet-send failed");
            break;
        }
        auto t1 = Clock::now();
        if (!sendOnce(box.socket(), {QStringLiteral("round"), QStringLiteral("trip")})) {
            state.SkipWithError("new connection failed");
            break;
        }
        auto t2 = Clock::now();
        if (!kept.send({QStringLiteral("round"), QStringLiteral("trip")}, kRequestTimeoutMs)) {
            state.SkipWithError("kept connection failed");
            break;
        }
        auto t3 = Clock::now();
        program += std::chrono::duration<double>(t1 - t0).count();
        fresh += std::chrono::duration<double>(t2 - t1).count();
        reused += std::chrono::duration<double>(t3 - t2).count();
        ++rounds;
    }
    if (rounds > 0) {
        state.counters["qet_send_us"] = 1e6 * program / rounds;
        state.counters["new_conn_us"] = 1e6 * fresh / rounds;
        state.counters["kept_conn_us"] = 1e6 * reused / rounds;
        state.counters["qet_send/new_conn"] = program / fresh;
        state.counters["new_conn/kept_conn"] = fresh / reused;
    }
}
BENCHMARK(BM_RoundTrip_QetSendVsInProcess)->Iterations(200)->Unit(benchmark::kMillisecond);

size_t countLines(const std::string& path, const std::string& prefix,
                  std::map<std::string, int>* perMessage) {
    std::ifstream in(path);
    std::string line;
    size_t total = 0;
    while (std::getline(in, line)) {
        // pid, date, time, component, message: the message is the 5th field.
        size_t at = 0;
        for (int field = 0; field < 4 && at != std::string::npos; ++field) {
            at = line.find('\t', at);
            at = at == std::string::npos ? at : at + 1;
        }
        if (at == std::string::npos) {
            continue;
        }
        const std::string message = line.substr(at, line.find('\t', at) - at);
        if (message.compare(0, prefix.size(), prefix) == 0) {
            ++(*perMessage)[message];
            ++total;
        }
    }
    return total;
}

void BM_Concurrent_8ClientsX500(benchmark::State& state) {
    const bool logging = state.range(0) != 0;
    Sandbox box(logging);
    RunningQet qet(box);
    std::atomic<long> acknowledged(0);
    int round = 0;
    for (auto _ : state) {
        ++round;
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                QETPipeClient client;
                if (!client.connectToServer(QString::fromStdString(box.socket()),
                                            kRequestTimeoutMs)) {
                    return;
                }
                for (int p = 0; p < kPacketsPerClient; ++p) {
                    quint32 status = 1;
                    const QString tag = QStringLiteral("pkt-r%1-c%2-p%3").arg(round).arg(c).arg(p);
                    if (client.send({tag}, kRequestTimeoutMs, &status) && status == 0) {
                        ++acknowledged;
                    }
                }
            });
        }
        for (std::thread& t : clients) {
            t.join();
        }
    }
    const long expected = long(state.iterations()) * kClients * kPacketsPerClient;
    if (acknowledged != expected) {
        state.SkipWithError("not every packet was acknowledged");
        return;
    }
    state.counters["packets_per_s"] =
        benchmark::Counter(double(expected), benchmark::Counter::kIsRate);
    state.counters["acknowledged"] = double(acknowledged);
    if (logging) {
        std::map<std::string, int> perMessage;
        const size_t logged = countLines(box.debugLog(), "request from socket: pkt-", &perMessage);
        bool exactlyOnce = logged == size_t(expected) && perMessage.size() == size_t(expected);
        for (const auto& kv : perMessage) {
            exactlyOnce = exactlyOnce && kv.second == 1;
        }
        state.counters["logged"] = double(logged);
        if (!exactlyOnce) {
            std::fprintf(stderr, "expected %ld, logged %zu lines of %zu distinct packets\n",
                         expected, logged, perMessage.size());
            state.SkipWithError("a packet was not logged exactly once");
        }
    }
}
BENCHMARK(BM_Concurrent_8ClientsX500)
    ->Arg(1)
    ->Arg(0)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

int connectRaw(const std::string& path) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// 1000 connections, each sending all but the last byte of a 1 MiB request and
// then holding it, the flood that once took QET to a gigabyte.
void BM_Flood_MemoryOfPartialFrames(benchmark::State& state) {
    Sandbox box(false);
    RunningQet qet(box);
    QByteArray frame = QETPipeFrame::encodeRequest({QString(512 * 1024 - 64, QLatin1Char('x'))});
    frame.chop(1);
    const double before = qet.statusKb("VmRSS");
    double during = 0;
    for (auto _ : state) {
        std::vector<int> held;
        for (int i = 0; i < 1000; ++i) {
            const int fd = connectRaw(box.socket());
            if (fd >= 0 && ::send(fd, frame.constData(), size_t(frame.size()), MSG_NOSIGNAL) >= 0) {
                held.push_back(fd);
            }
        }
        during = qet.statusKb("VmRSS");
        for (int fd : held) {
            ::close(fd);
        }
    }
    if (!sendOnce(box.socket(), {QStringLiteral("after"), QStringLiteral("flood")})) {
        state.SkipWithError("QET no longer serves");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    state.counters["rss_before_kB"] = before;
    state.counters["rss_during_kB"] = during;
    state.counters["hwm_kB"] = qet.statusKb("VmHWM");
    state.counters["rss_after_kB"] = qet.statusKb("VmRSS");
}
BENCHMARK(BM_Flood_MemoryOfPartialFrames)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

// Requests one every 2 ms for two seconds.
double medianRoundTripMs(const Sandbox& box) {
    std::vector<double> times;
    const auto end = Clock::now() + std::chrono::seconds(2);
    for (int i = 0; Clock::now() < end; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto start = Clock::now();
        if (!sendOnce(box.socket(), {QStringLiteral("good"), QString::number(i)})) {
            return -1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Bad connections (two bytes, then gone: each an error), 2000 a second,
// beside good requests on new connections. (A flood as fast as a client can
// connect fills the listen backlog, and a good connection then waits behind
// thousands of bad ones whatever each of them costs.)
void BM_Flood_RoundTripDuringBadConnections(benchmark::State& state) {
    Sandbox box(false);
    RunningQet qet(box);
    double before = 0, during = 0;
    std::atomic<long> bad(0);
    for (auto _ : state) {
        before = medianRoundTripMs(box);
        std::atomic<bool> stop(false);
        std::thread flood([&] {
            auto next = Clock::now();
            while (!stop) {
                next += std::chrono::microseconds(500);
                std::this_thread::sleep_until(next);
                const int fd = connectRaw(box.socket());
                if (fd >= 0) {
                    ::send(fd, "\0\0", 2, MSG_NOSIGNAL);
                    ::close(fd);
                    ++bad;
                }
            }
        });
        during = medianRoundTripMs(box);
        stop = true;
        flood.join();
    }
    if (before < 0 || during < 0) {
        state.SkipWithError("a good request was not served");
        return;
    }
    state.counters["median_before_ms"] = before;
    state.counters["median_during_ms"] = during;
    state.counters["during/before"] = during / before;
    state.counters["bad_connections"] = double(bad);
}
BENCHMARK(BM_Flood_RoundTripDuringBadConnections)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
