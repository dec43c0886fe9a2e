# SPDX-License-Identifier: MIT
"""Loading libzortcp.so.1 and declaring its calls for ctypes."""

from __future__ import annotations

import ctypes
import importlib.machinery
import os
import threading
from typing import Optional

# The C handler: source, kind, data, userData.
EventHandler = ctypes.CFUNCTYPE(
    ctypes.c_int32, ctypes.c_int32, ctypes.c_int32, ctypes.c_void_p, ctypes.c_uint32
)

LIBRARY_NAME = "libzortcp.so.1"
ERROR_TEXT_SIZE = 288
MAX_HANDLE = 31


class PortStatistics(ctypes.Structure):
    _fields_ = [
        ("rxBytes", ctypes.c_uint32),
        ("txBytes", ctypes.c_uint32),
        ("rxErrors", ctypes.c_uint32),
        ("txErrors", ctypes.c_uint32),
        ("connectErrors", ctypes.c_uint32),
    ]


_I32 = ctypes.c_int32
_U32 = ctypes.c_uint32
_PI32 = ctypes.POINTER(ctypes.c_int32)

# name: (result type, argument types)
_PROTOTYPES = {
    "ZorOpenPort": (_I32, [ctypes.c_char_p, _I32, _U32, ctypes.c_char_p, _PI32]),
    "ZorClosePort": (_I32, [_I32]),
    "ZorWritePort": (_I32, [_I32, ctypes.c_void_p, _I32]),
    "ZorReadPort": (_I32, [_I32, ctypes.c_void_p, _I32, _PI32]),
    "ZorAnyToRead": (_I32, [_I32]),
    "ZorSetEventHandler": (_I32, [EventHandler, _U32]),
    "ZorChangeSignal": (_I32, [_I32, _I32, _U32]),
    "ZorGetSignal": (_I32, [_I32, _I32, _PI32]),
    "ZorChangeDefault": (None, [_U32, ctypes.c_void_p, _U32]),
    "ZorChangeBufferSizes": (None, [_U32, _U32]),
    "ZorGetConfig": (_I32, [_I32, _I32, ctypes.c_void_p, _PI32]),
    "ZorGetStatistics": (_I32, [_I32, ctypes.POINTER(PortStatistics)]),
    "ZorGetLastError": (ctypes.c_char_p, [_PI32, _PI32, ctypes.c_char_p]),
}

# The package's handler (_wake.c): name: (result type, argument types)
_WAKE_PROTOTYPES = {
    "zw_set_forward": (None, [ctypes.c_void_p]),
    "zw_set_library": (None, [ctypes.c_void_p, ctypes.c_void_p]),
    "zw_read": (_I32, [_U32, _I32, ctypes.c_void_p, _I32, _I32]),
    "zw_open": (_I32, [_U32, _I32, _I32]),
    "zw_release": (None, [_U32]),
    "zw_forget_all": (None, []),
    "zw_fd": (_I32, [_U32, _I32]),
    "zw_set_mask": (None, [_U32, _I32]),
    "zw_set_look": (None, [_U32, _I32]),
    "zw_arm": (None, [_U32, _I32]),
    "zw_wake_all": (None, [_U32]),
    "zw_wait": (_I32, [_I32, _I32]),
    "zw_drain": (None, [_I32]),
    "zw_connected": (_I32, [_U32]),
    "zw_gave_up": (_I32, [_U32]),
    "zw_lost": (_I32, [_U32]),
    "zw_connections": (_U32, [_U32]),
}

# The Python side of the handler: port id, kind, value, text (kind 1).
ForwardCallback = ctypes.CFUNCTYPE(
    ctypes.c_int32, ctypes.c_uint32, ctypes.c_int32, ctypes.c_int32, ctypes.c_char_p
)

_library: Optional[ctypes.CDLL] = None
_wake: Optional[ctypes.CDLL] = None
_load_lock = threading.Lock()


def wake_library() -> ctypes.CDLL:
    """The package's compiled handler, loaded on first use."""
    global _wake
    with _load_lock:
        if _wake is None:
            here = os.path.dirname(os.path.abspath(__file__))
            for suffix in importlib.machinery.EXTENSION_SUFFIXES:
                path = os.path.join(here, "_wake" + suffix)
                if os.path.exists(path):
                    break
            else:
                raise LibraryNotFound(f"the package's _wake module is missing in {here}: "
                                      "install the package with pip")
            loaded = ctypes.CDLL(path)
            for name, (result, arguments) in _WAKE_PROTOTYPES.items():
                function = getattr(loaded, name)
                function.restype = result
                function.argtypes = arguments
            _wake = loaded
        return _wake


class LibraryNotFound(OSError):
    """libzortcp.so.1 could not be loaded."""


def library_path() -> str:
    """The library to load: $ZORTCP_LIB, else the installed libzortcp.so.1."""
    return os.environ.get("ZORTCP_LIB") or LIBRARY_NAME


def library() -> ctypes.CDLL:
    """The loaded library, loaded on first use.

    ctypes.CDLL gives up the GIL during every call, so a call that waits
    (a write into a full ring, a close) lets the monitors run the handler.
    """
    global _library
    with _load_lock:
        if _library is None:
            path = library_path()
            try:
                loaded = ctypes.CDLL(path)
            except OSError as error:
                raise LibraryNotFound(
                    f"cannot load {path}: {error} (install zortcp, or set ZORTCP_LIB "
                    "to the path of libzortcp.so.1)"
                ) from error
            for name, (result, arguments) in _PROTOTYPES.items():
                function = getattr(loaded, name)
                function.restype = result
                function.argtypes = arguments
            _library = loaded
        return _library
