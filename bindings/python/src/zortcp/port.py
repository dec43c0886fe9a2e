# SPDX-License-Identifier: MIT
"""Ports: opening, the event crossing, data and control calls, closing."""

from __future__ import annotations

import asyncio
import atexit
import ctypes
import ipaddress
import itertools
import logging
import math
import os
import queue
import socket
import threading
import time
from typing import (TYPE_CHECKING, Any, AsyncIterator, Callable, Dict, List, NamedTuple, Optional,
                    Set, Tuple, Union)

if TYPE_CHECKING:
    from typing_extensions import Unpack

from . import _native
from .errors import LinkLostError, PortClosedError, ZorError, ZorUsageError, last_error
from .events import ErrorDetail, Event, EventKind, event_data
from .settings import PortSettings, Service, Settings

_log = logging.getLogger("zortcp")

OPEN_SERVER = 0x1
SIGNAL_HOLD = 1
MAX_HOST_CHARS = 129
DEFAULT_MAX_EVENTS = 65536
READ_SIZE = 65536
MAX_CALL_SIZE = 2**31 - 1
COUNTER = 0xFFFFFFFF  # the library's statistics wrap at 2**32
LISTEN_WAIT = 5.0  # seconds that listen() waits for its socket to listen
# Microseconds that a read of a fast-mode port looks for bytes before it
# blocks (see zw_set_look): a 16-byte exchange with an echo peer took
# 170 to 310 us without it and 28 to 38 us with it on a 2-processor virtual
# machine; a reader whose answer takes longer spends up to this much
# processor time per wait.
READ_LOOK_US = 200

# Call numbers, which give a handle failure its location and error number.
CALL_CLOSE, CALL_WRITE, CALL_ANY, CALL_READ = 2, 3, 4, 5
CALL_CHANGE_SIGNAL, CALL_GET_SIGNAL, CALL_CONFIG, CALL_STATISTICS = 6, 7, 8, 9

CONFIG_LOCAL_ADDRESS, CONFIG_PEER_ADDRESS, CONFIG_PEER_NAME = 1, 2, 4
CONFIG_SERVICE_PORT, CONFIG_PEER_PORT = 5, 6
CONFIG_SIZE = 132

# The descriptors of the compiled handler: received bytes, room in the
# transmit ring, connection state.
WAKE_RX, WAKE_TX, WAKE_STATE = 0, 1, 2
EVERY_KIND = sum(1 << kind for kind in EventKind)
WAKE_CLOSING = -1000  # zw_read: the close has begun
WAKE_ENDED = -1001  # zw_read: the link is lost for good and the ring is empty
SLOTS = 64

EventCallback = Callable[[Event], Any]
Buffer = Union[bytes, bytearray, memoryview]


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
# Set while this thread runs a port's Python event callback.
_in_handler = threading.local()
# Closed ports whose descriptors a waiter still holds (see Port._give_back_fds).
_fds_held: Set["Port"] = set()


def _forward(user: int, kind: int, value: int, text: Optional[bytes]) -> int:
    """The Python side of the handler: the rare events, and every event of
    a port whose host asked for events. Runs on the library's threads."""
    port = _ports.get(user)
    if port is not None:
        _in_handler.active = True
        try:
            port._on_event(kind, value, text)
        except BaseException:  # nothing may cross back into the library
            _log.exception("zortcp event handler of port %d failed", user)
        finally:
            _in_handler.active = False
    return 0


# Alive as long as the module: the library may call the handler until the
# close of the last port bound to it has returned.
_FORWARD = _native.ForwardCallback(_forward)
_wake_handler: Optional[Any] = None


def _handler() -> Any:
    """The compiled handler as the library's handler type, set up once."""
    global _wake_handler
    if _wake_handler is None:
        wake = _native.wake_library()
        wake.zw_set_forward(ctypes.cast(_FORWARD, ctypes.c_void_p))
        library = _native.library()
        wake.zw_set_library(ctypes.cast(library.ZorReadPort, ctypes.c_void_p),
                            ctypes.cast(library.ZorAnyToRead, ctypes.c_void_p))
        address = ctypes.cast(wake.zw_handler, ctypes.c_void_p).value
        assert address is not None
        _wake_handler = _native.EventHandler(address)
    return _wake_handler


def _refuse_in_handler(what: str) -> None:
    if getattr(_in_handler, "active", False):
        raise ZorUsageError(f"{what} from an event handler: the library waits for that very thread")


def _set_done(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


def _next_id() -> int:
    """An id whose slot in the compiled handler is free (under _open_lock)."""
    taken = {port_id % SLOTS for port_id in _ports}
    while True:
        port_id = next(_port_ids)
        if port_id % SLOTS not in taken:
            return port_id


class Port:
    """An open zortcp port. Use connect() or listen() to make one."""

    def __init__(self, server: bool, host: str, service: Service, settings: PortSettings,
                 on_event: Optional[EventCallback], max_events: int, events: bool) -> None:
        self.server = server
        self.host = host
        self.service = service
        self.settings = settings
        self.events: "queue.Queue[Event]" = queue.Queue(max_events)
        self.events_dropped = 0
        self._want_events = events
        self._on_event_callback = on_event
        self._id = 0
        self._handle = -1
        self._wake = _native.wake_library()
        self._library = _native.library()
        # _call_lock: one short library call on the handle at a time (reads,
        # queries); it is never held while waiting. _write_lock: one write at
        # a time, held while it waits; a close does not wait for it before
        # ZorClosePort, which ends a write waiting in the library.
        self._call_lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._read_lock = threading.Lock()
        self._state_lock = threading.Lock()
        self._close_lock = threading.Lock()
        # Closing until the open has set the handle.
        self._closing = True
        self._closed = False
        self._read_buffer = ctypes.create_string_buffer(0)
        # Bytes written, and the transmit count of the handle at the open:
        # what has been sent comes from the statistics, never from events,
        # so room is never promised that the ring does not have.
        self._tx_size = settings.rings[1]
        self._tx_queued = 0
        self._tx_base = 0
        self._tx_errors_seen = 0
        self._tx_forgiven = 0
        self._last_failure: Optional[ZorError] = None
        self._waiters: Set[Tuple[asyncio.AbstractEventLoop, "asyncio.Future[None]"]] = set()
        self._waiters_lock = threading.Lock()
        # The port's wake-up descriptors (made by zw_open), closed once the
        # port is closed and no waiter holds them.
        self._fds: Tuple[int, ...] = ()
        self._fd_users = 0
        self._fds_closing = False
        self._fd_lock = threading.Lock()
        self._local_port: Optional[int] = None

    # Opening and closing -------------------------------------------------

    def _mask(self) -> int:
        return EVERY_KIND if self._want_events or self._on_event_callback is not None else 0

    def _open(self) -> None:
        _refuse_in_handler("opening a port")
        library = self._library
        handler = _handler()
        path = self.settings.write_file()
        try:
            # The port's own locks keep a callback that reads or writes at once
            # (on CONNECTED, say) waiting until the handle is known.
            with _open_lock, self._call_lock, self._write_lock:
                if _exiting:
                    raise ZorUsageError("the interpreter is exiting: no more ports")
                self._id = _next_id()
                if self._wake.zw_open(self._id, self._mask(), int(self.server)) != 0:
                    raise OSError("no descriptor for the port's wake-ups")
                self._fds = tuple(self._wake.zw_fd(self._id, which) for which in range(3))
                self._wake.zw_set_look(self._id, READ_LOOK_US if self.settings.fast else 0)
                handle = ctypes.c_int32(0)
                _ports[self._id] = self
                library.ZorChangeBufferSizes(*self.settings.rings)
                library.ZorSetEventHandler(handler, self._id)
                result = library.ZorOpenPort(
                    self.host.encode(), 0, OPEN_SERVER if self.server else 0,
                    os.fsencode(path), ctypes.byref(handle))
                if result != 0:
                    error = ZorError.from_record("ZorOpenPort", result)
                    # A failed open leaves the registration pending; it is
                    # cleared so that no later open of anyone takes it.
                    library.ZorSetEventHandler(_native.EventHandler(0), 0)  # null: none
                    del _ports[self._id]
                    self._wake.zw_release(self._id)
                    self._closed = True
                    self._give_back_fds()
                    raise error
                self._handle = handle.value
                before = _native.PortStatistics()
                library.ZorGetStatistics(self._handle, ctypes.byref(before))
                self._tx_base = before.txBytes
                self._tx_errors_seen = before.txErrors
                self._closing = False
            if self.server:
                self._local_port = self._config_number(CONFIG_SERVICE_PORT)
        finally:
            os.unlink(path)

    def _give_back_fds(self) -> None:
        """Closes the port's descriptors once the port is closed, now or when
        the last waiter that holds them lets go (an asyncio loop must stop
        watching a descriptor before its number can go to another file)."""
        with self._fd_lock:
            self._fds_closing = True
            if self._fd_users:
                _fds_held.add(self)
                return
            fds, self._fds = self._fds, ()
        for fd in fds:
            os.close(fd)

    def _hold_fds(self) -> Tuple[int, ...]:
        with self._fd_lock:
            if self._fds_closing or not self._fds:
                raise PortClosedError("wait", CALL_READ)
            self._fd_users += 1
            return self._fds

    def _let_go_fds(self) -> None:
        with self._fd_lock:
            self._fd_users -= 1
            if self._fd_users or not self._fds_closing:
                return
            _fds_held.discard(self)
            fds, self._fds = self._fds, ()
        for fd in fds:
            os.close(fd)

    def close(self) -> None:
        """Closes the port. Reads and writes waiting in other threads end with
        PortClosedError (a write waiting for room in the library too); events
        of the lost connection may still come during the close, none after.
        Closing a closed port does nothing. Bytes still in the port's rings
        are dropped: flush() first to send them."""
        _refuse_in_handler("closing a port")
        with self._close_lock:
            if self._closed:
                return
            self._closing = True
            self._wake.zw_wake_all(self._id)
            self._wake_async()
            # No read and no short call is in the library during
            # ZorClosePort (a reader waiting in zw_read has been woken and
            # leaves). A write may be: ZorClosePort ends it, and no open can
            # take the handle before the write has let go of it.
            with self._read_lock, _open_lock:
                with self._call_lock:
                    result = self._library.ZorClosePort(self._handle)
                    error = ZorError.from_record("ZorClosePort", result) if result else None
                with self._write_lock:
                    pass
                _ports.pop(self._id, None)
                self._wake.zw_release(self._id)
            self._closed = True
            self._give_back_fds()
            self._wake_async()
        if error is not None:
            raise error

    def _forget(self) -> None:
        """In a child made by fork(): the port is the parent's. Nothing of it
        reaches the library; the locks may be held by threads the child does
        not have, so they are new."""
        self._call_lock = threading.Lock()
        self._write_lock = threading.Lock()
        self._read_lock = threading.Lock()
        self._state_lock = threading.Lock()
        self._close_lock = threading.Lock()
        self._waiters_lock = threading.Lock()
        self._waiters = set()
        self._closing = True
        self._closed = True
        self._fd_lock = threading.Lock()
        self._fd_users = 0
        self._give_back_fds()  # the child's copies of the parent's descriptors

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Port":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        role = "server" if self.server else "client"
        if self._closed:
            state = "closed"
        else:
            state = "connected" if self.connected else "not connected"
        service = self._local_port if self._local_port is not None else self.service
        return f"<zortcp.Port {role} {self.host or '*'}:{service} {state}>"

    @property
    def on_event(self) -> Optional[EventCallback]:
        """Called with each Event on the library's thread; setting it makes
        the port deliver every event (kinds RECEIVED and TRANSMITTED too)."""
        return self._on_event_callback

    @on_event.setter
    def on_event(self, callback: Optional[EventCallback]) -> None:
        self._on_event_callback = callback
        if not self._closed:
            self._wake.zw_set_mask(self._id, self._mask())

    # Calls on the handle ---------------------------------------------------

    def _call(self, call: str, number: int, function: Callable[[int], Any]) -> int:
        """Runs one short library call on the handle unless the port is closing."""
        # A close holds the lock while ZorClosePort waits for the library's
        # threads, one of which may be running a callback that makes this
        # very call: it gives up once the port is closing.
        while not self._call_lock.acquire(timeout=0.02):
            if self._closing:
                raise PortClosedError(call, number)
        try:
            if self._closing:
                raise PortClosedError(call, number)
            result = int(function(self._handle))
        finally:
            self._call_lock.release()
        if result < 0:
            raise ZorError.from_record(call, result)
        return result

    def _wait(self, which: int, ready: Callable[[], bool], deadline: Optional[float]) -> bool:
        """Waits once on one of the port's wake-ups unless ready() holds
        already. False when the deadline has passed; PortClosedError on a
        close."""
        fd = self._hold_fds()[which]
        try:
            self._wake.zw_arm(self._id, which)
            if self._closing:
                raise PortClosedError("wait", CALL_READ)
            if ready():
                return True
            if deadline is None:
                milliseconds = -1
            else:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                milliseconds = min(int(remaining * 1000) + 1, 2**31 - 1)
            self._wake.zw_wait(fd, milliseconds)
        finally:
            self._let_go_fds()
        if self._closing:
            raise PortClosedError("wait", CALL_READ)
        return True

    def _connection_number(self) -> int:
        return int(self._wake.zw_connections(self._id))

    def _on_connection(self, number: int) -> bool:
        """Whether the port is connected, on the connection counted number."""
        return self.connected and self._connection_number() == number

    def _link_lost(self) -> bool:
        """Whether the link is lost for good: a client gave up or its monitor
        ended; a server's peer went and no next one is served yet."""
        return not self._closing and bool(self._wake.zw_lost(self._id))

    def _no_link(self) -> bool:
        """Whether bytes written now cannot go anywhere: the link is lost for
        good, or a server port serves no peer (it has no socket to send on)."""
        return self._link_lost() or (self.server and not self._closing
                                     and not self._wake.zw_connected(self._id))

    def _link_error(self, call: str) -> ZorError:
        if self._link_lost():
            what = "the peer has gone" if self.server else "the port gave up its connection"
            return LinkLostError(call, -1, 0, 10054, f"WSAECONNRESET: {what}")
        return LinkLostError(call, -1, 0, 10057, "WSAENOTCONN: no peer is connected")

    def _check_link(self, call: str) -> None:
        if self._closing:
            raise PortClosedError(call, CALL_WRITE)
        if self._no_link():
            raise self._link_error(call)

    def write(self, data: Buffer, timeout: Optional[float] = None) -> int:
        """Queues every byte for sending and returns the count, waiting up to
        timeout seconds (None: for ever) while the transmit ring is full.
        Raises WriteTimeout (with the count queued) when the ring did not
        take everything in time. Queued is not sent: flush() waits for that.
        In an event callback a write never waits (the callback may run on the
        very thread that empties the ring): what does not fit raises
        WriteTimeout at once. Once the link is lost for good (a client gave
        up, a server's peer went), and on a server port that serves no peer,
        raises ConnectionResetError (ENOTCONN OSError while a server has no
        peer yet), a ZorError, rather than queue bytes that cannot go."""
        if timeout is None and type(data) is bytes and not getattr(_in_handler, "active", False):
            # The common case in one library call: the library waits for
            # room itself, and a close ends that wait.
            size = len(data)
            if size <= MAX_CALL_SIZE:
                with self._write_lock:
                    self._check_link("ZorWritePort")
                    result = self._library.ZorWritePort(self._handle, data, size)
                    if result != 0:
                        if self._closing:
                            raise PortClosedError("ZorWritePort", CALL_WRITE)
                        raise ZorError.from_record("ZorWritePort", result)
                    self._tx_queued = (self._tx_queued + size) & COUNTER
                    # A write that waited for room while the link went: its
                    # bytes left the ring, but not on a connection.
                    self._check_link("ZorWritePort")
                return size
        view = memoryview(data).cast("B")
        size = len(view)
        if getattr(_in_handler, "active", False):
            timeout = 0.0
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        if timeout is None:
            acquired = self._write_lock.acquire()
        else:
            acquired = self._write_lock.acquire(timeout=max(0.0, timeout))
        if not acquired:
            raise WriteTimeout(size, 0)
        try:
            address, keep = _address_of(view)
            done = 0
            while done < size:
                self._check_link("ZorWritePort")
                if deadline is None:
                    # The library waits for room itself; a close ends that wait.
                    piece = min(size - done, MAX_CALL_SIZE)
                else:
                    piece = min(self._tx_room(), size - done)
                    if piece == 0:
                        if not self._wait(WAKE_TX, lambda: self._tx_room() > 0 or self._no_link(),
                                          deadline):
                            raise WriteTimeout(size, done)
                        continue
                result = self._library.ZorWritePort(self._handle, address + done, piece)
                if result != 0:
                    if self._closing:
                        raise PortClosedError("ZorWritePort", CALL_WRITE)
                    raise ZorError.from_record("ZorWritePort", result)
                self._tx_queued = (self._tx_queued + piece) & COUNTER
                done += piece
            self._check_link("ZorWritePort")
            del keep
            return done
        finally:
            self._write_lock.release()

    def _tx_state(self) -> Tuple[int, int]:
        """(bytes written and not yet sent, transmit errors so far)."""
        now = self._statistics_now()
        sent = (now.tx_bytes - self._tx_base) & COUNTER
        return (self._tx_queued - sent - self._tx_forgiven) & COUNTER, now.tx_errors

    def _tx_room(self) -> int:
        # Bytes of a failed chunk are counted as still in the ring: its size
        # is not reported, and counting it as gone could promise room that
        # the ring does not have.
        outstanding = (self._tx_queued - (self._statistics_now().tx_bytes - self._tx_base)) \
            & COUNTER
        return max(0, self._tx_size - outstanding)

    def flush(self, timeout: Optional[float] = None) -> bool:
        """Waits up to timeout seconds (None: for ever) until every byte
        written has been sent. True when it has, False on a time-out. When a
        chunk failed to send since the last flush, its bytes are lost:
        flush raises that failure (a ZorError, such as ConnectionResetError)
        as soon as it sees it, and the next flush no longer waits for the
        bytes that were outstanding then. Once the link is lost for good
        with bytes not sent, raises ConnectionResetError (a ZorError) at
        once. A close drops what is still in the ring, so a host that writes
        and then closes flushes first."""
        deadline = None if timeout is None else time.monotonic() + max(0.0, timeout)
        while True:
            # The loss is looked at first: a chunk sent before it is counted
            # by then, so what is outstanding afterwards will not be sent.
            gone = self._no_link()
            outstanding, errors = self._tx_state()
            if errors != self._tx_errors_seen or (gone and outstanding):
                self._tx_errors_seen = errors
                self._tx_forgiven = (self._tx_forgiven + outstanding) & COUNTER
                if gone:
                    raise self._link_error("flush")
                failure = self._last_failure
                raise failure if failure is not None else \
                    ZorError("ZorWritePort", -1, 1101, 0, "a chunk failed to send")
            if outstanding == 0:
                return True
            if not self._wait(WAKE_TX, lambda: self._tx_state() != (outstanding, errors)
                              or self._no_link(), deadline):
                return False

    def any_to_read(self) -> int:
        """The number of received bytes waiting; never waits."""
        return self._call("ZorAnyToRead", CALL_ANY, self._library.ZorAnyToRead)

    def _buffer_for(self, max_bytes: int) -> Tuple[Any, int]:
        """The port's read buffer, at least max_bytes or the receive ring
        large (under _read_lock)."""
        wanted = min(max_bytes, self.settings.rings[0])
        if len(self._read_buffer) < wanted:
            self._read_buffer = ctypes.create_string_buffer(wanted)
        return self._read_buffer, wanted

    def _read_wait(self, target: Any, capacity: int, timeout: Optional[float]) -> int:
        """One zw_read: waits in C, without the GIL, for at least one byte.
        The count, 0 on a time-out, -1 once the link is lost for good and
        every byte received before is taken."""
        if self._closing:
            raise PortClosedError("ZorReadPort", CALL_READ)
        milliseconds = -1 if timeout is None else min(math.ceil(max(0.0, timeout) * 1000),
                                                      2**31 - 1)
        result = int(self._wake.zw_read(self._id, self._handle, target, capacity, milliseconds))
        if result >= 0:
            return result
        if result == WAKE_ENDED:
            return -1
        if result == WAKE_CLOSING or self._closing:
            raise PortClosedError("ZorReadPort", CALL_READ)
        raise ZorError.from_record("ZorReadPort", result)

    def _read_now(self, max_bytes: int) -> bytes:
        """What is there, up to max_bytes, without waiting."""
        if not self._read_lock.acquire(blocking=False):
            raise RuntimeError("another read of this port is waiting")
        try:
            buffer, wanted = self._buffer_for(max_bytes)
            count = self._read_wait(buffer, wanted, 0.0)
            return ctypes.string_at(buffer, count) if count > 0 else b""
        finally:
            self._read_lock.release()

    def _lock_reads(self, timeout: Optional[float]) -> bool:
        if timeout is None:
            return self._read_lock.acquire()
        return self._read_lock.acquire(timeout=max(0.0, timeout))

    def read(self, max_bytes: int = READ_SIZE, timeout: Optional[float] = None) -> bytes:
        """Waits up to timeout seconds (None: for ever) for at least one byte
        and returns up to max_bytes of what is there; b"" on a time-out, and
        at once once the link is lost for good (a client gave up, a server's
        peer went) and every byte received before is taken. A close from
        another thread ends the wait with PortClosedError."""
        return self._read_some(max_bytes, timeout) or b""

    def _read_some(self, max_bytes: int, timeout: Optional[float]) -> Optional[bytes]:
        """read, with None once the link is lost for good."""
        _check_size(max_bytes)
        if not self._lock_reads(timeout):
            return b""
        try:
            buffer, wanted = self._buffer_for(max_bytes)
            count = self._read_wait(buffer, wanted, timeout)
            if count < 0:
                return None
            return ctypes.string_at(buffer, count) if count else b""
        finally:
            self._read_lock.release()

    def read_into(self, buffer: Union[bytearray, memoryview],
                  timeout: Optional[float] = None) -> int:
        """Like read, into a writable buffer: waits up to timeout seconds for
        at least one byte and returns the count put into buffer (0 on a
        time-out)."""
        view = memoryview(buffer)
        if not view.c_contiguous:
            view = view.cast("B")  # raises TypeError, as for any buffer it cannot use
        size = view.nbytes
        if view.readonly or not size:
            raise ValueError("read_into needs a writable buffer of at least one byte")
        # The first byte's address, keeping the buffer exported (and so in
        # place) until the read is over; one call per read, whatever its size.
        first = ctypes.c_char.from_buffer(view)
        try:
            if not self._lock_reads(timeout):
                return 0
            try:
                return max(0, self._read_wait(ctypes.byref(first), min(size, MAX_CALL_SIZE),
                                              timeout))
            finally:
                self._read_lock.release()
        finally:
            del first

    def read_exactly(self, size: int, timeout: Optional[float] = None) -> bytes:
        """Exactly size bytes, waiting up to timeout seconds in all; raises
        ReadTimeout (with the bytes taken so far) when they do not come, and
        asyncio.IncompleteReadError, an EOFError with the bytes taken so far
        in .partial, once the link is lost for good."""
        _check_size(size)
        deadline = None if timeout is None else time.monotonic() + timeout
        parts = bytearray()
        while len(parts) < size:
            remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
            data = self._read_some(size - len(parts), remaining)
            if data is None:
                raise asyncio.IncompleteReadError(bytes(parts), size)
            if not data and remaining == 0.0:
                raise ReadTimeout(size, bytes(parts))
            parts += data
        return bytes(parts)

    @property
    def connected(self) -> bool:
        """Whether the port has a connection, as its events tell."""
        return not self._closed and bool(self._wake.zw_connected(self._id))

    def wait_connected(self, timeout: Optional[float] = None) -> bool:
        """Waits up to timeout seconds for a connection and returns True once
        there is one (so it reads like threading.Event.wait, but a time-out
        raises rather than return False, as it always has). Raises the port's last
        recorded failure once a client reached its retry limit; on a
        time-out the last failure recorded meanwhile (ConnectionRefusedError,
        say), else TimeoutError; PortClosedError on a close."""
        deadline = None if timeout is None else time.monotonic() + timeout
        wake = self._wake

        def settled() -> bool:
            return bool(wake.zw_connected(self._id) or wake.zw_gave_up(self._id))

        if not self._state_lock.acquire(timeout=-1 if timeout is None else max(0.0, timeout)):
            raise TimeoutError(f"no connection within {timeout} s")
        try:
            while not settled():
                if not self._wait(WAKE_STATE, settled, deadline):
                    break
        finally:
            self._state_lock.release()
        if self._closing:
            raise PortClosedError("wait_connected", CALL_READ)
        if wake.zw_connected(self._id):
            return True
        failure = self._last_failure
        if failure is not None:
            raise ZorError("connect", -1, failure.location, failure.code, failure.text)
        if wake.zw_gave_up(self._id):
            raise ZorError("connect", -1, 0, 0, "the port gave up connecting")
        raise TimeoutError(f"no connection within {timeout} s")

    def _statistics_now(self) -> Statistics:
        output = _native.PortStatistics()
        library = self._library
        self._call("ZorGetStatistics", CALL_STATISTICS,
                   lambda h: library.ZorGetStatistics(h, ctypes.byref(output)))
        return Statistics(output.rxBytes, output.txBytes, output.rxErrors,
                          output.txErrors, output.connectErrors)

    def statistics(self) -> Statistics:
        return self._statistics_now()

    def _config(self, item: int) -> bytes:
        output = ctypes.create_string_buffer(CONFIG_SIZE)
        length = ctypes.c_int32(0)
        library = self._library
        self._call("ZorGetConfig", CALL_CONFIG,
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
        library = self._library
        self._call("ZorChangeSignal", CALL_CHANGE_SIGNAL,
                   lambda h: library.ZorChangeSignal(h, SIGNAL_HOLD, value))

    def hold(self) -> None:
        """Holds a client port: no connect attempts until release(); a
        standing connection goes on but is not made again after a loss."""
        self._signal(1)

    def release(self) -> None:
        self._signal(0)

    @property
    def held(self) -> bool:
        value = ctypes.c_int32(0)
        library = self._library
        self._call("ZorGetSignal", CALL_GET_SIGNAL,
                   lambda h: library.ZorGetSignal(h, SIGNAL_HOLD, ctypes.byref(value)))
        return value.value == 1

    # Events ------------------------------------------------------------------

    def _on_event(self, kind_number: int, value_number: int, text: Optional[bytes]) -> None:
        """Runs on the library's monitor threads, for the events handed to
        Python: CONNECTED, DISCONNECTED and ERROR always, the others when the
        host asked for events."""
        try:
            kind = EventKind(kind_number)
        except ValueError:
            _log.warning("port %d: unknown event kind %d ignored", self._id, kind_number)
            return
        if kind == EventKind.CONNECTED:
            value: Union[str, int] = (text or b"").decode("utf-8", "replace")
        else:
            value = event_data(kind, value_number)
        error = None
        if kind == EventKind.ERROR and value == ErrorDetail.RECORDED:
            error = ZorError.from_record("monitor", -1, last_error())
            self._last_failure = error
        event = Event(kind, value, time.time(), error)
        self._queue_event(event)
        self._wake_async()
        callback = self._on_event_callback
        if callback is not None:
            callback(event)

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
        """Waits for the next event handed to Python (events_async)."""
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

    async def _wait_wake_async(self, which: int, ready: Callable[[], bool]) -> None:
        """Waits in the event loop on one of the port's wake-ups, woken by the
        library's thread through the descriptor, unless ready() holds."""
        loop = asyncio.get_running_loop()
        wake = self._wake
        fd = self._hold_fds()[which]
        try:
            wake.zw_arm(self._id, which)
            if self._closing:
                raise PortClosedError("wait", CALL_READ)
            if ready():
                return
            future: "asyncio.Future[None]" = loop.create_future()

            def woken() -> None:
                wake.zw_drain(fd)
                _set_done(future)

            loop.add_reader(fd, woken)
            try:
                await future
            finally:
                loop.remove_reader(fd)
        finally:
            self._let_go_fds()
        if self._closing:
            raise PortClosedError("wait", CALL_READ)

    async def read_async(self, max_bytes: int = READ_SIZE) -> bytes:
        """Waits without blocking the event loop for at least one byte and
        returns up to max_bytes; b"" once the link is lost for good and
        every byte is taken, as read. Use asyncio.wait_for for a time-out."""
        _check_size(max_bytes)
        while True:
            data = self._read_now(max_bytes)
            if data:
                return data
            if self._link_lost():
                # Bytes that came just before the loss are in the ring by now.
                return self._read_now(max_bytes)
            await self._wait_wake_async(WAKE_RX,
                                        lambda: self.any_to_read() > 0 or self._link_lost())

    async def wait_connected_async(self) -> bool:
        """wait_connected for asyncio; use asyncio.wait_for for a time-out."""
        wake = self._wake
        while not (wake.zw_connected(self._id) or wake.zw_gave_up(self._id)):
            await self._wait_wake_async(
                WAKE_STATE, lambda: bool(wake.zw_connected(self._id) or wake.zw_gave_up(self._id)))
        return self.wait_connected(0)

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


def _address_of(view: memoryview) -> Tuple[int, object]:
    """The address of a buffer's bytes and the object that keeps it valid,
    without a copy where the buffer allows."""
    if not len(view):
        return 0, None
    if not view.readonly:
        array = (ctypes.c_char * len(view)).from_buffer(view)
        return ctypes.addressof(array), array
    data = view.obj if isinstance(view.obj, bytes) and len(view.obj) == len(view) else bytes(view)
    pointer = ctypes.c_char_p(data)
    address = ctypes.cast(pointer, ctypes.c_void_p).value or 0
    return address, (data, pointer)


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


def _open_port(server: bool, host: str, service: Service, on_event: Optional[EventCallback],
               max_events: int, events: bool, paced: bool,
               settings: Dict[str, Any]) -> Port:
    _check_size(max_events)
    if not paced:
        settings.setdefault("fast_transfer", True)
    port = Port(server, host, service, PortSettings(service, settings), on_event, max_events,
                events)
    port._open()
    return port


def _client_settings(timeout: Optional[float], settings: Dict[str, Any]) -> Dict[str, Any]:
    """A waiting connect's settings: one attempt unless retry_count is
    given, and no attempt longer than the time-out."""
    settings.setdefault("retry_count", 1)
    if timeout is not None and "connect_timeout" not in settings:
        settings["connect_timeout"] = max(1, min(600000, int(timeout * 1000)))
    return settings


def connect(host: str, service: Service, *, timeout: Optional[float] = 10.0, wait: bool = True,
            paced: bool = False, events: bool = False, on_event: Optional[EventCallback] = None,
            max_events: int = DEFAULT_MAX_EVENTS, **settings: Unpack[Settings]) -> Port:
    """Opens a client port to host (a name or a dotted IPv4 address) and
    service (a port number or a name from /etc/services) and returns it
    once it is connected. A failure raises it (ConnectionRefusedError, say,
    an OSError and ZorError) and closes the port; so does a time-out, as
    the last failure recorded meanwhile or as TimeoutError. Unless
    retry_count is given, the port makes one attempt, and one after a
    loss, before it gives up.

    wait=False returns at once: the port connects in the background and
    keeps trying (retry_count 0 unless given), as wait_connected() and
    event CONNECTED tell. The fast transfer mode is on unless paced=True.
    events=True (or on_event) delivers every event, RECEIVED and
    TRANSMITTED too; otherwise only CONNECTED, DISCONNECTED and ERROR go
    to Port.events. settings: see Settings."""
    if not _host_text("host", host):
        raise ValueError("host must not be empty")
    chosen = _client_settings(timeout, dict(settings)) if wait else dict(settings)
    port = _open_port(False, host, service, on_event, max_events, events, paced, chosen)
    if wait:
        try:
            port.wait_connected(timeout)
        except BaseException:
            port.close()
            raise
    return port


def listen(address: Optional[str], service: Service, *, paced: bool = False,
           events: bool = False, on_event: Optional[EventCallback] = None,
           max_events: int = DEFAULT_MAX_EVENTS, **settings: Unpack[Settings]) -> Port:
    """Opens a server port on a dotted local IPv4 address (None or "" for
    every local address) and service (0: the system chooses, see
    Port.local_port). It serves one peer at a time; wait_connected()
    waits for one. The fast transfer mode is on unless paced=True; events,
    on_event and settings as connect()."""
    address = _host_text("address", address or "")
    if address and not address[0].isdigit():
        # The library would bind every local address for a name.
        raise ValueError(f"address must be a dotted IPv4 address or empty: {address!r}")
    port = _open_port(True, address, service, on_event, max_events, events, paced,
                      dict(settings))
    _wait_listening(port)
    return port


def _listening(service_port: int) -> Optional[bool]:
    """Whether a TCP socket listens on the port, from /proc/net/tcp; None
    when the table cannot be read."""
    try:
        with open("/proc/net/tcp", "rb") as table:
            rows = table.read().splitlines()[1:]
    except OSError:
        return None
    wanted = b":%04X" % service_port
    for row in rows:
        fields = row.split()
        if len(fields) > 3 and fields[1].endswith(wanted) and fields[3] == b"0A":
            return True
    return False


def _wait_listening(port: Port, timeout: float = LISTEN_WAIT) -> None:
    """The library's receive monitor starts listening after the open has
    returned, and a peer that connects before that is refused: waits until
    the socket listens, the listen has failed, or the time-out."""
    service_port = port.local_port
    deadline = time.monotonic() + timeout
    while service_port and time.monotonic() < deadline:
        if _listening(service_port) is not False or port._last_failure is not None:
            return
        time.sleep(0.001)


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


def _after_fork_in_child() -> None:
    # The child has the parent's memory but none of its ports (the library
    # gives a child no open port) and none of its other threads, some of
    # which may have held the package's locks: the parent's ports are
    # forgotten without a call to the library, and the locks are new.
    global _open_lock
    _open_lock = threading.Lock()
    _native._load_lock = threading.Lock()
    if _native._wake is not None:
        _native._wake.zw_forget_all()
    for port in list(_ports.values()) + list(_fds_held):
        port._forget()
    _ports.clear()
    _fds_held.clear()


os.register_at_fork(after_in_child=_after_fork_in_child)
