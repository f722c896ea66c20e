#!/bin/sh
# zorvlog follow, measured in one run: how soon a record the library wrote is
# printed, how often an idle follower wakes, and how fast it takes a backlog
# into /dev/null with --json --state, beside parse --json on the same file.
# Prints Markdown table rows: | measure | measured | target |
# Usage: bench/follow/rows.sh <build-dir>
set -eu
build=${1:?usage: rows.sh <build-dir>}
exec python3 - "$build/tools/zorvlog/zorvlog" "$(dirname "$0")/../lib" <<'PY'
import os, subprocess, sys, tempfile, time

zorvlog = sys.argv[1]
sys.path.insert(0, sys.argv[2])
from backlog import write_backlog
tick = os.sysconf("SC_CLK_TCK")
home = tempfile.mkdtemp(prefix="zorvbench-")
env = dict(os.environ, HOME=home, XDG_STATE_HOME=home + "/state", XDG_DATA_HOME=home + "/data",
           XDG_RUNTIME_DIR=home)

def cpu(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick, fields[0]

# Wake-ups: each time a thread of the process gave up the CPU to wait
# (voluntary context switches). A thread the scheduler preempts on a busy
# machine (nonvoluntary) was awake already and is not counted.
def switches(pid):
    n = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        for line in open(f"/proc/{pid}/task/{task}/status"):
            if line.startswith("voluntary_ctxt_switches"):
                n += int(line.split()[1])
    return n

# Latency: a record written by the library (zorvlog debug), until follow prints it.
log = home + "/a.log"
follower = subprocess.Popen([zorvlog, "follow", "--json", "--state", home + "/l.state", log],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
subprocess.run([zorvlog, "debug", "--vendor", "1", "--to", log, "first"], env=env, check=True)
follower.stdout.readline()
latencies = []
for i in range(1000):
    subprocess.run([zorvlog, "debug", "--vendor", "1", "--to", log, f"record {i}"], env=env, check=True)
    written = time.monotonic()
    follower.stdout.readline()
    latencies.append(time.monotonic() - written)
latencies.sort()

# Idle: wake-ups in 30 s with nothing written.
time.sleep(1)
before = switches(follower.pid)
time.sleep(30)
idle = switches(follower.pid) - before
follower.terminate()
follower.wait()

# The backlog (bench/lib/backlog.py).
n = 1000000
backlog = home + "/b.log"
write_backlog(backlog, n)
size = os.path.getsize(backlog)
start = os.times()
subprocess.run([zorvlog, "parse", "--json", backlog], stdout=subprocess.DEVNULL, env=env, check=True)
end = os.times()
parse_cpu = end.children_user + end.children_system - start.children_user - start.children_system
with open(os.devnull, "w") as null:
    follower = subprocess.Popen([zorvlog, "follow", "--json", "--state", home + "/b.state", backlog],
                                stdout=null, stderr=subprocess.DEVNULL, env=env)
    # Done when it has read the whole file and sleeps.
    while True:
        time.sleep(0.05)
        read = int([l for l in open(f"/proc/{follower.pid}/io") if l.startswith("rchar")][0].split()[1])
        used, state = cpu(follower.pid)
        if read >= size and state == "S":
            time.sleep(0.2)
            if cpu(follower.pid)[0] == used:
                break
    follower.terminate()
    follower.wait()

# Many logs: CPU per record with 1,000 logs followed and one written, beside
# one log followed alone; then the peak memory of 1,000 logs each ending in
# an unfinished line of 1 MB.
def oncpu(pid):
    return int(open(f"/proc/{pid}/schedstat").read().split()[0]) / 1e9

def per_record(count, records=10000):
    logs = [f"{home}/many/{count}-{i}.log" for i in range(count)]
    for path in logs:
        open(path, "w").close()
    follower = subprocess.Popen([zorvlog, "follow", "--json", "--state", f"{home}/many/{count}.state"] + logs,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    fd = os.open(logs[-1], os.O_WRONLY | os.O_APPEND)
    os.write(fd, b"4711\t2026/12/06\t17:05:09\tZorvCore\tfirst\t\n")
    follower.stdout.readline()
    before = oncpu(follower.pid)
    for i in range(records):
        os.write(fd, f"4711\t2026/12/06\t17:05:09\tZorvCore\trecord {i}\t\n".encode())
        follower.stdout.readline()
    used = oncpu(follower.pid) - before
    os.close(fd)
    follower.terminate()
    follower.wait()
    return used / records

os.mkdir(home + "/many")
one_log = per_record(1)
thousand = per_record(1000)
line = b"4712\t2026/12/06\t17:05:09\tZorvCore\t" + b"x" * 1000000
logs = []
for i in range(1000):
    logs.append(f"{home}/many/u{i}.log")
    with open(logs[-1], "wb") as out:
        out.write(f"4711\t2026/12/06\t17:05:09\tZorvCore\trecord {i}\t\n".encode() + line)
follower = subprocess.Popen([zorvlog, "follow", "--json", "--state", home + "/many/u.state"] + logs,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
for i in range(1000):
    follower.stdout.readline()
peak = [int(l.split()[1]) for l in open(f"/proc/{follower.pid}/status") if l.startswith("VmHWM")][0]
follower.terminate()
follower.wait()
# A pattern that takes 1,000 logs of one record each: the time until every
# record is printed, the resident memory then, and the CPU per record written
# to one of them.
os.mkdir(home + "/pattern")
for i in range(1000):
    with open(f"{home}/pattern/p{i}.log", "w") as out:
        out.write(f"4711\t2026/12/06\t17:05:09\tZorvCore\trecord {i}\t\n")
started = time.monotonic()
follower = subprocess.Popen([zorvlog, "follow", "--json", "--state", home + "/p.state", home + "/pattern/*.log"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
for i in range(1000):
    follower.stdout.readline()
pattern_start = time.monotonic() - started
pattern_rss = [int(l.split()[1]) for l in open(f"/proc/{follower.pid}/status") if l.startswith("VmRSS")][0]
fd = os.open(f"{home}/pattern/p0.log", os.O_WRONLY | os.O_APPEND)
before = oncpu(follower.pid)
for i in range(10000):
    os.write(fd, f"4711\t2026/12/06\t17:05:09\tZorvCore\trecord {i}\t\n".encode())
    follower.stdout.readline()
pattern_cpu = (oncpu(follower.pid) - before) / 10000
os.close(fd)
follower.terminate()
follower.wait()
subprocess.run(["rm", "-rf", home])

def row(measure, measured, target):
    print(f"| {measure} | {measured} | {target} |")

row("follow: latency from a library writer's exit to the record printed, median of 1,000", f"{latencies[500] * 1000:.2f} ms", "50 ms")
row("follow: latency from a library writer's exit to the record printed, max of 1,000", f"{latencies[-1] * 1000:.2f} ms", "250 ms")
row("follow: wake-ups while idle for 30 s", f"{idle}", "at most 3")
row("follow --json --state: backlog records per CPU second", f"{n / used:,.0f}", ">= 1,000,000")
row("follow --json --state / parse --json, CPU on the same backlog", f"{used / parse_cpu:.2f}", "-")
row("follow: CPU per record with 1,000 logs followed and one written / with that log alone", f"{thousand / one_log:.2f}", "at most 1.5")
row("follow: peak resident memory, 1,000 logs each ending in an unfinished line of 1 MB", f"{peak / 1024:.1f} MiB", "at most 64 MiB")
row("follow: start until every record is printed, 1,000 logs through one pattern", f"{pattern_start * 1000:.0f} ms", "-")
row("follow: resident memory, 1,000 logs through one pattern", f"{pattern_rss / 1024:.1f} MiB", "-")
row("follow: CPU per record, 1,000 logs through one pattern and one written", f"{pattern_cpu * 1e6:.1f} µs", "-")
PY
