# SPDX-License-Identifier: MIT
"""Event values delivered by a port."""

from __future__ import annotations

import enum
from typing import NamedTuple, Optional, Union

from .errors import ZorError


class EventKind(enum.IntEnum):
    CONNECTED = 1
    DISCONNECTED = 2
    RECEIVED = 3
    TRANSMITTED = 4
    ERROR = 5


class DisconnectReason(enum.IntEnum):
    PEER_CLOSED = 0
    RECEIVE_FAILED = 1
    MONITOR_ENDED = 2


class ErrorDetail(enum.IntEnum):
    CONNECT_FAILED = 1
    RECEIVE_FAILED = 2
    SEND_FAILED = 3
    RECORDED = 4
    RETRY_LIMIT = 5


class Event(NamedTuple):
    """One event of a port.

    data: CONNECTED, the peer text "<name>, Port: <port>"; DISCONNECTED, a
    DisconnectReason; RECEIVED and TRANSMITTED, the byte count; ERROR, an
    ErrorDetail. time: time.time() when the binding got it. error: for
    ERROR/RECORDED, the last-error record read at once on the library's
    thread (another port's failure may still have replaced it), else None.
    """

    kind: EventKind
    data: Union[str, int]
    time: float
    error: Optional[ZorError] = None


def event_data(kind: EventKind, value: int) -> int:
    """The number of a kind's data as its enumeration, where it has one."""
    enumeration = {EventKind.DISCONNECTED: DisconnectReason, EventKind.ERROR: ErrorDetail}.get(kind)
    if enumeration is not None:
        try:
            return enumeration(value)
        except ValueError:
            pass
    return value
