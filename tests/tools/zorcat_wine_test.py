#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""zorcat.exe under Wine: the options, bytes both ways through standard input
and output (a pipe and a file), a refused connect, a closed standard input
and Ctrl-C, against peers on 127.0.0.1.

    zorcat_wine_test.py --emulator wine --zorcat build/windows-x64/zorcat.exe --version 1.0.0
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

RUN_WAIT = 120  # s: a program's first start in a fresh prefix is slow
PEER_WAIT = 60
# Wine's own messages stay out of zorcat's standard error.
os.environ.setdefault("WINEDEBUG", "-all")


def run(args, command, stdin=subprocess.DEVNULL, data=None, preexec=None):
    process = subprocess.Popen([args.emulator, args.zorcat] + command, stdin=stdin,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               preexec_fn=preexec)
    out, err = process.communicate(data, timeout=RUN_WAIT)
    return process.returncode, out, err.decode(errors="replace")


class EchoPeer:
    """Accepts one connection, takes `expect` bytes, sends them back, closes."""

    def __init__(self, expect):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(PEER_WAIT)
        self.port = str(self.listener.getsockname()[1])
        self.expect = expect
        self.arrived = b""
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def serve(self):
        try:
            connection, _ = self.listener.accept()
        except OSError:
            return
        with connection:
            connection.settimeout(PEER_WAIT)
            # Nothing listens once the peer has its connection, so zorcat
            # cannot connect a second time before it ends.
            self.listener.close()
            try:
                while len(self.arrived) < self.expect:
                    chunk = connection.recv(65536)
                    if not chunk:
                        break
                    self.arrived += chunk
                connection.sendall(self.arrived)
            except OSError:
                pass

    def join(self):
        self.thread.join(PEER_WAIT)
        self.listener.close()


def check(condition, what, err=""):
    if not condition:
        raise AssertionError(what + ("\n--- standard error:\n" + err if err else ""))


def test_version_help_and_usage(args):
    status, out, err = run(args, ["-V"])
    check(status == 0 and out.decode().strip() == "zorcat " + args.version, "-V", err)
    status, out, err = run(args, ["--help"])
    check(status == 0 and b"Exit status:" in out, "--help", err)
    status, out, err = run(args, ["connect", "--no-such-option", "127.0.0.1"])
    check(status == 2, "a bad option exits 2, not %d" % status, err)


def echo(args, how):
    # Every byte value, CR LF, LF alone and Ctrl-Z among them: they must
    # pass as they are.
    data = (bytes(range(256)) + b"\r\n\n\x1a") * 1024
    peer = EchoPeer(len(data))
    command = ["connect", "--stats", "--idle", "20000", "127.0.0.1", peer.port]
    if how == "pipe":
        status, out, err = run(args, command, subprocess.PIPE, data)
    else:
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "input.bin")
            with open(path, "wb") as file:
                file.write(data)
            with open(path, "rb") as file:
                status, out, err = run(args, command, file)
    peer.join()
    check(status == 0, "exit status %d" % status, err)
    check(peer.arrived == data, "the peer got %d of %d bytes" % (len(peer.arrived), len(data)),
          err)
    check(out == data, "standard output got %d of %d bytes" % (len(out), len(data)), err)
    check("rxBytes %d, txBytes %d" % (len(data), len(data)) in err, "the statistics", err)


def test_echo_through_a_pipe(args):
    echo(args, "pipe")


def test_echo_from_a_file(args):
    echo(args, "file")


def unused_port():
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return str(probe.getsockname()[1])


def test_refused_connect_gives_up_with_status_4(args):
    status, _, err = run(args, ["connect", "--retry", "2", "127.0.0.1", unused_port()])
    check(status == 4, "exit status %d" % status, err)
    check("last failure: location 1002, error 10061: WSAECONNREFUSED" in err, "the reason", err)


def test_closed_standard_input_sends_nothing(args):
    peer = EchoPeer(1)
    status, _, err = run(args, ["connect", "--idle", "200", "127.0.0.1", peer.port],
                         preexec=lambda: os.close(0))
    peer.join()
    check(status == 0, "exit status %d" % status, err)
    check(peer.arrived == b"", "bytes arrived", err)
    check("closed: sent 0 bytes" in err, "the close line", err)


def windows_process(group):
    """The Wine process of zorcat.exe in the process group: Wine starts it
    from the launcher, which it leaves."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                # Wine shows the Windows command line as one string.
                first = cmdline.read().split(b"\0")[0].lower()
        except OSError:
            continue
        if int(fields[2]) == group and b"zorcat.exe" in first and b"start.exe" not in first:
            return int(entry)
    return None


def test_ctrl_c_closes_the_port_and_exits_130(args):
    process = subprocess.Popen([args.emulator, args.zorcat, "listen", "127.0.0.1", "0"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, start_new_session=True)
    try:
        # Wine delivers SIGINT to a console program as Ctrl-C; zorcat says
        # that it listens once its handler is in place.
        while True:
            line = process.stderr.readline().decode()
            check(line != "", "no listening line")
            if " listens on 127.0.0.1 port " in line:
                break
        deadline = time.monotonic() + PEER_WAIT
        target = windows_process(process.pid)
        while target is None and time.monotonic() < deadline:
            time.sleep(0.05)
            target = windows_process(process.pid)
        check(target is not None, "no zorcat.exe process under Wine")
        os.kill(target, signal.SIGINT)
        _, err = process.communicate(timeout=RUN_WAIT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    err = err.decode(errors="replace")
    check(process.returncode == 130, "exit status %d" % process.returncode, err)
    check("interrupted by SIGINT (Ctrl-C); port 0 closed" in err, "the closing line", err)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--zorcat", required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args()
    tests = [(name, test) for name, test in globals().items() if name.startswith("test_")]
    failed = 0
    for name, test in tests:
        started = time.monotonic()
        try:
            test(args)
            print("ok   %s (%.1f s)" % (name, time.monotonic() - started), flush=True)
        except (AssertionError, subprocess.TimeoutExpired) as failure:
            failed += 1
            print("FAIL %s: %s" % (name, failure), flush=True)
    print("%d passed, %d failed" % (len(tests) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
