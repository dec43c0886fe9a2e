# SPDX-License-Identifier: MIT
"""zortcp for Python: TCP/IP ports of the zortcp library through ctypes.

    import zortcp
    with zortcp.connect("127.0.0.1", 5025, retry_count=3) as port:
        port.write(b"MEAS?\\r\\n")
        print(port.read(timeout=2.0))
"""

import sys

if sys.platform == "win32":  # the sentence is also in the README and docs/python.md
    raise ImportError("zortcp for Python runs on Linux only: it is untested on Windows, "
                      "where Windows hosts use zortcp.dll through its C interface.")

from ._native import LibraryNotFound, library_path
from .errors import LastError, PortClosedError, ZorError, ZorUsageError, last_error
from .events import DisconnectReason, ErrorDetail, Event, EventKind
from .port import Port, ReadTimeout, Statistics, WriteTimeout, connect, listen, open_ports
from .settings import Settings
from .streams import Server, StreamReader, StreamWriter, open_connection, start_server


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("zortcp")
    except metadata.PackageNotFoundError:  # imported from the source tree
        return "0+unknown"


# The project's version (project() in CMakeLists.txt), as pip installed it.
__version__ = _version()

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
