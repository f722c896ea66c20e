// One save of follow's state: the positions of 1 log, and of 20 logs each
// with the generation read and 8 watched ones (the most a state holds for
// them), written to a real file in a temporary directory.

#include "follow/FollowState.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

void saves(benchmark::State& run, int logs, int watched) {
    char pattern[] = "/tmp/zorvbench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    const std::string dir = pattern;
    std::vector<std::string> paths;
    zorvlog::FollowState::Positions positions;
    for (int i = 0; i < logs; ++i) {
        paths.push_back("/var/log/service/worker-" + std::to_string(i) + ".log");
        std::vector<zorvlog::FollowPosition> generations(1 + static_cast<std::size_t>(watched));
        for (std::size_t g = 0; g < generations.size(); ++g) {
            zorvlog::FollowPosition& p = generations[g];
            p.dev = 2049;
            p.ino = 131072 + g;
            p.id = "0123456789abcdef";
            p.offset = 1 << 20;
            p.line = 8000;
            p.crc = 0xdeadbeef;
            p.head = 0x12345678;
            p.owner = 1000;
            p.watched = g > 0;
        }
        positions.emplace_back(paths.back(), generations);
    }
    std::string error;
    {
        zorvlog::FollowState state;
        if (!state.open(dir + "/bench.state", paths, error)) {
            throw std::runtime_error(error);
        }
        for (auto _ : run) {
            positions[0].second[0].offset += 100;
            if (!state.save(positions)) {
                run.SkipWithError("save failed");
            }
        }
    }
    ::unlink((dir + "/bench.state").c_str());
    ::rmdir(dir.c_str());
}

void BM_SaveOneLog(benchmark::State& run) {
    saves(run, 1, 0);
}
void BM_SaveTwentyLogsFullyWatched(benchmark::State& run) {
    saves(run, 20, 8);
}
BENCHMARK(BM_SaveOneLog);
BENCHMARK(BM_SaveTwentyLogsFullyWatched);

} // namespace

BENCHMARK_MAIN();
