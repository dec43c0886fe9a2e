# SPDX-License-Identifier: MIT
"""Failures: the library's last-error record as exceptions."""

from __future__ import annotations

import ctypes
from typing import NamedTuple, Optional

from . import _native

NOT_OPEN_TEXT = "Port handle specified is not in use"


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


class ZorError(Exception):
    """A call failed: location, code and text come from the last-error record.

    The record belongs to the whole library, so a failure of another port at
    the same moment can replace it before it is read; ``result`` is the
    failed call's own result and always belongs to this failure.
    """

    def __init__(
        self, call: str, result: int, location: int, code: int, text: str
    ) -> None:
        super().__init__(f"{call} failed ({result}): location {location}, error {code}: {text}")
        self.call = call
        self.result = result
        self.location = location
        self.code = code
        self.text = text

    @classmethod
    def from_record(cls, call: str, result: int, record: Optional[LastError] = None) -> "ZorError":
        record = record if record is not None else last_error()
        return cls(call, result, record.location, record.code, record.text)


class PortClosedError(ZorError):
    """A call on a port that is closed (or being closed).

    Raised by the binding without calling the library, with the numbers the
    library gives a handle that is not open: location 100*k + 2 and error
    900 + 100*k + 2, k being the call's number.
    """

    def __init__(self, call: str, call_number: int) -> None:
        super().__init__(
            call, -2, 100 * call_number + 2, 900 + 100 * call_number + 2, NOT_OPEN_TEXT
        )


class ZorUsageError(RuntimeError):
    """A call that would break the library's rules, refused by the binding."""
