#!/bin/sh
# zorvlog follow --relp into a local rsyslogd (the shipped central
# configuration on 127.0.0.1), plain and with TLS: a backlog of records taken
# until the collector's file holds every one, in records per CPU second of
# the follower (the collector's CPU not counted). Skipped rows say why.
# Prints Markdown table rows: | measure | measured | target |
# Usage: bench/relp/rows.sh <build-dir>
set -eu
build=${1:?usage: rows.sh <build-dir>}
exec python3 - "$build/tools/zorvlog/zorvlog" "$build/contrib-staged/rsyslog/zorv-relp-central.conf" \
    "$(dirname "$0")/../lib" <<'PY'
import os, subprocess, sys, tempfile, time

zorvlog, shipped = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from rsyslog import Collector
from backlog import write_backlog
tick = os.sysconf("SC_CLK_TCK")
home = tempfile.mkdtemp(prefix="zorvbench-")
env = dict(os.environ, HOME=home, XDG_STATE_HOME=home, XDG_DATA_HOME=home, XDG_RUNTIME_DIR=home)

def row(measure, measured, target):
    print(f"| {measure} | {measured} | {target} |")

def run(*argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

if not os.path.exists("/usr/lib/x86_64-linux-gnu/rsyslog/imrelp.so"):
    row("follow --relp: records per CPU second", "skipped: no rsyslog imrelp here", "-")
    sys.exit(0)

# An authority, and the collector's and the follower's certificates it signed.
ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
run("openssl", "req", "-x509", *ec, "-keyout", f"{home}/ca.key", "-out", f"{home}/relp-ca.pem",
    "-days", "2", "-subj", "/CN=bench")
for holder in ("relp", "client"):
    run("openssl", "req", *ec, "-keyout", f"{home}/{holder}-key.pem", "-out", f"{home}/{holder}.csr",
        "-subj", "/CN=bench", "-addext", "subjectAltName=IP:127.0.0.1")
    run("openssl", "x509", "-req", "-in", f"{home}/{holder}.csr", "-CA", f"{home}/relp-ca.pem",
        "-CAkey", f"{home}/ca.key", "-out", f"{home}/{holder}-cert.pem", "-days", "2",
        "-copy_extensions", "copyall")

# The backlog (bench/lib/backlog.py).
n = 200000
log = home + "/a.log"
write_backlog(log, n)

def measure(tls):
    collector = Collector(shipped, f"{home}/central-{int(tls)}", home, tls)
    central, port = collector.directory, collector.port
    argv = [zorvlog, "follow", "--relp", f"127.0.0.1:{port}", "--state", f"{central}/state"]
    if tls:
        argv += ["--relp-tls", "--relp-ca", f"{home}/relp-ca.pem", "--relp-cert",
                 f"{home}/client-cert.pem", "--relp-key", f"{home}/client-key.pem"]
    follower = subprocess.Popen(argv + [log], stderr=subprocess.DEVNULL, env=env)
    out = f"{central}/zorv-follow.jsonl"
    while not os.path.exists(out) or int(subprocess.run(["wc", "-l", out], capture_output=True,
                                                         text=True).stdout.split()[0]) < n:
        time.sleep(0.2)
    fields = open(f"/proc/{follower.pid}/stat").read().rsplit(")", 1)[1].split()
    used = (int(fields[11]) + int(fields[12])) / tick
    follower.terminate()
    follower.wait()
    collector.stop()
    return n / used

plain = measure(False)
tls = measure(True)
subprocess.run(["rm", "-rf", home])
row("follow --relp: records per CPU second into a local rsyslog", f"{plain:,.0f}", "-")
row("follow --relp --relp-tls: records per CPU second into a local rsyslog", f"{tls:,.0f}", "-")
PY
