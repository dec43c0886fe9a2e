#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs port_bench.exe under Wine and adds what Wine's server spent.

Under Wine every wait of a Windows program is a request to its server, a
Linux process of its own, so the processor time that port_bench's idle
measure reads for its own process leaves part of the cost out. port_bench
marks each idle period on its standard error ("idle period: start NAME",
"idle period: end"); this reads the server's processor time
(/proc/PID/stat) at both marks and prints it beside port_bench's report.
The server is the one of WINEPREFIX, which must be set; keep it running
(wineserver -p) so that it is the same one throughout.

  WINEPREFIX=$PWD/build/wineprefix python3 bench/wine_idle.py \\
      build/windows-x64/bench/port_bench.exe --only idle --idle 10
"""
import os
import subprocess
import sys
import time

PREFIX = os.environ["WINEPREFIX"].encode()
TICKS = os.sysconf("SC_CLK_TCK")


def server_pid():
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm") as comm:
                if not comm.read().startswith("wineserver"):
                    continue
            with open(f"/proc/{pid}/environ", "rb") as environ:
                if b"WINEPREFIX=" + PREFIX in environ.read().split(b"\0"):
                    return int(pid)
        except OSError:
            continue
    sys.exit("no wineserver runs for WINEPREFIX")


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def main():
    bench = subprocess.Popen(["wine"] + sys.argv[1:], stderr=subprocess.PIPE, text=True)
    pid = None
    for line in bench.stderr:
        if line.startswith("idle period: start"):
            name = line.split()[-1]
            pid = pid or server_pid()
            started, ticks = time.monotonic(), cpu_ticks(pid)
        elif line.startswith("idle period: end"):
            seconds = time.monotonic() - started
            percent = (cpu_ticks(pid) - ticks) / TICKS / seconds * 100
            print(f"Wine's server during {name}: {percent:.2f} % of a core", flush=True)
        else:
            sys.stderr.write(line)
    sys.exit(bench.wait())


if __name__ == "__main__":
    main()
