# SPDX-License-Identifier: MIT
"""asyncio readers, and a process that exits with its ports open."""

from __future__ import annotations

import asyncio
import errno
import subprocess
import sys
import textwrap

import pytest

import zortcp
from conftest import WAIT, connected_pair
from zortcp import EventKind


def test_asyncio_reader_and_event_stream(peer):
    port, connection = connected_pair(peer, events=True)

    async def exchange() -> "tuple[bytes, list]":
        reader = asyncio.ensure_future(port.read_async(100))
        await asyncio.sleep(0)  # the reader has found the ring empty and waits
        assert not reader.done()
        connection.sendall(b"measured 21.5")
        data = await asyncio.wait_for(reader, WAIT)
        connection.close()
        kinds = []
        async for event in port.events_async():
            kinds.append(event.kind)
            if event.kind == EventKind.DISCONNECTED:
                await asyncio.get_running_loop().run_in_executor(None, port.close)
        return data, kinds

    data, kinds = asyncio.run(asyncio.wait_for(exchange(), WAIT))
    assert data == b"measured 21.5"
    assert kinds[0] == EventKind.CONNECTED and EventKind.DISCONNECTED in kinds
    assert EventKind.RECEIVED in kinds


@pytest.mark.parametrize("server", ["plain socket", "zortcp.start_server"])
def test_asyncio_streams_echo_a_thousand_lines(echo_peer, server):
    lines = [b"line %d %s\n" % (number, b"x" * (number % 50)) for number in range(1000)]

    async def echo(reader: zortcp.StreamReader, writer: zortcp.StreamWriter) -> None:
        async for line in reader:
            writer.write(line)
            await writer.drain()

    async def main() -> "list[bytes]":
        service = echo_peer
        if server != "plain socket":
            listening = await zortcp.start_server(echo, "127.0.0.1", 0)
            service = listening.port.local_port
        reader, writer = await zortcp.open_connection("127.0.0.1", service, timeout=WAIT)
        async with writer:
            echoed = []
            for line in lines:  # one at a time, and then in a burst
                writer.write(line)
                await writer.drain()
                echoed.append(await reader.readuntil(b"\n"))
            writer.writelines(lines)
            await writer.drain()
            echoed += [await reader.readuntil(b"\n") for _ in lines]
        if server != "plain socket":
            async with listening:
                pass
        return echoed

    assert asyncio.run(asyncio.wait_for(main(), 60)) == lines * 2


def test_asyncio_streams_end_with_the_connection_and_drain_raises(peer):
    async def main() -> None:
        reader, writer = await zortcp.open_connection("127.0.0.1", peer.port, timeout=WAIT)
        connection = peer.accept()
        connection.sendall(b"bye")
        connection.close()
        peer.close()  # the reconnect is refused: the port gives up
        with pytest.raises(asyncio.IncompleteReadError) as ended:
            await reader.readexactly(10)
        assert ended.value.partial == b"bye"
        writer.write(bytes(100_000))
        with pytest.raises(ConnectionResetError) as caught:
            await writer.drain()
        assert caught.value.errno == errno.ECONNRESET
        writer.close()
        await writer.wait_closed()

    asyncio.run(asyncio.wait_for(main(), WAIT))


EXIT_SCRIPT = """
    import threading, zortcp
    server = zortcp.listen("127.0.0.1", 0)
    events = []
    client = zortcp.connect("127.0.0.1", server.local_port, on_event=events.append)
    def forever(call):
        try:
            while True:
                call()
        except zortcp.PortClosedError:  # closed at exit
            pass
    # A reader that gets nothing, and a writer whose peer stops reading.
    threading.Thread(target=forever, args=(client.read,), daemon=True).start()
    threading.Thread(target=forever, args=(lambda: client.write(bytes(4096)),),
                     daemon=True).start()
    server.read(1, timeout=10)
    print("exiting with", len(zortcp.open_ports()), "ports open", flush=True)
"""


def test_process_exits_cleanly_with_ports_open():
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(EXIT_SCRIPT)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "exiting with 2 ports open\n"
    assert done.stderr == ""


FORK_SCRIPT = """
    import os, socket, sys, threading, zortcp
    listener = socket.create_server(("127.0.0.1", 0))
    server = zortcp.listen("127.0.0.1", 0)
    client = zortcp.connect("127.0.0.1", server.local_port)
    def until_closed(call):
        try:
            call()
        except zortcp.PortClosedError:  # closed at exit
            pass
    # Threads in the library and in the package's waits at every fork.
    threading.Thread(target=until_closed, args=(client.read,), daemon=True).start()
    threading.Thread(target=until_closed, args=(lambda: client.write(bytes(1 << 30)),),
                     daemon=True).start()
    children = []
    for _ in range(20):
        child = os.fork()
        if child == 0:  # owns none of the parent's ports, has its own
            with zortcp.connect("127.0.0.1", listener.getsockname()[1], timeout=10) as own:
                own.write(b"c")
                own.flush(10)
            sys.exit(0)
        children.append(child)
    for _ in children:
        connection, _ = listener.accept()
        assert connection.recv(1) == b"c"
    for child in children:
        assert os.waitpid(child, 0)[1] == 0
    print("children", len(children), "parent ports", len(zortcp.open_ports()), flush=True)
"""


def test_forked_children_exit_quietly_and_open_their_own_ports():
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(FORK_SCRIPT)],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "children 20 parent ports 2\n"
