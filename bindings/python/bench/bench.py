# SPDX-License-Identifier: MIT
"""The Python package beside a plain Python socket, and beside the library
driven from C, in one run.

    ZORTCP_LIB=build/n/libzortcp.so.1 python bench.py [--runs 3] [--megabytes 256]
        [--peer-program build/n/bench/stream_peer] [--c-host build/n/bench/stream_host]
        [--port-bench build/n/bench/port_bench] [--markdown FILE]

The same Python program talks to the same peer (a separate process with a
plain socket: this file run as a peer, or with --peer-program, stream_peer,
made of port_bench's peer connections in C++) once through a plain socket
and once through a zortcp client port (connect(), so the fast mode, default
rings):
  - host to peer: 64 KiB writes (sendall / Port.write) until --megabytes
    have reached the peer, which then answers one byte;
  - peer to host: the peer sends --megabytes; 64 KiB reads (recv_into /
    Port.read_into);
  - 16-byte round trips to an echo peer, back to back, the median trip;
and once more through zortcp with 1 MiB writes and reads. With --c-host,
stream_host does the same three through the library from C, as port_bench's
ordinary host does (the fast mode, default rings, 64 KiB writes, a reader
woken by each receive), against the same peer, in each run: the share of C
is the Python host's figure (1 MiB blocks; 64 KiB for the round trip) over
that one. With --port-bench, port_bench's own ordinary-host figures (its
peer a thread of its own process) are shown beside them. Each figure is
the median of --runs runs.
"""

from __future__ import annotations

import argparse
import os
import re
import socket
import statistics
import struct
import subprocess
import sys
import time
from typing import Callable, Dict, List, Optional

KIB, MIB = 1024, 1024 * 1024
TRIPS, WARM_UP = 2000, 200

# Peer: one connection at a time; the host sends a header (kind, byte count).
HEADER = struct.Struct("<cQ")


def peer_main(listener_fd: int) -> None:
    listener = socket.socket(fileno=listener_fd)
    buffer = bytearray(MIB)
    view = memoryview(buffer)
    while True:
        connection, _ = listener.accept()
        with connection:
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            header = b""
            while len(header) < HEADER.size:
                part = connection.recv(HEADER.size - len(header))
                if not part:
                    break
                header += part
            if len(header) < HEADER.size:
                continue
            kind, size = HEADER.unpack(header)
            if kind == b"q":
                return
            if kind == b"s":  # sink: takes size bytes, answers one
                left = size
                while left:
                    got = connection.recv_into(view[:min(left, MIB)])
                    if not got:
                        break
                    left -= got
                connection.sendall(b"k")
            elif kind == b"g":  # source: sends size bytes
                left = size
                while left:
                    sent = connection.send(view[:min(left, MIB)])
                    left -= sent
                connection.recv(1)  # until the host has them all
            elif kind == b"e":  # echo
                while True:
                    got = connection.recv_into(view)
                    if not got:
                        break
                    connection.sendall(view[:got])


class Link:
    """The host's side, the same calls through either kind of connection."""

    def __init__(self, address: "tuple[str, int]", zortcp_port: bool) -> None:
        self.port = None
        self.socket: Optional[socket.socket] = None
        if zortcp_port:
            import zortcp
            self.port = zortcp.connect(address[0], address[1], timeout=10)
        else:
            self.socket = socket.create_connection(address)
            self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def write(self, data: "bytes | memoryview") -> None:
        if self.port is not None:
            self.port.write(data)
        else:
            assert self.socket is not None
            self.socket.sendall(data)

    def read_into(self, view: memoryview) -> int:
        if self.port is not None:
            return self.port.read_into(view)
        assert self.socket is not None
        return self.socket.recv_into(view)

    def close(self) -> None:
        if self.port is not None:
            self.port.close()
        if self.socket is not None:
            self.socket.close()


def host_to_peer(link: Link, size: int, block: int) -> float:
    data = memoryview(bytes(block))
    link.write(HEADER.pack(b"s", size))
    started = time.perf_counter()
    left = size
    while left:
        piece = min(left, block)
        link.write(data[:piece])
        left -= piece
    answer = bytearray(1)
    while not link.read_into(memoryview(answer)):
        pass
    return size / (time.perf_counter() - started) / 1e6


def peer_to_host(link: Link, size: int, block: int) -> float:
    buffer = memoryview(bytearray(block))
    link.write(HEADER.pack(b"g", size))
    started = time.perf_counter()
    left = size
    while left:
        left -= link.read_into(buffer[:min(left, block)])
    elapsed = time.perf_counter() - started
    link.write(b"k")
    return size / elapsed / 1e6


def round_trip(link: Link, size: int, block: int) -> float:
    message = bytes(16)
    buffer = memoryview(bytearray(16))
    link.write(HEADER.pack(b"e", 0))
    trips = []
    for number in range(WARM_UP + TRIPS):
        started = time.perf_counter()
        link.write(message)
        got = 0
        while got < 16:
            got += link.read_into(buffer[got:])
        if number >= WARM_UP:
            trips.append(time.perf_counter() - started)
    return statistics.median(trips) * 1e6


Measure = Callable[[Link, int, int], float]
C_HOST = "C host"


def port_bench_figures(path: str, runs: int) -> Dict[str, float]:
    """port_bench's ordinary host, fast mode: its 1-port flows and its
    back-to-back round trip."""
    done = subprocess.run([path, "--only", "ordinary", "--mode", "fast", "--runs", str(runs),
                           "--window", "1"], capture_output=True, text=True, check=False)
    # It ends with 2 when one of its own targets is not met; its figures stand.
    if done.returncode not in (0, 2):
        raise RuntimeError(f"port_bench failed ({done.returncode}): {done.stderr}")
    rows = {"Host to peer, 1 port": "h2p", "Peer to host, 1 port": "p2h",
            "Round trip 16 B, back to back, median": "rtt"}
    figures = {}
    for line in done.stdout.splitlines():
        for name, key in rows.items():
            if line.startswith(name):
                figures[key] = float(line.split()[-2])
    return figures


def c_host_figures(program: str, address: "tuple[str, int]", megabytes: int) -> List[float]:
    """stream_host's three figures against the peer at address."""
    done = subprocess.run([program, str(address[1]), str(megabytes)], capture_output=True,
                          text=True, check=False, timeout=600)
    if done.returncode != 0:
        raise RuntimeError(f"{program} failed ({done.returncode}): {done.stderr}")
    return [float(line) for line in done.stdout.split()]


def start_peer(program: str) -> "tuple[subprocess.Popen[bytes], tuple[str, int], Optional[socket.socket]]":
    """The peer process and its address: this file run as the peer, on a
    listener made here, or the program, which prints its port once it
    listens."""
    if not program:
        listener = socket.create_server(("127.0.0.1", 0))
        peer = subprocess.Popen([sys.executable, __file__, "--peer", str(listener.fileno())],
                                pass_fds=[listener.fileno()])
        return peer, listener.getsockname()[:2], listener
    peer = subprocess.Popen([program], stdout=subprocess.PIPE)
    assert peer.stdout is not None
    line = peer.stdout.readline()
    if not line.strip().isdigit():
        peer.kill()
        raise RuntimeError(f"{program} printed no port: {line!r}")
    return peer, ("127.0.0.1", int(line)), None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--megabytes", type=int, default=256)
    parser.add_argument("--port-bench", default="")
    parser.add_argument("--peer-program", default="",
                        help="the peer to run (stream_peer); default: this file in Python")
    parser.add_argument("--c-host", default="",
                        help="the library driven from C against the same peer (stream_host)")
    parser.add_argument("--markdown", default="")
    parser.add_argument("--peer", type=int, default=-1, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.peer >= 0:
        peer_main(options.peer)
        return

    peer, address, listener = start_peer(options.peer_program)
    size = options.megabytes * MIB
    cases: List["tuple[str, str, Measure]"] = [
        ("Host to peer", "MB/s", host_to_peer),
        ("Peer to host", "MB/s", peer_to_host),
        ("Round trip 16 B, median", "us", round_trip),
    ]
    columns = [("plain socket, 64 KiB", False, 64 * KIB), ("zortcp, 64 KiB", True, 64 * KIB),
               ("zortcp, 1 MiB", True, MIB)]
    results: Dict["tuple[str, str]", List[float]] = {}
    try:
        for run in range(options.runs):
            print(f"run {run + 1} of {options.runs}", file=sys.stderr, flush=True)
            for name, _, measure in cases:
                for column, through_zortcp, block in columns:
                    if measure is round_trip and block == MIB:
                        continue
                    link = Link(address, through_zortcp)
                    try:
                        figure = measure(link, size, block)
                    finally:
                        link.close()
                    results.setdefault((name, column), []).append(figure)
            if options.c_host:
                for (name, _, _), figure in zip(cases, c_host_figures(
                        options.c_host, address, options.megabytes)):
                    results.setdefault((name, C_HOST), []).append(figure)
    finally:
        with socket.create_connection(address) as stop:
            stop.sendall(HEADER.pack(b"q", 0))
        try:
            peer.wait(30)
        finally:
            if peer.poll() is None:
                peer.kill()
                peer.wait()
            if listener is not None:
                listener.close()
    library = port_bench_figures(options.port_bench, options.runs) if options.port_bench else {}

    def median(name: str, column: str) -> Optional[float]:
        figures = results.get((name, column))
        return statistics.median(figures) if figures else None

    peer_name = "stream_peer (C++)" if options.peer_program else "bench.py (Python)"
    lines = [f"Peer: {peer_name}.", "",
             "| Measure | plain socket, 64 KiB | zortcp, 64 KiB | zortcp / plain | target "
             "| zortcp, 1 MiB | C host, same peer | share of C | port_bench (C, own peer) |",
             "|---|---|---|---|---|---|---|---|---|"]

    def shown(figure: Optional[float]) -> str:
        return "" if figure is None else f"{figure:.1f}"

    keys = ["h2p", "p2h", "rtt"]
    for (name, unit, _), key in zip(cases, keys):
        plain = median(name, columns[0][0])
        ours = median(name, columns[1][0])
        large = median(name, columns[2][0])
        c_level = median(name, C_HOST)
        assert plain is not None and ours is not None
        ratio = ours / plain
        if unit == "us":
            target = f"<= 4x: {'met' if ratio <= 4 else 'NOT MET'}"
            large = ours
        else:
            target = f">= 0.3x: {'met' if ratio >= 0.3 else 'NOT MET'}"
        against = ""
        if c_level and large:
            # A figure where less is better (the round trip) is turned round.
            share = c_level / large if unit == "us" else large / c_level
            against = f"{share:.2f} ({'met' if share >= 0.8 else 'NOT MET'}: >= 0.8)"
        lines.append(f"| {name} ({unit}) | {plain:.1f} | {ours:.1f} | {ratio:.2f}x | {target} "
                     f"| {shown(large)} | {shown(c_level)} | {against} "
                     f"| {shown(library.get(key))} |")
    table = "\n".join(lines) + "\n"
    print(table)
    if options.markdown:
        with open(options.markdown, "w", encoding="utf-8") as file:
            file.write(table)


if __name__ == "__main__":
    main()
