# SPDX-License-Identifier: MIT
"""Port settings as keyword arguments, written as a configuration file."""

from __future__ import annotations

import os
import tempfile
from typing import Any, Dict, List, Optional, Tuple, Union

INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)
MAX_SERVICE_CHARS = 32
MAX_DEBUG_FILE_CHARS = 131
MIN_RX_RING, MIN_TX_RING = 20480, 4096
DEFAULT_RX_RING, DEFAULT_TX_RING = 65536, 8192

# keyword argument: (configuration keyword, kind, lowest, highest)
_NUMBERS = {
    "retry_count": ("Connect Retry Count", INT32_MIN, INT32_MAX),
    "debug_level": ("Debug Level", INT32_MIN, INT32_MAX),
    "keep_alive": ("Keep Alive", 0, 7200),
    "connect_timeout": ("Connect Timeout", 0, 600000),
}
_SWITCHES = {
    "fast_transfer": "Fast Transfer",
    "lookup_host_name": "Lookup Host Name",
}
_TEXTS = {
    "service_type": ("Service Type", MAX_SERVICE_CHARS),
    "debug_file": ("Debug Output File", MAX_DEBUG_FILE_CHARS),
}
_RINGS = {"rx_ring_size": (MIN_RX_RING, DEFAULT_RX_RING), "tx_ring_size": (MIN_TX_RING, DEFAULT_TX_RING)}

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

    def __init__(self, service: Service, settings: Dict[str, Any]) -> None:
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
        for name, value in settings.items():
            if name in _NUMBERS:
                keyword, lowest, highest = _NUMBERS[name]
                self.lines.append(f"{keyword}={_number(name, value, lowest, highest)}")
            elif name in _SWITCHES:
                if not isinstance(value, bool):
                    raise TypeError(f"{name} must be True or False")
                # A file can only switch these on; off is the default.
                if value:
                    self.lines.append(f"{_SWITCHES[name]}=YES")
            elif name in _TEXTS:
                keyword, longest = _TEXTS[name]
                self.lines.append(f"{keyword}={_text(name, value, longest)}")
            elif name in _RINGS:
                rings[name] = _number(name, value, _RINGS[name][0], INT32_MAX)
            else:
                raise TypeError(f"unknown port setting {name!r}")
        self.rings = (rings["rx_ring_size"], rings["tx_ring_size"])

    def text(self) -> str:
        return "".join(line + "\n" for line in self.lines)

    def write_file(self, directory: Optional[str] = None) -> str:
        """Writes the configuration to a private temporary file; returns its path."""
        descriptor, path = tempfile.mkstemp(prefix="zortcp-", suffix=".conf", dir=directory)
        with os.fdopen(descriptor, "w", encoding="utf-8") as file:
            file.write(self.text())
        return path
