# SPDX-License-Identifier: MIT
"""The binding against real peers: data, events, failures, hold, misuse."""

from __future__ import annotations

import asyncio
import errno
import os
import re
import socket
import struct
import threading
import time
from pathlib import Path

import pytest

import zortcp
from conftest import WAIT, connected_pair, next_event
from zortcp import DisconnectReason, ErrorDetail, EventKind

MIB = 1 << 20


def test_one_mebibyte_each_way_arrives_intact(peer):
    outgoing = os.urandom(MIB)
    incoming = os.urandom(MIB)
    port, connection = connected_pair(peer, fast_transfer=True, rx_ring_size=MIB)
    with port:
        before = port.statistics()
        received = bytearray()

        def drain() -> None:
            while len(received) < MIB:
                received.extend(connection.recv(65536))

        drainer = threading.Thread(target=drain)
        drainer.start()
        connection.sendall(incoming)
        assert port.write(memoryview(outgoing)) == MIB
        assert port.read_exactly(MIB, timeout=60) == incoming
        drainer.join(60)
        assert bytes(received) == outgoing
        # The peer may hold the last chunk before the monitor has counted it.
        assert port.flush(timeout=WAIT)
        after = port.statistics()
        assert (after.rx_bytes - before.rx_bytes, after.tx_bytes - before.tx_bytes) == (MIB, MIB)


def test_a_fast_port_holds_a_mebibyte_unread_and_reads_into_a_slice(peer):
    # connect() is in the fast mode, whose receive ring holds 1 MiB: a
    # 64 KiB ring would fill whenever the reader is a little late.
    incoming = os.urandom(MIB)
    port, connection = connected_pair(peer)
    with port, connection:
        connection.sendall(incoming)
        deadline = time.monotonic() + WAIT
        while port.any_to_read() < MIB and time.monotonic() < deadline:
            time.sleep(0.01)
        assert port.any_to_read() == MIB
        block = bytearray(MIB + 3)
        view = memoryview(block)
        got = 3
        while got < len(block):
            got += port.read_into(view[got:], timeout=WAIT)
        assert block[:3] == bytes(3) and block[3:] == incoming


def test_a_waiting_read_writes_a_few_lines_to_the_debug_log(peer, tmp_path):
    # A read of a fast-mode port looks for bytes before it blocks. Each
    # library call is a line at level 2: the look must not be made of them.
    log = tmp_path / "port.log"
    port, connection = connected_pair(peer, debug_file=str(log), debug_level=2)
    with port, connection:
        assert port.read(16, timeout=0.2) == b""
    calls = [line for line in log.read_text().splitlines()
             if "ZorReadPort()" in line or "ZorAnyToRead()" in line]
    assert 1 <= len(calls) <= 6, calls


def test_listen_returns_a_port_that_already_listens():
    # The library's monitor starts listening only after the open returned.
    for _ in range(10):
        with zortcp.listen("127.0.0.1", 0) as port:
            socket.create_connection(("127.0.0.1", port.local_port), timeout=WAIT).close()


def test_events_come_in_order_to_queue_and_callback(peer):
    seen = []
    port = zortcp.connect("127.0.0.1", peer.port, on_event=seen.append)
    taken = []
    with port:
        connection = peer.accept()
        port.write(b"ping")
        assert connection.recv(4) == b"ping"
        connection.sendall(b"pong")
        assert port.read_exactly(4, timeout=WAIT) == b"pong"
        connection.close()
        while not taken or taken[-1].kind != EventKind.DISCONNECTED:
            taken.append(port.events.get(timeout=WAIT))
    while not port.events.empty():
        taken.append(port.events.get_nowait())
    # The same events; the receive and transmit threads may interleave the two.
    assert sorted(taken, key=repr) == sorted(seen, key=repr)
    kinds = [event.kind for event in seen]
    assert kinds[0] == EventKind.CONNECTED and seen[0].data == f"localhost, Port: {peer.port}"
    assert EventKind.TRANSMITTED in kinds
    assert seen[kinds.index(EventKind.DISCONNECTED)].data == DisconnectReason.PEER_CLOSED
    assert sum(e.data for e in seen if e.kind == EventKind.RECEIVED) == 4
    assert kinds.index(EventKind.RECEIVED) < kinds.index(EventKind.DISCONNECTED)


def test_a_users_script_connect_refused_then_echo(echo_peer):
    with socket.socket() as unused:  # bound, never listening: connects are refused
        unused.bind(("127.0.0.1", 0))
        refused = unused.getsockname()[1]
        started = time.monotonic()
        with pytest.raises(ConnectionRefusedError) as caught:
            with zortcp.connect("127.0.0.1", refused, timeout=2):
                pass
        assert time.monotonic() - started < 3.0  # the time-out, and a busy machine's slack
        error = caught.value
        assert isinstance(error, zortcp.ZorError) and error.errno == errno.ECONNREFUSED
        assert (error.location, error.code) == (1002, 10061)
        assert error.text.startswith("WSAECONNREFUSED")
        # A failed open: the port number is taken.
        unused.listen()
        with pytest.raises(OSError) as caught:
            zortcp.listen("127.0.0.1", refused)
        assert caught.value.errno == errno.EADDRINUSE
        assert (caught.value.result, caught.value.location, caught.value.code) == (-2, 10, 10048)
    # An unknown host, as the library records it.
    unknown = zortcp.ZorError("ZorOpenPort", -2, 12, 11001, "WSAHOST_NOT_FOUND")
    assert isinstance(unknown, socket.gaierror) and unknown.errno == socket.EAI_NONAME
    data = os.urandom(MIB)
    with zortcp.connect("127.0.0.1", echo_peer, timeout=2) as port:
        assert port.connected and "connected" in repr(port)
        assert port.write(data) == MIB
        assert port.read_exactly(MIB, timeout=WAIT) == data
    assert repr(port) == f"<zortcp.Port client 127.0.0.1:{echo_peer} closed>"


def test_socket_errors_map_as_the_librarys_table():
    header = Path(__file__).resolve().parents[3] / "src" / "platform" / "socket_errors.h"
    if not header.exists():
        pytest.skip("no source tree")
    rows = re.findall(r"X\(\w+, (\d+), \(([A-Z]*)", header.read_text())
    assert rows and {int(code): name for code, name in rows if name} == \
        zortcp.errors.SOCKET_ERRNO_NAMES
    assert isinstance(zortcp.ZorError("c", -1, 1, 10060, "t"), TimeoutError)


def test_hold_stops_reconnecting_until_release(peer):
    port, connection = connected_pair(peer)
    with port:
        port.hold()
        assert port.held
        connection.close()
        next_event(port, EventKind.DISCONNECTED)
        peer.listener.settimeout(1.0)
        with pytest.raises(socket.timeout):
            peer.accept()  # held: no attempt
        port.release()
        assert not port.held
        peer.listener.settimeout(WAIT)
        peer.accept()
        next_event(port, EventKind.CONNECTED)


def test_a_peer_that_stops_reading_and_goes_holds_up_writes_but_not_a_close(peer):
    port, connection = connected_pair(peer, retry_count=0, tx_ring_size=8192)
    with pytest.raises(zortcp.WriteTimeout) as caught:  # the peer never reads
        port.write(bytes(16 * MIB), timeout=0.5)
    assert 0 < caught.value.written < 16 * MIB
    ended = []

    def write_for_ever() -> None:
        try:
            port.write(bytes(16 * MIB))
        except zortcp.PortClosedError as error:
            ended.append(error)

    writer = threading.Thread(target=write_for_ever)
    writer.start()
    # The peer goes: the chunks the port still has fail, then it reconnects
    # for ever to nobody, and the ring stays full.
    connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    peer.close()
    next_event(port, EventKind.DISCONNECTED)
    closer = threading.Thread(target=port.close)
    closer.start()
    closer.join(WAIT)
    writer.join(WAIT)
    assert not closer.is_alive() and not writer.is_alive()
    assert ended and port.closed


def test_misuse_is_refused_before_the_library(peer, tmp_path):
    log = tmp_path / "port.log"
    port, _ = connected_pair(peer, debug_file=str(log), keep_alive=5, connect_timeout=300)
    with port:
        assert log.exists()  # the settings reached the library: it made the log
        refused = []

        def close_from_handler(event: zortcp.Event) -> None:
            try:
                port.close()
            except zortcp.ZorUsageError as error:
                refused.append(error)

        port.on_event = close_from_handler
        port.write(b"x")
        next_event(port, EventKind.TRANSMITTED)
        assert refused and not port.closed
    for call, location in ((lambda: port.write(b"x"), 302), (lambda: port.read(1, 0), 502)):
        with pytest.raises(zortcp.PortClosedError) as caught:
            call()
        assert (caught.value.location, caught.value.code) == (location, location + 900)
    for bad in ({"debug_file": "a\nService Name=1"}, {"keep_alive": 7201}, {"retries": 1},
                {"debug_level": 2}, {"fast_transfer": 1}):
        with pytest.raises((TypeError, ValueError)):
            zortcp.connect("127.0.0.1", peer.port, **bad)
    for address in ("localhost", "1.2.3"):
        with pytest.raises(ValueError):
            zortcp.listen(address, 0)


def test_allowed_peers_close_any_other_peer_unseen(tmp_path):
    log = tmp_path / "server.log"
    with zortcp.listen("127.0.0.1", 0, allowed_peers=["10.0.0.0/8", "::1"],
                       debug_file=str(log)) as server:
        with socket.create_connection(("127.0.0.1", server.local_port), timeout=WAIT) as peer:
            peer.sendall(b"let me in")
            try:
                assert peer.recv(16) == b""
            except ConnectionResetError:
                pass
        assert not server.connected and server.events.empty() and server.read(timeout=0) == b""
    assert "Peer not allowed [127.0.0.1]" in log.read_text()
    with pytest.raises(zortcp.ZorError) as caught:
        zortcp.listen("127.0.0.1", 0, allowed_peers="127.0.0.1, 10.0.0.0/33")
    assert (caught.value.location, caught.value.code) == (8, 10022)
    with pytest.raises(ValueError):
        zortcp.listen("127.0.0.1", 0, allowed_peers=["127.0.0.1", ""])


def _gone(port: zortcp.Port) -> None:
    """Waits for the event that ends a client port's link for good."""
    while next_event(port, EventKind.ERROR).data != ErrorDetail.RETRY_LIMIT:
        pass


def test_a_client_that_gave_up_ends_reads_and_fails_writes_as_a_socket_does(peer):
    # One attempt after a loss (connect's default), refused: the port gives up.
    port, connection = connected_pair(peer, tx_ring_size=8192)
    with port:
        with pytest.raises(zortcp.WriteTimeout):  # the peer does not read: the ring stays full
            port.write(bytes(16 * MIB), timeout=0.5)
        connection.sendall(b"last words")
        deadline = time.monotonic() + WAIT
        while port.any_to_read() < 10 and time.monotonic() < deadline:
            time.sleep(0.01)
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        peer.close()
        # The bytes from before the loss first, then the end of the stream.
        with pytest.raises(EOFError) as ended:
            port.read_exactly(20, timeout=WAIT)
        assert ended.value.partial == b"last words"
        _gone(port)
        started = time.monotonic()
        assert port.read() == b"" and port.read(timeout=WAIT) == b""
        assert port.read_into(bytearray(4)) == 0
        assert asyncio.run(asyncio.wait_for(port.read_async(), WAIT)) == b""
        assert time.monotonic() - started < WAIT / 2
        for call in (lambda: port.write(b"x" * 10000), lambda: port.write(b"x", timeout=1),
                     lambda: port.flush(WAIT)):
            with pytest.raises(ConnectionResetError) as caught:
                call()
            assert caught.value.errno == errno.ECONNRESET
            assert isinstance(caught.value, zortcp.ZorError)


def test_a_server_ends_each_peers_stream_and_serves_the_next():
    with zortcp.listen("127.0.0.1", 0) as server:
        assert repr(server) == f"<zortcp.Port server 127.0.0.1:{server.local_port} not connected>"
        with pytest.raises(OSError) as caught:  # nobody to send to
            server.write(b"x")
        assert caught.value.errno == errno.ENOTCONN
        with socket.create_connection(("127.0.0.1", server.local_port), timeout=WAIT) as first:
            assert server.wait_connected(WAIT) is True
            first.sendall(b"bye")
        with pytest.raises(EOFError) as ended:
            server.read_exactly(10, timeout=WAIT)
        assert ended.value.partial == b"bye"
        assert server.read(timeout=WAIT) == b""
        with pytest.raises(ConnectionResetError):
            server.write(b"x")
        with socket.create_connection(("127.0.0.1", server.local_port), timeout=WAIT) as second:
            assert server.wait_connected(WAIT)
            second.sendall(b"next")
            assert server.read_exactly(4, timeout=WAIT) == b"next"
            assert server.write(b"ok") == 2 and server.flush(WAIT)
            assert second.recv(2) == b"ok"


def test_closed_ports_give_their_descriptors_back(peer):
    def descriptors() -> int:
        return len(os.listdir("/proc/self/fd"))

    def cycle() -> None:
        port, connection = connected_pair(peer)
        port.close()
        connection.close()
        peer.connections.clear()

    cycle()
    before = descriptors()
    for _ in range(70):  # more than the package's 64 slots
        cycle()
    assert descriptors() == before
