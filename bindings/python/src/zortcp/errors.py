# SPDX-License-Identifier: MIT
"""Failures: the library's last-error record as exceptions."""

from __future__ import annotations

import ctypes
import errno
import socket
from typing import Any, Dict, NamedTuple, Optional, Tuple

from . import _native

NOT_OPEN_TEXT = "Port handle specified is not in use"

# The library's socket error numbers and the system error each stands for,
# as in the library's own table (a test compares the two).
SOCKET_ERRNO_NAMES: Dict[int, str] = {
    10004: "EINTR", 10009: "EBADF", 10013: "EACCES", 10014: "EFAULT", 10022: "EINVAL",
    10024: "EMFILE", 10035: "EWOULDBLOCK", 10036: "EINPROGRESS", 10037: "EALREADY",
    10038: "ENOTSOCK", 10039: "EDESTADDRREQ", 10040: "EMSGSIZE", 10041: "EPROTOTYPE",
    10042: "ENOPROTOOPT", 10043: "EPROTONOSUPPORT", 10044: "ESOCKTNOSUPPORT",
    10045: "EOPNOTSUPP", 10046: "EPFNOSUPPORT", 10047: "EAFNOSUPPORT", 10048: "EADDRINUSE",
    10049: "EADDRNOTAVAIL", 10050: "ENETDOWN", 10051: "ENETUNREACH", 10052: "ENETRESET",
    10053: "ECONNABORTED", 10054: "ECONNRESET", 10055: "ENOBUFS", 10056: "EISCONN",
    10057: "ENOTCONN", 10058: "ESHUTDOWN", 10059: "ETOOMANYREFS", 10060: "ETIMEDOUT",
    10061: "ECONNREFUSED", 10062: "ELOOP", 10063: "ENAMETOOLONG", 10064: "EHOSTDOWN",
    10065: "EHOSTUNREACH", 10066: "ENOTEMPTY", 10068: "EUSERS", 10069: "EDQUOT",
    10070: "ESTALE", 10071: "EREMOTE",
}


# The library's host look-up failures and the getaddrinfo() error each
# stands for: they raise socket.gaierror, as Python's own look-ups do.
HOST_ERROR_NAMES: Dict[int, str] = {
    11001: "EAI_NONAME", 11002: "EAI_AGAIN", 11003: "EAI_FAIL", 11004: "EAI_NODATA",
}


def socket_errno(code: int) -> Optional[int]:
    """The system error number for one of the library's error codes (for a
    host look-up failure, socket.EAI_*), or None."""
    name = SOCKET_ERRNO_NAMES.get(code)
    if name:
        return getattr(errno, name, None)
    name = HOST_ERROR_NAMES.get(code)
    return getattr(socket, name, None) if name else None


class LastError(NamedTuple):
    """One failure as the library records it."""

    code: int
    location: int
    text: str


def last_error() -> LastError:
    """The library-wide last-error record: the last failure of any port."""
    code = ctypes.c_int32(0)
    location = ctypes.c_int32(0)
    text = ctypes.create_string_buffer(_native.ERROR_TEXT_SIZE)
    _native.library().ZorGetLastError(ctypes.byref(code), ctypes.byref(location), text)
    return LastError(code.value, location.value, text.value.decode("utf-8", "replace"))


class ZorError(OSError):
    """A call failed: location, code and text come from the last-error record.

    An OSError whose errno is the system error that the library's code
    stands for, so ``except ConnectionRefusedError`` (10061), ``except
    TimeoutError`` (10060) or ``except OSError`` catch it; the instance is
    of a class that derives from both ZorError and the matching OSError
    subclass. A host name that cannot be looked up (11001 to 11004) gives
    a socket.gaierror, errno socket.EAI_NONAME and so on. The record belongs to the whole library, so a failure of
    another port at the same moment can replace it before it is read;
    ``result`` is the failed call's own result and always belongs to this
    failure.
    """

    call: str
    result: int
    location: int
    code: int
    text: str

    def __new__(cls, call: str, result: int, location: int, code: int,
                text: str) -> "ZorError":
        number = socket_errno(code)
        message = f"{call} failed ({result}): location {location}, error {code}: {text}"
        # OSError takes errno and text in __new__ when a class has its own.
        new: Any = OSError.__new__
        error: ZorError = new(_class_for(cls, code, number), *_os_arguments(number, message))
        return error

    def __init__(self, call: str, result: int, location: int, code: int, text: str) -> None:
        number = socket_errno(code)
        message = f"{call} failed ({result}): location {location}, error {code}: {text}"
        super().__init__(*_os_arguments(number, message))
        self.call = call
        self.result = result
        self.location = location
        self.code = code
        self.text = text

    def __str__(self) -> str:
        return f"{self.call} failed ({self.result}): location {self.location}, " \
               f"error {self.code}: {self.text}"

    def __reduce__(self) -> Tuple[object, ...]:
        return (ZorError, (self.call, self.result, self.location, self.code, self.text))

    @classmethod
    def from_record(cls, call: str, result: int, record: Optional[LastError] = None) -> "ZorError":
        record = record if record is not None else last_error()
        return cls(call, result, record.location, record.code, record.text)


def _os_arguments(number: Optional[int], message: str) -> Tuple[Any, ...]:
    return (number, message) if number is not None else (message,)


_classes: Dict[Tuple[type, type], type] = {}


def _class_for(base: type, code: int, number: Optional[int]) -> type:
    """base itself, or a class deriving from base and from the OSError
    subclass that Python uses for number (ConnectionRefusedError, ...), or
    from socket.gaierror for a host look-up failure."""
    if number is None:
        return base
    system: type = type(OSError(number, ""))
    if code in HOST_ERROR_NAMES:
        system = socket.gaierror
    if system is OSError or issubclass(base, system):
        return base
    key = (base, system)
    if key not in _classes:
        _classes[key] = type(f"{base.__name__}[{system.__name__}]", (base, system),
                             {"__module__": base.__module__})
    return _classes[key]


class PortClosedError(ZorError):
    """A call on a port that is closed (or being closed).

    Raised by the binding without calling the library, with the numbers the
    library gives a handle that is not open: location 100*k + 2 and error
    900 + 100*k + 2, k being the call's number.
    """

    def __new__(cls, call: str, call_number: int) -> "PortClosedError":
        new: Any = OSError.__new__
        error: PortClosedError = new(cls, NOT_OPEN_TEXT)
        return error

    def __init__(self, call: str, call_number: int) -> None:
        super().__init__(
            call, -2, 100 * call_number + 2, 900 + 100 * call_number + 2, NOT_OPEN_TEXT
        )

    def __reduce__(self) -> Tuple[object, ...]:
        return (PortClosedError, (self.call, (self.location - 2) // 100))


class ZorUsageError(RuntimeError):
    """A call that would break the library's rules, refused by the binding."""


class LinkLostError(ZorError):
    """A write or flush on a port whose link is lost for good, or on a server
    port that serves no peer: raised by the binding, with location 0 and
    error 10054 (ConnectionResetError) or 10057 (ENOTCONN)."""
