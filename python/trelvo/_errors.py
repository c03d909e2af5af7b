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
