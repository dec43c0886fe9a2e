# SPDX-License-Identifier: MIT
"""Port settings as keyword arguments, written as a configuration file."""

from __future__ import annotations

import os
import tempfile
from typing import (Annotated, Any, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple,
                    TypedDict, Union, get_args, get_origin, get_type_hints)

INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)
MAX_SERVICE_CHARS = 32
MAX_DEBUG_FILE_CHARS = 131
MIN_RX_RING, MIN_TX_RING = 20480, 4096
DEFAULT_RX_RING, DEFAULT_TX_RING = 65536, 8192
# The rings the library gives a fast-mode port whose host chose no sizes.
FAST_RX_RING, FAST_TX_RING = 1048576, 262144
# The library reads a line in pieces of 255 characters, and its "Allowed
# Peers" lines add to one list: a long list is written in several lines.
ALLOWED_PEERS_LINE_CHARS = 200



class Setting(NamedTuple):
    """How a keyword argument reaches the port's configuration file."""

    keyword: Optional[str]  # the file's keyword; None for the ring sizes
    lowest: int = 0  # range of a number, byte length of a text
    highest: int = INT32_MAX


class Settings(TypedDict, total=False):
    """The settings of connect() and listen(): the one definition of their
    names, types, ranges and keywords in the configuration file, from
    which both the checks and the signatures come."""

    retry_count: Annotated[int, Setting("Connect Retry Count", INT32_MIN, INT32_MAX)]
    fast_transfer: Annotated[bool, Setting("Fast Transfer")]
    keep_alive: Annotated[int, Setting("Keep Alive", 0, 7200)]
    connect_timeout: Annotated[int, Setting("Connect Timeout", 0, 600000)]
    debug_level: Annotated[int, Setting("Debug Level", INT32_MIN, INT32_MAX)]
    debug_file: Annotated[Union[str, "os.PathLike[str]"], Setting("Debug Output File", 1,
                                                                  MAX_DEBUG_FILE_CHARS)]
    service_type: Annotated[str, Setting("Service Type", 1, MAX_SERVICE_CHARS)]
    lookup_host_name: Annotated[bool, Setting("Lookup Host Name")]
    allowed_peers: Annotated[Union[str, Sequence[str]], Setting("Allowed Peers")]
    rx_ring_size: Annotated[int, Setting(None, MIN_RX_RING, INT32_MAX)]
    tx_ring_size: Annotated[int, Setting(None, MIN_TX_RING, INT32_MAX)]


def _definitions() -> Dict[str, Tuple[type, Setting]]:
    hints = get_type_hints(Settings, include_extras=True)
    table = {}
    for name, hint in hints.items():
        base, setting = get_args(hint)[:2]
        kind: type = str if get_origin(base) is Union else base
        if name == "allowed_peers":
            kind = list
        table[name] = (kind, setting)
    return table


SETTINGS: Dict[str, Tuple[type, Setting]] = _definitions()
_RINGS = ("rx_ring_size", "tx_ring_size")

Service = Union[int, str]


def _text(name: str, value: Any, longest: int) -> str:
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a string, not {type(value).__name__}")
    # The file has one setting per line and no quoting: a line end would
    # start another setting, and outer blanks would be dropped.
    if any(mark in value for mark in "\r\n\0") or value != value.strip(" \t"):
        raise ValueError(f"{name} must not hold line ends, NUL or leading/trailing blanks: {value!r}")
    if not value or len(value.encode()) > longest:
        raise ValueError(f"{name} must have 1 to {longest} bytes: {value!r}")
    return value


def _number(name: str, value: Any, lowest: int, highest: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not lowest <= value <= highest:
        raise ValueError(f"{name} must be from {lowest} to {highest}: {value}")
    return value


def _peer_lines(name: str, value: Any) -> List[str]:
    """The "Allowed Peers" lines of a list of entries (or of one text of
    entries separated by commas, as the file takes it). The entries are
    the library's to judge: one it cannot read fails the open."""
    if isinstance(value, str):
        entries = value.split(",")
    elif isinstance(value, (list, tuple)) and all(isinstance(entry, str) for entry in value):
        entries = list(value)
    else:
        raise TypeError(f"{name} must be a string or a list of strings")
    if not entries or any(any(mark in entry for mark in ",\r\n\0") or not entry.strip(" \t")
                          for entry in entries):
        raise ValueError(f"{name} must be addresses or prefixes, none empty: {value!r}")
    lines: List[str] = []
    line = ""
    for entry in (entry.strip(" \t") for entry in entries):
        if line and len(line) + 1 + len(entry) > ALLOWED_PEERS_LINE_CHARS:
            lines.append(line)
            line = ""
        line = f"{line},{entry}" if line else entry
    return lines + [line]


def service_text(service: Service) -> str:
    """A service as the configuration file names it: a port number or a name."""
    if isinstance(service, bool):
        raise TypeError("service must be a port number or a service name")
    if isinstance(service, int):
        return str(_number("service", service, 0, 65535))
    text = _text("service", service, MAX_SERVICE_CHARS)
    if text[0].isdigit() and not (text.isdigit() and int(text) <= 65535):
        raise ValueError(f"service must be a port number from 0 to 65535 or a name: {text!r}")
    return text


class PortSettings:
    """The validated settings of one open: configuration lines and ring sizes."""

    def __init__(self, service: Service, settings: Mapping[str, Any]) -> None:
        self.lines: List[str] = [f"Service Name={service_text(service)}"]
        self.rings: Tuple[int, int] = (DEFAULT_RX_RING, DEFAULT_TX_RING)
        settings = dict(settings)
        if "debug_file" in settings and "debug_level" not in settings:
            settings["debug_level"] = 1
        if settings.get("debug_level", 0) != 0 and "debug_file" not in settings:
            # Without a file the port would log into whatever file an
            # earlier port on the same handle named.
            raise ValueError("debug_level needs debug_file")
        rings = dict(zip(_RINGS, self.rings))
        self.fast = settings.get("fast_transfer") is True
        if self.fast:
            # The sizes are always given (ZorChangeBufferSizes holds for the
            # whole process), so a fast-mode port asks for the rings the
            # library itself gives the fast mode: a 64 KiB receive ring
            # fills whenever the reader is a little late, and the receive
            # monitor and the reader then wake each other for every block.
            rings["rx_ring_size"] = FAST_RX_RING
            rings["tx_ring_size"] = FAST_TX_RING
        for name, value in settings.items():
            if name not in SETTINGS:
                raise TypeError(f"unknown port setting {name!r}")
            kind, setting = SETTINGS[name]
            if kind is list:
                self.lines += [f"{setting.keyword}={line}" for line in _peer_lines(name, value)]
            elif kind is bool:
                if not isinstance(value, bool):
                    raise TypeError(f"{name} must be True or False")
                # A file can only switch these on; off is the default.
                if value:
                    self.lines.append(f"{setting.keyword}=YES")
            elif kind is str:
                text = _text(name, value, setting.highest)
                self.lines.append(f"{setting.keyword}={text}")
            elif setting.keyword is None:
                rings[name] = _number(name, value, setting.lowest, setting.highest)
            else:
                number = _number(name, value, setting.lowest, setting.highest)
                self.lines.append(f"{setting.keyword}={number}")
        self.rings = (rings["rx_ring_size"], rings["tx_ring_size"])

    def text(self) -> str:
        return "".join(line + "\n" for line in self.lines)

    def write_file(self, directory: Optional[str] = None) -> str:
        """Writes the configuration to a private temporary file; returns its path."""
        descriptor, path = tempfile.mkstemp(prefix="zortcp-", suffix=".conf", dir=directory)
        with os.fdopen(descriptor, "w", encoding="utf-8") as file:
            file.write(self.text())
        return path
