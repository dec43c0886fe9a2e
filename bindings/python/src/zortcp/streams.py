# SPDX-License-Identifier: MIT
"""asyncio streams over ports, in the shape of asyncio.StreamReader and
asyncio.StreamWriter, woken by the port's events through the event loop."""

from __future__ import annotations

import asyncio
import inspect
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Optional, Tuple, Union

from .errors import LinkLostError, PortClosedError
from .port import (CALL_WRITE, READ_SIZE, WAKE_RX, WAKE_STATE, WAKE_TX, Port, WriteTimeout, _log,
                   _client_settings, connect, listen)
from .settings import Service, Settings

if TYPE_CHECKING:
    from typing_extensions import Unpack

DEFAULT_LIMIT = 2**16


class StreamReader:
    """Reads one connection of a port: read, readexactly, readline,
    readuntil, at_eof, async for over lines. The stream ends (b"", EOF)
    once the connection is lost (a client that reconnects makes a new one)
    or the port is closed and every byte received is taken."""

    def __init__(self, port: Port, limit: int = DEFAULT_LIMIT) -> None:
        self.port = port
        self._limit = limit
        self._buffer = bytearray()
        self._eof = False
        self._connection = port._connection_number()

    def _ended(self) -> bool:
        port = self.port
        return port._closing or (not port._on_connection(self._connection)
                                 and port.any_to_read() == 0)

    async def _fill(self) -> bool:
        """Adds received bytes to the buffer, waiting for them; False at EOF."""
        port = self.port
        while not self._eof:
            try:
                data = port._read_now(READ_SIZE)
                if data:
                    self._buffer += data
                    return True
                if self._ended():
                    self._eof = True
                    break
                await port._wait_wake_async(
                    WAKE_RX, lambda: port.any_to_read() > 0 or not port.connected)
            except PortClosedError:
                self._eof = True
        return False

    def at_eof(self) -> bool:
        return self._eof and not self._buffer

    def _take(self, size: int) -> bytes:
        data = bytes(self._buffer[:size])
        del self._buffer[:size]
        return data

    async def read(self, n: int = -1) -> bytes:
        """Up to n bytes (n < 0: everything until EOF); b"" at EOF."""
        if n == 0:
            return b""
        if n < 0:
            while await self._fill():
                pass
            return self._take(len(self._buffer))
        if not self._buffer:
            await self._fill()
        return self._take(n)

    async def readexactly(self, n: int) -> bytes:
        """Exactly n bytes; asyncio.IncompleteReadError when EOF comes first."""
        while len(self._buffer) < n:
            if not await self._fill():
                partial = self._take(len(self._buffer))
                raise asyncio.IncompleteReadError(partial, n)
        return self._take(n)

    async def readuntil(self, separator: bytes = b"\n") -> bytes:
        """The bytes up to and including separator. IncompleteReadError at
        EOF before it, LimitOverrunError when more than the limit comes
        without it (the bytes stay in the stream)."""
        if not separator:
            raise ValueError("separator must not be empty")
        start = 0
        while True:
            found = self._buffer.find(separator, start)
            if found >= 0:
                if found > self._limit:
                    raise asyncio.LimitOverrunError("separator found beyond the limit", found)
                return self._take(found + len(separator))
            if len(self._buffer) > self._limit:
                raise asyncio.LimitOverrunError("no separator within the limit",
                                                len(self._buffer))
            start = max(0, len(self._buffer) - len(separator) + 1)
            if not await self._fill():
                raise asyncio.IncompleteReadError(self._take(len(self._buffer)), None)

    async def readline(self) -> bytes:
        """A line with its b"\\n"; at EOF the rest without it, b"" when none."""
        try:
            return await self.readuntil(b"\n")
        except asyncio.IncompleteReadError as error:
            return error.partial
        except asyncio.LimitOverrunError as error:
            del self._buffer[:error.consumed]
            raise ValueError(error.args[0]) from error

    def __aiter__(self) -> "StreamReader":
        return self

    async def __anext__(self) -> bytes:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line


class StreamWriter:
    """Writes to one connection of a port: write and writelines queue
    without waiting, drain waits for room, close and wait_closed send what
    is queued and close the client port (a server's port goes on serving;
    its connection ends when the peer closes), async with closes."""

    def __init__(self, port: Port, reader: Optional[StreamReader], owns_port: bool) -> None:
        self.port = port
        self._reader = reader
        self._owns_port = owns_port
        self._pending = bytearray()
        self._closing: Optional["asyncio.Task[None]"] = None
        self._connection = port._connection_number()

    @property
    def transport(self) -> Port:
        return self.port

    def get_extra_info(self, name: str, default: Any = None) -> Any:
        if name == "peername":
            return self.port.peer or default
        if name == "port":
            return self.port
        return default

    def _push(self) -> None:
        """Queues what the transmit ring has room for, without waiting."""
        if not self._pending or self._lost():
            return
        try:
            written = self.port.write(memoryview(self._pending), timeout=0)
        except WriteTimeout as partial:
            written = partial.written
        except LinkLostError:  # kept for drain, which raises, as asyncio's write does
            return
        del self._pending[:written]

    def write(self, data: Union[bytes, bytearray, memoryview]) -> None:
        if self._closing is not None:
            raise RuntimeError("write after close")
        self._pending += data
        self._push()

    def writelines(self, lines: Any) -> None:
        for line in lines:
            self.write(line)

    def can_write_eof(self) -> bool:
        return False

    def is_closing(self) -> bool:
        return self._closing is not None

    def _lost(self) -> bool:
        """Whether the writer's connection is gone (bytes written now would
        go nowhere, or to a later connection of the port)."""
        port = self.port
        return port._closing or (self._reader is not None and self._reader._eof) \
            or not port._on_connection(self._connection) or port._no_link()

    async def drain(self) -> None:
        """Waits until everything written is in the port's transmit ring.
        ConnectionResetError (a ZorError, errno ECONNRESET) once the
        writer's connection is gone, whether or not bytes wait, as asyncio's
        own streams do: bytes still in the ring then will not be sent."""
        port = self.port
        while True:
            self._push()
            if self._lost():
                if port._closing:
                    raise PortClosedError("drain", CALL_WRITE)
                raise LinkLostError("drain", -1, 0, 10054, "WSAECONNRESET: the connection is lost")
            if not self._pending:
                return
            await port._wait_wake_async(WAKE_TX, lambda: port._tx_room() > 0 or self._lost())

    async def _sent(self) -> None:
        """Waits until the bytes in the ring have been sent, a chunk failed
        or the connection is lost."""
        port = self.port
        outstanding, errors = port._tx_state()
        while outstanding and errors == port._tx_errors_seen and port.connected:
            await port._wait_wake_async(
                WAKE_TX, lambda: port._tx_state() != (outstanding, errors) or not port.connected)
            outstanding, errors = port._tx_state()

    async def _finish(self) -> None:
        try:
            await self.drain()
            await self._sent()
        except (ConnectionResetError, PortClosedError):
            pass
        finally:
            if self._owns_port:
                await asyncio.get_running_loop().run_in_executor(None, self.port.close)

    def close(self) -> None:
        """Sends what is written, then closes (see the class); wait_closed()
        waits for it."""
        if self._closing is None:
            self._closing = asyncio.get_running_loop().create_task(self._finish())

    async def wait_closed(self) -> None:
        if self._closing is not None:
            await asyncio.shield(self._closing)

    async def __aenter__(self) -> "StreamWriter":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        self.close()
        await self.wait_closed()


async def _connected(port: Port, timeout: Optional[float]) -> None:
    try:
        await asyncio.wait_for(port.wait_connected_async(), timeout)
    except asyncio.TimeoutError:
        port.wait_connected(0)  # the failure recorded meanwhile, else TimeoutError


async def open_connection(host: str, service: Service, *, limit: int = DEFAULT_LIMIT,
                          timeout: Optional[float] = 10.0, paced: bool = False,
                          **settings: Unpack[Settings]) -> Tuple[StreamReader, StreamWriter]:
    """Opens a client port and waits in the event loop until it is
    connected, as connect() does; returns (reader, writer). Closing the
    writer closes the port."""
    chosen = _client_settings(timeout, dict(settings))
    port = connect(host, service, wait=False, paced=paced, **chosen)
    try:
        await _connected(port, timeout)
    except BaseException:
        port.close()
        raise
    reader = StreamReader(port, limit)
    return reader, StreamWriter(port, reader, owns_port=True)


ClientCallback = Callable[[StreamReader, StreamWriter], Union[None, Awaitable[None]]]


class Server:
    """A server port handing each connection, one at a time, to a callback
    as (reader, writer); like asyncio.Server: close, wait_closed,
    serve_forever, async with. ``port`` is the listening Port."""

    def __init__(self, port: Port, callback: ClientCallback, limit: int) -> None:
        self.port = port
        self._callback = callback
        self._limit = limit
        self._task = asyncio.get_running_loop().create_task(self._serve())

    async def _serve(self) -> None:
        port = self.port
        try:
            while True:
                while not port.connected:
                    await port._wait_wake_async(WAKE_STATE, lambda: port.connected)
                reader = StreamReader(port, self._limit)
                try:
                    result = self._callback(reader, StreamWriter(port, reader, owns_port=False))
                    if inspect.isawaitable(result):
                        await result
                except (PortClosedError, asyncio.CancelledError):
                    raise
                except Exception:  # as asyncio's servers do: logged, and serving goes on
                    _log.exception("zortcp server callback failed")
                number = reader._connection
                while port._on_connection(number):  # the peer has not yet gone
                    await port._wait_wake_async(WAKE_STATE,
                                                lambda: not port._on_connection(number))
                if not port.connected:
                    while port.any_to_read():  # what the peer sent after the callback
                        port._read_now(READ_SIZE)
        except PortClosedError:
            pass

    def close(self) -> None:
        self.port.close()

    async def wait_closed(self) -> None:
        await asyncio.gather(self._task, return_exceptions=True)

    async def serve_forever(self) -> None:
        await self._task

    def is_serving(self) -> bool:
        return not self.port.closed

    async def __aenter__(self) -> "Server":
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        self.close()
        await self.wait_closed()


async def start_server(client_connected_cb: ClientCallback, address: Optional[str],
                       service: Service, *, limit: int = DEFAULT_LIMIT, paced: bool = False,
                       **settings: Unpack[Settings]) -> Server:
    """Opens a server port (as listen()) whose connections go to
    client_connected_cb(reader, writer), a function or a coroutine function."""
    return Server(listen(address, service, paced=paced, **settings), client_connected_cb, limit)

