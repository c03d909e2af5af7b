"""Exceptions raised by the trelvo package."""

from __future__ import annotations


class TrelvoError(Exception):
    """Base class of every error the trelvo package raises on its own."""


class LibraryNotFoundError(TrelvoError, OSError):
    """The Trelvo C library could not be found or loaded; the message lists what was tried."""


class SimulateError(TrelvoError):
    """``simulate`` asks for other units than the process already uses.

    The library chooses its driver (real or simulated, and which simulated
    units) once per process, at its first unit lookup; a different setup needs
    a new process.
    """


class OpenError(TrelvoError):
    """Opening a unit failed. ``code`` is the library's process-wide error number."""

    def __init__(self, message: str, code: int) -> None:
        super().__init__(message)
        self.code = code


class NoUnitError(OpenError):
    """No unit could be found (none connected, or every one is already open)."""


class UnitBusyError(OpenError):
    """Every unit found is in use by another program."""


class DriverTooOldError(OpenError):
    """The kernel driver is older than the library accepts."""


class IdentityError(OpenError):
    """The unit's identity record is invalid (wrong checksum or unknown variant)."""


class TooManyUnitsError(OpenError):
    """Four units are already open in this process, the most the library handles."""


class UnitError(TrelvoError):
    """An operation on an open unit failed.

    ``operation`` names it in words, ``code`` is the unit's error number
    (information line 8: 0 none recorded, 3 an argument out of range, 6 no
    buffer for the readings).
    """

    def __init__(self, operation: str, code: int, reason: str = "") -> None:
        detail = f": {reason}" if reason else ""
        super().__init__(f"{operation} failed{detail} (unit error {code})")
        self.operation = operation
        self.code = code


class CaptureTimeoutError(TrelvoError, TimeoutError):
    """A capture did not complete (its trigger did not fire) within the time allowed."""


class DataLostWarning(UserWarning):
    """Readings of a stream went missing before a chunk (see :class:`DataLostError`)."""


class DataLostError(TrelvoError):
    """Readings of a stream went missing just before ``chunk``.

    ``lost`` readings per channel are missing before ``first_index`` (the
    index of the chunk's first reading); ``ring_full`` of them because they
    were not taken in time, ``on_the_way`` lost between unit and host. The
    stream keeps running: take further chunks or close it.
    """

    def __init__(self, message: str, chunk: object, lost: int, ring_full: int, on_the_way: int) -> None:
        super().__init__(message)
        self.chunk = chunk
        self.lost = lost
        self.first_index = getattr(chunk, "first_index", 0)
        self.ring_full = ring_full
        self.on_the_way = on_the_way
