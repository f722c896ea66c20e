#!/usr/bin/env python3
"""Turns the JSON output of bench_peers and bench_peers_procs into the tables
of docs/performance.md (medians over the repetitions of bench_peers)."""

import json
import sys


def load(path):
    with open(path) as f:
        return json.load(f)


def by_name(doc):
    """Median aggregates when there are repetitions, else the single runs."""
    runs = {}
    for b in doc["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b["run_name"].split("/")[0]
        if b.get("error_occurred"):
            runs[name] = {"error": b.get("error_message", "error")}
            continue
        runs[name] = b
    return runs


def fmt(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def one_process(doc):
    runs = by_name(doc)
    side = runs.get("BM_OneLine_SideBySide", {})
    print("One-line record, one process (side by side, median of the repetitions)\n")
    print("| contender | elapsed µs | CPU µs | ratio to floor (elapsed / CPU) "
          "| ratio to ours (elapsed / CPU) | alone: elapsed / CPU µs |")
    print("|---|---|---|---|---|---|")
    alone = {"floor": "BM_OneLine_Floor", "ours": "BM_OneLine_ZorvDebugLogger",
             "spdlog": "BM_OneLine_Spdlog", "log4cplus": "BM_OneLine_Log4cplus"}
    labels = {"floor": "floor: open(O_APPEND), write, close",
              "ours": "ours: ZorvDebugLogger, debug record",
              "spdlog": "spdlog: basic file sink, flush every message",
              "log4cplus": "log4cplus: FileAppender, UseLockFile, ImmediateFlush"}
    f_w, f_c = side.get("floor_us"), side.get("floor_cpu_us")
    o_w, o_c = side.get("ours_us"), side.get("ours_cpu_us")
    for key in ["floor", "ours", "spdlog", "log4cplus"]:
        w, c = side.get(key + "_us"), side.get(key + "_cpu_us")
        if w is None:
            continue
        a = runs.get(alone[key], {})
        aw = a.get("real_time", 0) / 1000 if "real_time" in a else None
        ac = a.get("cpu_time", 0) / 1000 if "cpu_time" in a else None
        print(f"| {labels[key]} | {fmt(w)} | {fmt(c)} | {fmt(w / f_w)} / {fmt(c / f_c)} "
              f"| {fmt(w / o_w)} / {fmt(c / o_c)} | {fmt(aw)} / {fmt(ac)} |")

    three = runs.get("BM_ThreeLines_SideBySide", {})
    print("\nThree-line record through ZorvLogger, one process (side by side)\n")
    print("| contender | elapsed µs | CPU µs | ratio to floor (elapsed / CPU) |")
    print("|---|---|---|---|")
    tf_w, tf_c = three.get("floor_us"), three.get("floor_cpu_us")
    for key, label in [("floor", "floor: open(O_APPEND), one write of the three lines, close"),
                       ("ours", "ours: ZorvLogger, three key/value lines")]:
        w, c = three.get(key + "_us"), three.get(key + "_cpu_us")
        if w is None:
            continue
        print(f"| {label} | {fmt(w)} | {fmt(c)} | {fmt(w / tf_w)} / {fmt(c / tf_c)} |")

    dis = runs.get("BM_Disabled_SideBySide", {})
    print("\nDisabled statement, one process (side by side, blocks of 1000 calls)\n")
    print("| contender | elapsed ns | CPU ns | ratio to the flag test (elapsed / CPU) |")
    print("|---|---|---|---|")
    d_w, d_c = dis.get("flag_ns"), dis.get("flag_cpu_ns")
    for key, label in [("flag", "bare virtual call testing a flag"),
                       ("ours", "ours: ZorvDebugLogger without ZORV_DEBUG_MODE"),
                       ("spdlog", "spdlog: debug() below level info"),
                       ("log4cplus", "log4cplus: LOG4CPLUS_DEBUG below INFO")]:
        w, c = dis.get(key + "_ns"), dis.get(key + "_cpu_ns")
        if w is None:
            continue
        print(f"| {label} | {fmt(w)} | {fmt(c)} | {fmt(w / d_w)} / {fmt(c / d_c)} |")


def processes(doc):
    print("\nSeveral processes, one file (total records per second; CPU µs per record summed "
          "over the processes)\n")
    print("| processes | locked floor | locked floor + tail read | ours | log4cplus "
          "| ours / floor | ours / floor + tail | ours / log4cplus | floor keeps of 1 process "
          "| CPU µs: floor / floor+tail / ours / log4cplus |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for b in doc["benchmarks"]:
        if b.get("error_occurred"):
            print(f"| {b['run_name']} | error: {b.get('error_message')} |")
            continue
        p = b["run_name"].split("/")[1]
        g = b.get
        print(f"| {p} | {fmt(g('floor_rps', 0) / 1000, 1)}k | {fmt(g('floor_tail_rps', 0) / 1000, 1)}k "
              f"| {fmt(g('ours_rps', 0) / 1000, 1)}k "
              f"| {fmt(g('log4cplus_rps', 0) / 1000, 1) + 'k' if 'log4cplus_rps' in b else '-'} "
              f"| {fmt(g('ours_vs_floor'))} | {fmt(g('ours_vs_floor_tail'))} "
              f"| {fmt(g('ours_vs_log4cplus'))} | {fmt(g('floor_keeps'))} "
              f"| {fmt(g('floor_cpu_us'))} / {fmt(g('floor_tail_cpu_us'))} / {fmt(g('ours_cpu_us'))}"
              f" / {fmt(g('log4cplus_cpu_us'))} |")


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: summarize.py bench_peers.json bench_peers_procs.json")
    one_process(load(sys.argv[1]))
    processes(load(sys.argv[2]))


if __name__ == "__main__":
    main()
