# SPDX-License-Identifier: MIT
"""zortcp for Python: TCP/IP ports of the zortcp library through ctypes.

    import zortcp
    with zortcp.connect("127.0.0.1", 5025, retry_count=3) as port:
        port.write(b"MEAS?\\r\\n")
        print(port.read(timeout=2.0))
"""

from ._native import LibraryNotFound, library_path
from .errors import LastError, PortClosedError, ZorError, ZorUsageError, last_error
from .events import DisconnectReason, ErrorDetail, Event, EventKind
from .port import Port, ReadTimeout, Statistics, WriteTimeout, connect, listen, open_ports
from .settings import Settings
from .streams import Server, StreamReader, StreamWriter, open_connection, start_server

__version__ = "1.0.0"

__all__ = [
    "DisconnectReason",
    "ErrorDetail",
    "Event",
    "EventKind",
    "LastError",
    "LibraryNotFound",
    "Port",
    "PortClosedError",
    "ReadTimeout",
    "Server",
    "Settings",
    "Statistics",
    "StreamReader",
    "StreamWriter",
    "WriteTimeout",
    "ZorError",
    "ZorUsageError",
    "connect",
    "last_error",
    "library_path",
    "listen",
    "open_connection",
    "open_ports",
    "start_server",
]
