# SPDX-License-Identifier: MIT
"""Peers on 127.0.0.1 for the binding's tests."""

from __future__ import annotations

import queue
import select
import socket
import threading
from typing import Any, Iterator, List

import pytest

import zortcp

WAIT = 10.0  # generous bound for anything that should happen at once


class Peer:
    """A plain-socket listener on a port the system chose."""

    def __init__(self) -> None:
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(WAIT)
        self.port: int = self.listener.getsockname()[1]
        self.connections: List[socket.socket] = []

    def accept(self) -> socket.socket:
        connection, _ = self.listener.accept()
        connection.settimeout(WAIT)
        self.connections.append(connection)
        return connection

    def close(self) -> None:
        for connection in self.connections:
            connection.close()
        self.listener.close()


@pytest.fixture
def peer() -> Iterator[Peer]:
    listener = Peer()
    yield listener
    listener.close()


@pytest.fixture(autouse=True)
def no_port_left_open() -> Iterator[None]:
    yield
    left = zortcp.open_ports()
    for port in left:
        port.close()
    assert not left, f"ports left open: {left}"


def next_event(port: zortcp.Port, kind: zortcp.EventKind) -> zortcp.Event:
    """The next event of this kind, skipping others; fails after WAIT."""
    while True:
        try:
            event = port.events.get(timeout=WAIT)
        except queue.Empty:
            pytest.fail(f"no {kind.name} event within {WAIT} s")
        if event.kind == kind:
            return event


def connected_pair(peer: Peer, **settings: Any) -> "tuple[zortcp.Port, socket.socket]":
    port = zortcp.connect("127.0.0.1", peer.port, timeout=WAIT, **settings)
    return port, peer.accept()


@pytest.fixture
def echo_peer() -> Iterator[int]:
    """A plain-socket echo server in a thread, one connection at a time; its port."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(0.05)
    stop = threading.Event()

    def serve() -> None:
        while not stop.is_set():
            try:
                connection, _ = listener.accept()
            except socket.timeout:
                continue
            with connection:
                connection.settimeout(None)
                while not stop.is_set():
                    if not select.select([connection], [], [], 0.05)[0]:
                        continue
                    try:
                        data = connection.recv(65536)
                        if not data:
                            break
                        connection.sendall(data)
                    except OSError:
                        break

    server = threading.Thread(target=serve)
    server.start()
    yield listener.getsockname()[1]
    stop.set()
    server.join(WAIT)
    listener.close()
