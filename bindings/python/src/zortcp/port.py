# SPDX-License-Identifier: MIT
"""Ports: opening, the event crossing, data and control calls, closing."""

from __future__ import annotations

import asyncio
import atexit
import ctypes
import ipaddress
import itertools
import logging
import os
import queue
import socket
import threading
import time
from typing import Any, AsyncIterator, Callable, Dict, List, NamedTuple, Optional, Set, Tuple, Union

from . import _native
from .errors import PortClosedError, ZorError, ZorUsageError, last_error
from .events import ErrorDetail, Event, EventKind, event_data
from .settings import PortSettings, Service

_log = logging.getLogger("zortcp")

OPEN_SERVER = 0x1
SIGNAL_HOLD = 1
MAX_HOST_CHARS = 129
TX_CHUNK = 4096
DEFAULT_MAX_EVENTS = 65536
READ_SIZE = 65536

# Call numbers, which give a handle failure its location and error number.
CALL_CLOSE, CALL_WRITE, CALL_ANY, CALL_READ = 2, 3, 4, 5
CALL_CHANGE_SIGNAL, CALL_GET_SIGNAL, CALL_CONFIG, CALL_STATISTICS = 6, 7, 8, 9

CONFIG_LOCAL_ADDRESS, CONFIG_PEER_ADDRESS, CONFIG_PEER_NAME = 1, 2, 4
CONFIG_SERVICE_PORT, CONFIG_PEER_PORT = 5, 6
CONFIG_SIZE = 132

EventCallback = Callable[[Event], Any]


class Statistics(NamedTuple):
    """A port's counters (per handle, kept over closes, wrapping at 2**32)."""

    rx_bytes: int
    tx_bytes: int
    rx_errors: int
    tx_errors: int
    connect_errors: int


class WriteTimeout(TimeoutError):
    """write timed out; ``written`` bytes were queued, the rest were not."""

    def __init__(self, size: int, written: int) -> None:
        super().__init__(f"queued {written} of {size} bytes before the time-out")
        self.written = written


class ReadTimeout(TimeoutError):
    """read_exactly timed out; ``partial`` holds the bytes it had taken."""

    def __init__(self, wanted: int, partial: bytes) -> None:
        super().__init__(f"got {len(partial)} of {wanted} bytes before the time-out")
        self.partial = partial


# The library binds the pending handler to the NEXT open, so registering and
# opening are one step under this lock; closes and the ring-size defaults
# take it too, since the library wants those from one thread at a time.
_open_lock = threading.Lock()
# Ports by the userData their events carry. Ids are never reused, so an
# event of a closed port finds nothing.
_ports: Dict[int, "Port"] = {}
_port_ids = itertools.count(1)
_exiting = False
# Set while this thread runs a port's event handler.
_in_handler = threading.local()


def _dispatch(source: int, kind: int, data: Optional[int], user_data: int) -> int:
    port = _ports.get(user_data)
    if port is not None:
        _in_handler.active = True
        try:
            port._on_event(kind, data)
        except BaseException:  # nothing may cross back into the library
            _log.exception("zortcp event handler of port %d failed", user_data)
        finally:
            _in_handler.active = False
    return 0


# One handler for every port, alive as long as the module: the library may
# call it until the close of the last port bound to it has returned.
_HANDLER = _native.EventHandler(_dispatch)


def _refuse_in_handler(what: str) -> None:
    if getattr(_in_handler, "active", False):
        raise ZorUsageError(f"{what} from an event handler: the library waits for that very thread")


def _set_done(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


class Port:
    """An open zortcp port. Use connect() or listen() to make one."""

    def __init__(self, server: bool, host: str, settings: PortSettings,
                 on_event: Optional[EventCallback], max_events: int) -> None:
        self.server = server
        self.host = host
        self.settings = settings
        self.on_event = on_event
        self.events: "queue.Queue[Event]" = queue.Queue(max_events)
        self.events_dropped = 0
        self._id = next(_port_ids)
        self._handler = _HANDLER
        self._handle = -1
        # One library call at a time per direction; the close waits on both
        # so that no call is in the library when the handle goes.
        self._read_lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._close_lock = threading.Lock()
        # Closing until the open has set the handle.
        self._closing = True
        self._closed = False
        self._received = threading.Condition()
        self._rx_seq = 0
        # Connection state for wait_connected, under _received.
        self._connected = False
        self._gave_up = False
        # Bytes written and bytes known to have left the transmit ring (sent,
        # or dropped with a failed chunk): a write never gives the library
        # more than the ring has room for, so no ZorWritePort waits in the
        # library, where neither a time-out nor a close could end the wait.
        self._tx_size = settings.rings[1]
        self._tx_queued = 0
        self._tx_settled = 0
        self._last_failure: Optional[ZorError] = None
        self._waiters: Set[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = set()
        self._waiters_lock = threading.Lock()

    # Opening and closing -------------------------------------------------

    def _open(self) -> None:
        _refuse_in_handler("opening a port")
        library = _native.library()
        path = self.settings.write_file()
        try:
            # The port's own locks keep a handler that reads or writes at once
            # (on CONNECTED, say) waiting until the handle is known.
            with _open_lock, self._read_lock, self._write_lock:
                if _exiting:
                    raise ZorUsageError("the interpreter is exiting: no more ports")
                handle = ctypes.c_int32(0)
                _ports[self._id] = self
                library.ZorChangeBufferSizes(*self.settings.rings)
                library.ZorSetEventHandler(self._handler, self._id)
                result = library.ZorOpenPort(
                    self.host.encode(), 0, OPEN_SERVER if self.server else 0,
                    os.fsencode(path), ctypes.byref(handle))
                if result != 0:
                    error = ZorError.from_record("ZorOpenPort", result)
                    # A failed open leaves the registration pending; it is
                    # cleared so that no later open of anyone takes it.
                    library.ZorSetEventHandler(_native.EventHandler(0), 0)  # null: none
                    del _ports[self._id]
                    self._closed = True
                    raise error
                self._handle = handle.value
                self._closing = False
        finally:
            os.unlink(path)

    def close(self) -> None:
        """Closes the port. Reads and writes waiting in other threads end with
        PortClosedError; events of the lost connection may still come during
        the close, none after. Closing a closed port does nothing. Bytes
        still in the port's rings are dropped: flush() first to send them."""
        _refuse_in_handler("closing a port")
        with self._close_lock:
            if self._closed:
                return
            with self._received:
                self._closing = True
                self._received.notify_all()
            self._wake_async()
            with self._read_lock, self._write_lock:
                pass  # no call of ours is in the library from here on
            with _open_lock:
                result = _native.library().ZorClosePort(self._handle)
                error = ZorError.from_record("ZorClosePort", result) if result else None
            _ports.pop(self._id, None)
            self._closed = True
            self._wake_async()
        if error is not None:
            raise error

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Port":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        kind = "server" if self.server else "client"
        state = "closed" if self._closed else f"handle {self._handle}"
        return f"<zortcp.Port {kind} {self.host!r} {state}>"

    # Calls on the handle ---------------------------------------------------

    def _call(self, lock: threading.Lock, call: str, number: int,
              function: Callable[[int], Any]) -> int:
        """Runs one library call on the handle unless the port is closing."""
        with lock:
            if self._closing:
                raise PortClosedError(call, number)
            result = int(function(self._handle))
        if result < 0:
            raise ZorError.from_record(call, result)
        return result

    def write(self, data: Union[bytes, bytearray, memoryview],
              timeout: Optional[float] = None) -> int:
        """Queues every byte for sending and returns the count, waiting up to
        timeout seconds (None: for ever) while the transmit ring is full.
        Raises WriteTimeout (with the count queued) when the ring did not
        take everything in time. Queued is not sent: events TRANSMITTED tell.
        In an event handler a write never waits (the handler may run on the
        very thread that empties the ring): what does not fit raises
        WriteTimeout at once."""
        view = memoryview(data).cast("B")
        library = _native.library()
        if getattr(_in_handler, "active", False):
            timeout = 0.0
        deadline = None if timeout is None else time.monotonic() + timeout
        done = 0
        while done < len(view):
            with self._received:
                remaining = None if deadline is None else deadline - time.monotonic()
                self._received.wait_for(lambda: self._closing or self._tx_room() > 0,
                                        remaining)
                if self._closing:
                    raise PortClosedError("ZorWritePort", CALL_WRITE)
                size = min(self._tx_room(), len(view) - done)
                if size == 0:
                    raise WriteTimeout(len(view), done)
                self._tx_queued += size
            piece = bytes(view[done:done + size])
            self._call(self._write_lock, "ZorWritePort", CALL_WRITE,
                       lambda h: library.ZorWritePort(h, piece, size))
            done += size
        return done

    def flush(self, timeout: Optional[float] = None) -> bool:
        """Waits up to timeout seconds (None: for ever) until every byte
        written has left the transmit ring: sent (events TRANSMITTED) or
        dropped with a failed chunk (ERROR SEND_FAILED). True when it has,
        False on a time-out. A close drops what is still in the ring, so a
        host that writes and then closes flushes first."""
        with self._received:
            self._received.wait_for(
                lambda: self._closing or self._tx_settled == self._tx_queued, timeout)
            if self._closing:
                raise PortClosedError("ZorWritePort", CALL_WRITE)
            return self._tx_settled == self._tx_queued

    def _settle(self, size: int) -> None:
        # Never beyond what was written: a failed chunk taken for larger than
        # it was is forgotten once the ring has drained.
        self._tx_settled = min(self._tx_queued, self._tx_settled + size)

    def _tx_room(self) -> int:
        return self._tx_size - (self._tx_queued - self._tx_settled)

    def any_to_read(self) -> int:
        """The number of received bytes waiting; never waits."""
        library = _native.library()
        return self._call(self._read_lock, "ZorAnyToRead", CALL_ANY, library.ZorAnyToRead)

    def _read_now(self, max_bytes: int) -> bytes:
        library = _native.library()
        buffer = ctypes.create_string_buffer(min(max_bytes, max(self.any_to_read(), 1)))
        count = ctypes.c_int32(0)
        self._call(self._read_lock, "ZorReadPort", CALL_READ,
                   lambda h: library.ZorReadPort(h, buffer, len(buffer), ctypes.byref(count)))
        return buffer.raw[:count.value]

    def read(self, max_bytes: int = READ_SIZE, timeout: Optional[float] = None) -> bytes:
        """Waits up to timeout seconds (None: for ever) for at least one byte
        and returns up to max_bytes of what is there; b"" on a time-out.
        A close from another thread ends the wait with PortClosedError."""
        _check_size(max_bytes)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            with self._received:
                if self._closing:
                    raise PortClosedError("ZorReadPort", CALL_READ)
                seen = self._rx_seq
            data = self._read_now(max_bytes)
            if data:
                return data
            remaining = None if deadline is None else deadline - time.monotonic()
            if remaining is not None and remaining <= 0:
                return b""
            with self._received:
                self._received.wait_for(lambda: self._rx_seq != seen or self._closing, remaining)

    def read_exactly(self, size: int, timeout: Optional[float] = None) -> bytes:
        """Exactly size bytes, waiting up to timeout seconds in all; raises
        ReadTimeout (with the bytes taken so far) when they do not come."""
        _check_size(size)
        deadline = None if timeout is None else time.monotonic() + timeout
        parts = bytearray()
        while len(parts) < size:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            data = self.read(size - len(parts), remaining)
            if not data and remaining == 0.0:
                raise ReadTimeout(size, bytes(parts))
            parts += data
        return bytes(parts)

    @property
    def connected(self) -> bool:
        """Whether the port has a connection, as its events tell."""
        return self._connected

    def wait_connected(self, timeout: Optional[float] = None) -> None:
        """Waits up to timeout seconds for a connection. Raises the port's last
        recorded failure as ZorError once a client reached its retry limit,
        TimeoutError when the time is up, PortClosedError on a close."""
        with self._received:
            self._received.wait_for(
                lambda: self._connected or self._gave_up or self._closing, timeout)
            if self._connected:
                return
            if self._closing:
                raise PortClosedError("wait_connected", CALL_READ)
            if self._gave_up:
                failure = self._last_failure or ZorError("connect", -1, 0, 0, "")
                raise ZorError("connect", -1, failure.location, failure.code, failure.text)
            raise TimeoutError(f"no connection within {timeout} s")

    def statistics(self) -> Statistics:
        library = _native.library()
        output = _native.PortStatistics()
        self._call(self._read_lock, "ZorGetStatistics", CALL_STATISTICS,
                   lambda h: library.ZorGetStatistics(h, ctypes.byref(output)))
        return Statistics(output.rxBytes, output.txBytes, output.rxErrors,
                          output.txErrors, output.connectErrors)

    def _config(self, item: int) -> bytes:
        library = _native.library()
        output = ctypes.create_string_buffer(CONFIG_SIZE)
        length = ctypes.c_int32(0)
        self._call(self._read_lock, "ZorGetConfig", CALL_CONFIG,
                   lambda h: library.ZorGetConfig(h, item, output, ctypes.byref(length)))
        return output.raw[:max(0, min(length.value, CONFIG_SIZE))]

    def _config_number(self, item: int) -> int:
        return int.from_bytes(self._config(item)[:4].ljust(4, b"\0"), "little")

    @property
    def peer(self) -> Optional[Tuple[str, int]]:
        """(dotted address, port) of the peer: a client's resolved remote
        host and service, a server's served (or last served) peer; None
        while a server has served nobody."""
        address = self._config(CONFIG_PEER_ADDRESS)[:4].ljust(4, b"\0")
        if address == b"\0\0\0\0":
            return None
        return socket.inet_ntoa(address), self._config_number(CONFIG_PEER_PORT)

    @property
    def peer_name(self) -> str:
        """The peer's name as event CONNECTED gives it."""
        return self._config(CONFIG_PEER_NAME).decode("utf-8", "replace")

    @property
    def local_port(self) -> Optional[int]:
        """A server's listening port (the one the system chose for service 0);
        None for a client, whose local port the library does not report."""
        return self._config_number(CONFIG_SERVICE_PORT) if self.server else None

    @property
    def local_address(self) -> Optional[str]:
        """The local IPv4 address of the port's socket; None when there is none."""
        address = self._config(CONFIG_LOCAL_ADDRESS)
        return socket.inet_ntoa(address) if len(address) == 4 else None

    def _signal(self, value: int) -> None:
        if self.server:
            raise ZorUsageError("server ports cannot be held")
        library = _native.library()
        self._call(self._read_lock, "ZorChangeSignal", CALL_CHANGE_SIGNAL,
                   lambda h: library.ZorChangeSignal(h, SIGNAL_HOLD, value))

    def hold(self) -> None:
        """Holds a client port: no connect attempts until release(); a
        standing connection goes on but is not made again after a loss."""
        self._signal(1)

    def release(self) -> None:
        self._signal(0)

    @property
    def held(self) -> bool:
        library = _native.library()
        value = ctypes.c_int32(0)
        self._call(self._read_lock, "ZorGetSignal", CALL_GET_SIGNAL,
                   lambda h: library.ZorGetSignal(h, SIGNAL_HOLD, ctypes.byref(value)))
        return value.value == 1

    # Events ------------------------------------------------------------------

    def _on_event(self, kind_number: int, data: Optional[int]) -> None:
        """Runs on the library's monitor threads."""
        try:
            kind = EventKind(kind_number)
        except ValueError:
            _log.warning("port %d: unknown event kind %d ignored", self._id, kind_number)
            return
        if data is None:
            value: Union[str, int] = 0
        elif kind == EventKind.CONNECTED:
            value = ctypes.string_at(data).decode("utf-8", "replace")
        else:
            value = event_data(kind, ctypes.c_int32.from_address(data).value)
        error = None
        if kind == EventKind.ERROR and value == ErrorDetail.RECORDED:
            error = ZorError.from_record("monitor", -1, last_error())
        event = Event(kind, value, time.time(), error)
        self._queue_event(event)
        with self._received:
            if kind == EventKind.RECEIVED:
                self._rx_seq += 1
            elif kind == EventKind.TRANSMITTED:
                self._settle(int(value))
            elif kind in (EventKind.CONNECTED, EventKind.DISCONNECTED):
                self._connected = kind == EventKind.CONNECTED
            elif error is not None:
                self._last_failure = error
            elif value == ErrorDetail.RETRY_LIMIT:
                self._gave_up = True
            elif value == ErrorDetail.SEND_FAILED:
                # The failed chunk is not reported with its size: it held what
                # was outstanding, up to one chunk.
                self._settle(TX_CHUNK)
            self._received.notify_all()
        self._wake_async()
        if self.on_event is not None:
            self.on_event(event)

    def _queue_event(self, event: Event) -> None:
        # Bounded so that a port nobody reads events from cannot grow without
        # end: the oldest event gives way and is counted.
        while True:
            try:
                self.events.put_nowait(event)
                return
            except queue.Full:
                try:
                    self.events.get_nowait()
                except queue.Empty:
                    continue
                with self._received:
                    self.events_dropped += 1

    # asyncio -----------------------------------------------------------------

    def _wake_async(self) -> None:
        with self._waiters_lock:
            waiters = list(self._waiters)
        for loop, future in waiters:
            try:
                loop.call_soon_threadsafe(_set_done, future)
            except RuntimeError:  # the loop is closed
                pass

    async def _wait_async(self, ready: Callable[[], bool]) -> None:
        loop = asyncio.get_running_loop()
        entry = (loop, loop.create_future())
        with self._waiters_lock:
            self._waiters.add(entry)
        try:
            if not ready():
                await entry[1]
        finally:
            with self._waiters_lock:
                self._waiters.discard(entry)

    async def read_async(self, max_bytes: int = READ_SIZE) -> bytes:
        """Waits without blocking the event loop for at least one byte and
        returns up to max_bytes. Use asyncio.wait_for for a time-out."""
        _check_size(max_bytes)
        while True:
            data = self._read_now(max_bytes)
            if data:
                return data
            await self._wait_async(lambda: self._closing or self.any_to_read() > 0)

    async def events_async(self) -> AsyncIterator[Event]:
        """The events of Port.events, taken as they come; ends once the port
        is closed and every event is taken."""
        while True:
            try:
                yield self.events.get_nowait()
                continue
            except queue.Empty:
                pass
            if self._closed:
                return
            await self._wait_async(lambda: self._closed or not self.events.empty())


def _check_size(size: int) -> None:
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError("a size must be an int")
    if not 0 < size <= 2**31 - 1:
        raise ValueError(f"a size must be from 1 to {2**31 - 1}: {size}")


def _host_text(name: str, host: str) -> str:
    if not isinstance(host, str):
        raise TypeError(f"{name} must be a string")
    if "\0" in host or len(host.encode()) > MAX_HOST_CHARS:
        raise ValueError(f"{name} must have at most {MAX_HOST_CHARS} bytes and no NUL")
    if host[:1].isdigit():
        # The library takes anything that starts with a digit for a dotted
        # address.
        try:
            ipaddress.IPv4Address(host)
        except ValueError:
            raise ValueError(f"{name} starts with a digit but is no dotted IPv4 address: {host!r}") from None
    return host


def connect(host: str, service: Service, *, on_event: Optional[EventCallback] = None,
            max_events: int = DEFAULT_MAX_EVENTS, **settings: Any) -> Port:
    """Opens a client port to host (a name or a dotted IPv4 address) and
    service (a port number or a name from /etc/services). It connects in
    the background: Event CONNECTED tells when. settings are configuration
    keywords: retry_count, fast_transfer, keep_alive, connect_timeout,
    debug_level, debug_file, service_type, rx_ring_size, tx_ring_size."""
    if not _host_text("host", host):
        raise ValueError("host must not be empty")
    _check_size(max_events)
    port = Port(False, host, PortSettings(service, settings), on_event, max_events)
    port._open()
    return port


def listen(address: Optional[str], service: Service, *, on_event: Optional[EventCallback] = None,
           max_events: int = DEFAULT_MAX_EVENTS, **settings: Any) -> Port:
    """Opens a server port on a dotted local IPv4 address (None or "" for
    every local address) and service (0: the system chooses, see
    Port.local_port). It serves one peer at a time. settings as connect()."""
    address = _host_text("address", address or "")
    _check_size(max_events)
    if address and not address[0].isdigit():
        # The library would bind every local address for a name.
        raise ValueError(f"address must be a dotted IPv4 address or empty: {address!r}")
    port = Port(True, address, PortSettings(service, settings), on_event, max_events)
    port._open()
    return port


def open_ports() -> List[Port]:
    """The ports opened by this process and not yet closed."""
    return list(_ports.values())


@atexit.register
def _close_at_exit() -> None:
    # Closed while the interpreter still runs: once ZorClosePort has
    # returned, no handler call of that port can come, so none reaches a
    # finalising interpreter when the library unloads.
    global _exiting
    with _open_lock:
        _exiting = True
    for port in list(_ports.values()):
        try:
            port.close()
        except Exception:
            _log.exception("closing %r at exit failed", port)
