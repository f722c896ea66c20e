# A local rsyslogd for the benchmarks, from the collector configuration we
# ship: its directories moved into a scratch directory, its port an unused
# one on 127.0.0.1, TLS on or off. Shared by every bench script that sends to
# a collector, so that each starts it the same way.
import os, signal, socket, subprocess, time


def free_port():
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


class Collector:
    """rsyslogd in the foreground with the shipped configuration `shipped`
    (the RELP central one), writing under `directory`, which it makes; the
    certificates it names are looked for in `certificates`. Ready once it
    listens on `port`."""

    def __init__(self, shipped, directory, certificates, tls):
        self.port = free_port()
        self.directory = directory
        os.mkdir(directory)
        config = open(shipped).read()
        for old, new in (("/var/log/zorv-central/%fromhost:::secpath-replace%", directory),
                         ("/etc/zorv-central", certificates),
                         ('port="2514"', f'port="{self.port}" address="127.0.0.1"'),
                         ('tls="on"', 'tls="on"' if tls else 'tls="off"')):
            config = config.replace(old, new)
        with open(f"{directory}/rsyslog.conf", "w") as out:
            out.write(f'global(workDirectory="{directory}")\n{config}')
        self.process = subprocess.Popen(["rsyslogd", "-n", "-f", f"{directory}/rsyslog.conf",
                                         "-i", f"{directory}/pid"], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        while subprocess.run(["ss", "-Hltn", f"sport = :{self.port}"], capture_output=True,
                             text=True).stdout.strip() == "":
            time.sleep(0.05)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait()
