"""Units, captures and streams over the C library."""

from __future__ import annotations

import ctypes
import errno
import math
import os
import sys
import threading
import time
import warnings
import weakref
from ctypes import POINTER, byref, c_int16, c_int32, c_uint16
from dataclasses import dataclass, field
from typing import Callable, Iterable, Iterator, Optional, Sequence, Union

import numpy as np

from ._errors import (
    CaptureTimeoutError,
    DataLostError,
    DataLostWarning,
    DriverTooOldError,
    IdentityError,
    NoUnitError,
    OpenError,
    SimulateError,
    TooManyUnitsError,
    TrelvoError,
    UnitBusyError,
    UnitError,
)
from ._library import STATUS_UNIT_GONE, CaptureStatus, library

MAX_UNITS = 4
CHANNELS = range(1, 12)
_METHODS = {"block": 0, "window": 1}
_STREAM = 2
_MAX_U32 = 2**32 - 1
_INFO_LINES = 9
_FASTEST_SLOT_US = 50  # 200 timer ticks of 0.25 µs per slot at the fastest
_SLOWEST_SLOT_US = 16384  # 65536 ticks per slot at the slowest

# ---------------------------------------------------------------------------
# Arguments, checked before they reach the library


def _channel_list(channels: Union[int, Iterable[int]]) -> tuple[int, ...]:
    if isinstance(channels, (int, np.integer)):
        channels = (channels,)
    try:
        listed = tuple(channels)
    except TypeError:
        raise TypeError("channels must be a channel number or a list of them") from None
    if not 1 <= len(listed) <= 11:
        raise ValueError(f"list 1 to 11 channels, not {len(listed)}")
    for channel in listed:
        _check_channel(channel)
    return tuple(int(c) for c in listed)


def _check_channel(channel: object) -> int:
    if isinstance(channel, bool) or not isinstance(channel, (int, np.integer)):
        raise TypeError(f"a channel is a whole number 1 to 11, not {channel!r}")
    if int(channel) not in CHANNELS:
        raise ValueError(f"channel {channel} does not exist: channels are 1 to 11")
    return int(channel)


def _whole(name: str, value: object, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a whole number, not {value!r}")
    if not low <= int(value) <= high:
        raise ValueError(f"{name} must be {low} to {high}, not {value}")
    return int(value)


def _seconds(name: str, value: object, above_zero: bool = True) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} is a time in seconds, not {value!r}")
    seconds = float(value)
    if math.isnan(seconds) or seconds < 0 or (above_zero and seconds == 0):
        raise ValueError(f"{name} must be above 0 s, not {value}")
    return seconds


# ---------------------------------------------------------------------------
# Results


@dataclass(frozen=True)
class Trigger:
    """A level trigger: the capture centres on a reading of ``channel`` that
    crosses ``threshold`` (rising, or falling with ``rising=False``).

    ``threshold`` is on the reading scale (0 to 4095); a reading counts as
    above it only when strictly greater. ``delay`` places the block around the
    trigger reading, in percent of the block: 0 starts the block at the
    trigger, -50 centres it, -99 ends it just after the trigger, positive
    values start it after the trigger. ``auto`` (seconds) fires the trigger
    anyway when no edge came within that time of the capture's start. The
    channel need not be among the captured channels.
    """

    channel: int
    rising: bool = True
    threshold: int = 2048
    delay: int = 0
    auto: Optional[float] = None

    def __post_init__(self) -> None:
        _check_channel(self.channel)
        _whole("the trigger threshold", self.threshold, -32768, 32767)
        _whole("the trigger delay", self.delay, -32768, 32767)
        if self.auto is not None:
            milliseconds = round(_seconds("the auto-trigger time", self.auto) * 1000)
            if not 1 <= milliseconds <= 65535:
                raise ValueError(
                    f"the auto-trigger time must be 0.001 s to 65.535 s, not {self.auto}"
                )


@dataclass(frozen=True)
class Capture:
    """A block of readings.

    ``times`` holds one time per reading in microseconds (int32), relative to
    the trigger reading (negative before it; from 0 without a trigger).
    ``values`` holds the readings (uint16, 0 to 4095), one row per reading and
    one column per channel, in the order of ``channels``. ``block_time`` and
    ``interval`` (seconds) are what the unit achieved: the time of the whole
    block asked for and the time between two readings of a channel.
    """

    times: np.ndarray
    values: np.ndarray
    channels: tuple[int, ...]
    method: str
    block_time: float
    interval: float
    trigger: Optional[Trigger] = None

    def __len__(self) -> int:
        return len(self.times)

    def channel(self, channel: int) -> np.ndarray:
        """The column of one captured channel (the first, if listed twice)."""
        try:
            return self.values[:, self.channels.index(channel)]
        except ValueError:
            raise KeyError(f"channel {channel} was not captured (channels {self.channels})") from None


@dataclass(frozen=True)
class Chunk:
    """Readings of a stream, as they arrived.

    ``first_index`` is the index of the chunk's first reading on the unit's
    timeline (readings per channel from the start of the stream), and
    ``lost`` the readings per channel missing just before it (0 when it
    follows the previous chunk without a break). The readings of one chunk
    are consecutive. ``times`` (int64 microseconds) are computed from the
    readings' indices, so they stay true across a gap; ``values`` are as in
    :class:`Capture`. ``first`` counts the readings delivered before the
    chunk (equal to ``first_index`` while nothing was lost).
    """

    times: np.ndarray
    values: np.ndarray
    channels: tuple[int, ...]
    first: int
    first_index: int = 0
    lost: int = 0

    def __len__(self) -> int:
        return len(self.times)


@dataclass(frozen=True)
class UnitInfo:
    """The information lines of an open unit, by name."""

    handle: int
    library_version: str  # line 0
    usb_version: str  # line 1
    hardware_version: int  # line 2
    variant: str  # line 3: "TRELVO/12" or "TRELVO/10"
    first_text: str  # line 4, from the unit's identity memory
    second_text: str  # line 5, from the unit's identity memory
    driver_version: str  # line 6
    last_error: Optional[int]  # line 7: answers only without a unit, so None here
    unit_error: int  # line 8: why the unit's last failed operation failed (0: none)


# ---------------------------------------------------------------------------
# Process-wide state: the driver choice, the open units


_state_lock = threading.RLock()
_driver_setup: Optional[str] = None  # TRELVO_SIMULATE in force when the library chose its driver
_driver_chosen = False
_open_units: "weakref.WeakValueDictionary[int, Unit]" = weakref.WeakValueDictionary()


def _info_line(handle: int, line: int) -> str:
    buffer = ctypes.create_string_buffer(256)
    library().TrelvoGetUnitInfo(handle, buffer, len(buffer), line)
    return buffer.value.decode("latin-1")


def library_version() -> str:
    """The library's version (information line 0), e.g. "1.0.4.0"."""
    return _info_line(0, 0)


def _choose_driver(simulate: Optional[str]) -> None:
    """Makes ``simulate`` the process's TRELVO_SIMULATE before the library's
    first unit lookup, or checks that it matches the setup in force."""
    global _driver_setup, _driver_chosen
    if simulate is not None and not isinstance(simulate, str):
        raise TypeError(f"simulate is a TRELVO_SIMULATE setup text such as '2', not {simulate!r}")
    if not _driver_chosen:
        if simulate is not None:
            os.environ["TRELVO_SIMULATE"] = simulate
        _driver_setup = os.environ.get("TRELVO_SIMULATE") or None
        _driver_chosen = True
        return
    if simulate is not None and simulate != _driver_setup:
        using = (
            f"the simulated units {_driver_setup!r}" if _driver_setup else "the real unit driver"
        )
        raise SimulateError(
            f"this process already uses {using}; the library chooses its driver once per "
            f"process, so simulate={simulate!r} cannot take effect (start a new process)"
        )


def _locked_elsewhere() -> bool:
    """True when another program holds a unit's lock file (POSIX only).

    The library claims a unit with an advisory lock on a file per device in
    $TRELVO_LOCK_DIR (default /tmp/trelvo-locks-<uid>). Files of units this
    process has open are skipped: their locks would look the same.
    """
    if sys.platform.startswith("win"):
        return False
    import fcntl

    directory = os.environ.get("TRELVO_LOCK_DIR") or f"/tmp/trelvo-locks-{os.getuid()}"
    try:
        names = os.listdir(directory)
    except OSError:
        return False
    ours = {f"suvopp-{handle - 1}.lock" for handle in _open_units.keys()}
    for name in names:
        if not (name.startswith("suvopp-") and name.endswith(".lock")) or name in ours:
            continue
        try:
            descriptor = os.open(os.path.join(directory, name), os.O_RDONLY | os.O_CLOEXEC)
        except OSError:
            continue
        try:
            fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
            fcntl.flock(descriptor, fcntl.LOCK_UN)
        except OSError as error:
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                return True
        finally:
            os.close(descriptor)
    return False


def _open_failure() -> OpenError:
    """The exception for an open that returned no handle, from line 7."""
    text = _info_line(0, 7)
    code = int(text) if text.lstrip("-").isdigit() else -1
    if code == 1:
        return DriverTooOldError(
            "driver too old: the SUVOPP kernel driver is older than this library accepts "
            "(install the driver that came with the library)",
            code,
        )
    if code == 3:
        return IdentityError(
            "identity record invalid: the unit's identity memory does not hold a valid record "
            "(wrong checksum or unknown variant)",
            code,
        )
    if code == 6:
        return TooManyUnitsError(
            f"{MAX_UNITS} units are already open in this process, the most the library handles",
            code,
        )
    if code == 4:
        if _locked_elsewhere():
            return UnitBusyError("unit busy: every unit found is in use by another program", code)
        mine = sorted(_open_units.keys())
        where = (
            f"among the simulated units {_driver_setup!r}"
            if _driver_setup
            else "(none is connected, or every one is in use by another program)"
        )
        if mine:
            where += f"; this process has unit{'s' if len(mine) > 1 else ''} "
            where += ", ".join(map(str, mine)) + " open"
        return NoUnitError(f"no unit found {where}", code)
    return OpenError(f"could not open a unit (library error {code})", code)


def _open_handle(progress: Optional[Callable[[int], object]]) -> int:
    """Opens a unit in the background, reporting progress; returns its handle
    or raises the open's failure. Called with _state_lock held."""
    lib = library()
    started = lib.TrelvoOpenUnitAsync()
    if started == 0:
        raise _open_failure()
    if started < 0:
        # A background open is still recorded (not made through this package):
        # open in the foreground instead.
        handle = lib.TrelvoOpenUnit()
        if handle == 0:
            raise _open_failure()
        return int(handle)

    handle = c_int16(0)
    percent = c_int16(0)
    reported = -1
    pending: Optional[BaseException] = None
    while True:
        try:
            state = lib.TrelvoOpenUnitProgress(byref(handle), byref(percent))
            if state == 1:
                break
            if state < 0:
                raise OpenError("the background open was lost", -1)
            if progress is not None and pending is None and percent.value != reported:
                reported = percent.value
                progress(reported)
            time.sleep(0.02)
        except BaseException as error:  # noqa: B902 - Ctrl-C or the callback's error
            if isinstance(error, OpenError):
                raise
            # The open cannot be cancelled: collect it so that the unit is not
            # left open where nobody can reach it, then raise.
            if pending is None:
                pending = error
            progress = None
    if pending is not None:
        if handle.value:
            lib.TrelvoCloseUnit(handle.value)
        raise pending
    if progress is not None and reported != 100:
        try:
            progress(100)
        except BaseException:
            if handle.value:
                lib.TrelvoCloseUnit(handle.value)
            raise
    if handle.value == 0:
        raise _open_failure()
    return int(handle.value)


def open(  # noqa: A001 - the package's verb, as in trelvo.open()
    simulate: Optional[str] = None, progress: Optional[Callable[[int], object]] = None
) -> "Unit":
    """Opens the first free unit and returns it.

    Opening takes about 0.75 s, and up to 20 s more when the unit must first
    receive its firmware; it runs in the library's background open, and
    ``progress(percent)`` (0 to 100) is called as it goes, ending with 100.

    ``simulate`` sets up simulated units for this process instead of the real
    driver, in the grammar of the TRELVO_SIMULATE variable ("1", "12,10",
    "12:fast;ch1=sine(1000,500,50Hz)"). The library chooses its driver once
    per process: the first open (or :func:`list_units`) decides, later calls
    may repeat the same ``simulate`` or leave it out, and a different one
    raises :class:`SimulateError`.

    Raises :class:`NoUnitError`, :class:`UnitBusyError`,
    :class:`DriverTooOldError`, :class:`IdentityError` or
    :class:`TooManyUnitsError`.
    """
    if progress is not None and not callable(progress):
        raise TypeError("progress must be a function taking the percent done")
    library()  # a missing library raises before the driver choice is recorded
    with _state_lock:
        _choose_driver(simulate)
        handle = _open_handle(progress)
        unit = Unit._adopt(handle)
        _open_units[handle] = unit
        return unit


def list_units(simulate: Optional[str] = None) -> list[UnitInfo]:
    """The information of every unit this process can use, by handle.

    Units this process has open are listed as they are; the others are
    opened for a moment (at most four units in all) and closed again.
    ``simulate`` is as for :func:`open`.
    """
    library()
    with _state_lock:
        _choose_driver(simulate)
        infos = {h: u.info for h, u in list(_open_units.items()) if not u.closed}
        opened: list[int] = []
        try:
            while len(infos) < MAX_UNITS:
                try:
                    handle = _open_handle(None)
                except (NoUnitError, UnitBusyError, TooManyUnitsError):
                    break
                except OpenError:
                    if infos:
                        break
                    raise
                opened.append(handle)
                infos[handle] = Unit._read_info(handle)
        finally:
            for handle in opened:
                library().TrelvoCloseUnit(handle)
        return [infos[h] for h in sorted(infos)]


# ---------------------------------------------------------------------------
# Units


class Unit:
    """An open unit. Use it as a context manager, or call :meth:`close`.

    A unit is used from one thread at a time. Starting a capture, a stream or
    a single reading ends the stream that runs on the unit, if any.
    """

    def __init__(self) -> None:
        raise TypeError("units come from trelvo.open()")

    @classmethod
    def _adopt(cls, handle: int) -> "Unit":
        unit = cls.__new__(cls)
        unit._handle = handle
        unit._closed = False
        unit._stream = None
        return unit

    _handle: int
    _closed: bool
    _stream: "Optional[weakref.ReferenceType[Stream]]"

    # -- life ---------------------------------------------------------------

    @property
    def handle(self) -> int:
        """The library's handle of the unit (device-file index + 1)."""
        return self._handle

    @property
    def closed(self) -> bool:
        """True once the unit has been closed."""
        return self._closed

    def close(self) -> None:
        """Stops whatever runs on the unit and closes it. Closing twice is harmless."""
        if self._closed:
            return
        self._end_stream()
        self._closed = True
        with _state_lock:
            if _open_units.get(self._handle) is self:
                del _open_units[self._handle]
            library().TrelvoCloseUnit(self._handle)

    def __enter__(self) -> "Unit":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - at interpreter exit the library may be gone
            pass

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<trelvo.Unit handle={self._handle} {state}>"

    def _live(self) -> int:
        if self._closed:
            raise ValueError(f"unit {self._handle} is closed")
        return self._handle

    def _fail(self, operation: str, reason: str = "") -> UnitError:
        text = _info_line(self._handle, 8)
        code = int(text) if text.lstrip("-").isdigit() else -1
        return UnitError(operation, code, reason)

    def _end_stream(self) -> None:
        stream = self._stream() if self._stream is not None else None
        self._stream = None
        if stream is not None:
            stream._end("another operation on the unit ended the stream")

    # -- information ----------------------------------------------------------

    @staticmethod
    def _read_info(handle: int) -> UnitInfo:
        lines = [_info_line(handle, line) for line in range(_INFO_LINES)]
        return UnitInfo(
            handle=handle,
            library_version=lines[0],
            usb_version=lines[1],
            hardware_version=int(lines[2]) if lines[2].lstrip("-").isdigit() else 0,
            variant=lines[3],
            first_text=lines[4],
            second_text=lines[5],
            driver_version=lines[6],
            last_error=int(lines[7]) if lines[7].lstrip("-").isdigit() else None,
            unit_error=int(lines[8]) if lines[8].lstrip("-").isdigit() else 0,
        )

    @property
    def info(self) -> UnitInfo:
        """Every information line of the unit, by name (read afresh)."""
        return self._read_info(self._live())

    @property
    def max_value(self) -> int:
        """The full-scale reading, 4095 on both variants."""
        value = c_int16(0)
        if not library().TrelvoMaxValue(self._live(), byref(value)):
            raise self._fail("asking for the full-scale reading")
        return int(value.value)

    # -- single readings and outputs -----------------------------------------

    def read(self, channel: int) -> int:
        """Takes one reading of ``channel`` (1 to 11), 0 to 4095. Halts a running capture."""
        handle = self._live()
        channel = _check_channel(channel)
        self._end_stream()
        value = c_uint16(0)
        if not library().TrelvoGetValue(handle, channel, byref(value)):
            raise self._fail(f"reading channel {channel}", "the unit did not answer")
        return int(value.value)

    def set_output(self, output: int, on: bool) -> None:
        """Switches digital output 0 or 1 on or off.

        The new state reaches the output at the unit's next conversion; when
        no capture runs, a single reading is taken to carry it there.
        """
        handle = self._live()
        output = _whole("output", output, 0, 1)
        if not library().TrelvoSetDo(handle, 1 if on else 0, output):
            raise self._fail(f"switching output {output}", "the unit did not answer")

    # -- captures -------------------------------------------------------------

    def _configure(
        self,
        channels: tuple[int, ...],
        block_us: int,
        readings: int,
        trigger: Optional[Trigger],
        slots: int,
    ) -> float:
        """Sets trigger, channels and timing; returns the achieved time of
        `readings` readings in µs."""
        lib = library()
        handle = self._handle
        if trigger is None:
            # Also zeroes the delay, so that times start at 0.
            ok = lib.TrelvoSetTrigger(handle, 0, 0, 0, 1, 0, 0, 0)
        else:
            auto_ms = 0 if trigger.auto is None else round(trigger.auto * 1000)
            ok = lib.TrelvoSetTrigger(
                handle,
                1,
                1 if auto_ms else 0,
                auto_ms,
                trigger.channel,
                0 if trigger.rising else 1,
                trigger.threshold,
                trigger.delay,
            )
        if not ok:
            raise self._fail("setting the trigger")
        # The library reports the achieved block time in 32 bits, which a
        # long block of many readings outgrows. Only the ratio of time to
        # readings matters for the timer (the capture's length comes with
        # TrelvoRun), so ask for the same pace over fewer readings when the
        # block could outgrow it, and scale the answer back up.
        ideal, asked_us = readings, block_us
        most = _MAX_U32 // (slots * _SLOWEST_SLOT_US)
        if ideal > most:
            ideal, asked_us = most, max(1, round(block_us * most / readings))
        listed = (c_int16 * len(channels))(*channels)
        achieved = lib.TrelvoSetInterval(handle, asked_us, ideal, listed, len(channels))
        if achieved <= 0:
            raise self._fail("setting the channels and block time")
        return achieved * readings / ideal

    def _run(self, readings: int, method: int, channels: tuple[int, ...]) -> None:
        if not library().TrelvoRun(self._handle, readings, method):
            raise self._fail(
                "starting the capture",
                f"no room for {readings} readings of {len(channels)} channel"
                f"{'s' if len(channels) > 1 else ''}",
            )

    def capture(
        self,
        channels: Union[int, Sequence[int]],
        block_time: float,
        readings: int,
        method: str = "block",
        trigger: Optional[Trigger] = None,
        timeout: Optional[float] = None,
    ) -> Capture:
        """Captures ``readings`` readings of each channel spread over
        ``block_time`` seconds, and returns them.

        ``method="block"`` captures one block; ``"window"`` keeps capturing
        after the block is complete and returns the newest ``readings``
        readings (the unit is stopped afterwards). With a ``trigger`` the
        capture waits for it; ``timeout`` (seconds) gives up waiting with
        :class:`CaptureTimeoutError`. Without a trigger and a timeout, a unit
        that delivers nothing for twice the expected time plus 10 s raises
        :class:`UnitError`. The unit achieves the nearest block time its timer
        allows (a ``block_time`` shorter than it can manage gives its fastest
        pace, 50 µs per channel); :attr:`Capture.block_time` tells which.
        """
        handle = self._live()
        channels = _channel_list(channels)
        readings = _whole("readings", readings, 1, _MAX_U32)
        if method not in _METHODS:
            raise ValueError(f"method must be 'block' or 'window', not {method!r}")
        if trigger is not None and not isinstance(trigger, Trigger):
            raise TypeError("trigger must be a trelvo.Trigger")
        slots = len(channels) + (trigger is not None and trigger.channel not in channels)
        block_us = self._block_us(block_time, readings, slots)
        limit = None if timeout is None else _seconds("timeout", timeout)
        self._check_trigger(channels, trigger)
        if trigger is not None and (trigger.delay + 100) * readings / 100 < 1:
            # The capture completes (delay + 100) % of the block after the
            # trigger; with no reading left there it would never complete.
            raise ValueError(
                f"a trigger delay of {trigger.delay} % leaves no reading after the trigger in a "
                f"block of {readings} readings (raise the delay or the readings)"
            )

        self._end_stream()
        achieved = self._configure(channels, block_us, readings, trigger, slots)
        interval_us = achieved / readings
        self._run(readings, _METHODS[method], channels)
        lib = library()
        try:
            self._wait(trigger, limit, interval_us, readings)
            times = np.empty(readings, dtype=np.int32)
            values = np.empty((readings, len(channels)), dtype=np.uint16)
            delivered = lib.TrelvoGetTimesAndValues(
                handle,
                times.ctypes.data_as(POINTER(c_int32)),
                values.ctypes.data_as(POINTER(c_uint16)),
                readings,
            )
            if delivered <= 0:
                raise self._fail("reading the capture", "no readings arrived")
        except BaseException:
            lib.TrelvoStop(handle)  # also after Ctrl-C: leave the unit idle
            raise
        if method == "window":
            lib.TrelvoStop(handle)
        if delivered >= 5:
            # The library's times are trunc(i * period) from the first one, and
            # the period is a whole number of quarter microseconds, so four
            # periods are exact where the achieved block time was truncated.
            interval_us = (int(times[4]) - int(times[0])) / 4
        if delivered < readings:
            times, values = times[:delivered].copy(), values[:delivered].copy()
        return Capture(
            times=times,
            values=values,
            channels=channels,
            method=method,
            block_time=achieved / 1e6,
            interval=interval_us / 1e6,
            trigger=trigger,
        )

    @staticmethod
    def _block_us(block_time: float, readings: int, slots: int) -> int:
        """The block time in µs to ask the library for.

        The unit converts one slot every 50 µs at the fastest; a block time
        below what `readings` scans of `slots` slots need is raised to that,
        which gives the fastest setting (the library's timer search would
        otherwise meet block times beyond 32 bits on its slow settings).
        """
        block_us = round(_seconds("block_time", block_time) * 1e6)
        fastest_us = readings * slots * _FASTEST_SLOT_US
        if fastest_us > _MAX_U32:
            raise ValueError(
                f"{readings} readings of {slots} channel{'s' if slots > 1 else ''} (a trigger "
                f"channel not captured counts too) take at least "
                f"{fastest_us / 1e6:.0f} s, more than the longest block ({_MAX_U32 / 1e6:.0f} s): "
                "ask for fewer readings"
            )
        if block_us > _MAX_U32:
            raise ValueError(f"block_time must be at most {_MAX_U32 / 1e6:.0f} s, not {block_time}")
        return max(block_us, fastest_us)

    @staticmethod
    def _check_trigger(channels: tuple[int, ...], trigger: Optional[Trigger]) -> None:
        if trigger is not None and trigger.channel not in channels and len(channels) == 11:
            raise ValueError(
                f"trigger channel {trigger.channel} is not among the 11 channels listed, and the "
                "unit scans at most 11: list it, or capture at most 10 other channels"
            )

    def _wait(
        self,
        trigger: Optional[Trigger],
        limit: Optional[float],
        interval_us: float,
        readings: int,
    ) -> None:
        """Polls until the capture is complete."""
        ready = library().TrelvoReady
        handle = self._handle
        start = time.monotonic()
        expected = interval_us * (readings + 15) / 1e6
        if limit is None and trigger is None:
            silent_after: Optional[float] = 2 * expected + 10
        else:
            silent_after = None
        poll = min(max(interval_us / 1e6, 0.001), 0.02)
        while not ready(handle):
            elapsed = time.monotonic() - start
            if limit is not None and elapsed >= limit:
                if trigger is not None:
                    edge = "rose" if trigger.rising else "fell"
                    raise CaptureTimeoutError(
                        f"no trigger within {limit:g} s: channel {trigger.channel} never {edge} "
                        f"through {trigger.threshold}"
                    )
                raise CaptureTimeoutError(f"the capture did not complete within {limit:g} s")
            if silent_after is not None and elapsed >= silent_after:
                raise self._fail(
                    "capturing", f"the capture did not complete within {silent_after:.1f} s"
                )
            time.sleep(poll)

    def stream(
        self,
        channels: Union[int, Sequence[int]],
        block_time: float,
        readings: int,
        duration: Optional[float] = None,
        count: Optional[int] = None,
        on_loss: str = "warn",
    ) -> "Stream":
        """Streams every reading of ``channels`` as it arrives.

        ``block_time`` and ``readings`` set the pace (``readings`` readings in
        ``block_time`` seconds) and the size of the library's buffer: the
        stream keeps ``readings`` readings per channel waiting, so take
        chunks faster than ``block_time`` or readings are lost (a unit keeps
        a larger buffer from an earlier capture; ``Stream.buffer_readings``
        says what this stream has). The
        stream ends after ``count`` readings per channel in all, or after the
        readings that span ``duration`` seconds, whichever comes first; with
        neither it runs until closed (``count`` and ``duration`` measure the
        unit's timeline: readings lost count against them). Returns a
        :class:`Stream`: iterate over it for :class:`Chunk` objects, and close
        it (or use it in a ``with`` block) to stop the unit early.

        Lost readings are counted exactly, by cause (``Stream.lost_ring_full``,
        ``Stream.lost_on_the_way``); a chunk after a gap says how many
        readings are missing before it. ``on_loss`` chooses what else
        happens: ``"warn"`` (default) issues a :class:`DataLostWarning`,
        ``"raise"`` raises :class:`DataLostError` (carrying the chunk),
        ``"ignore"`` nothing.
        """
        self._live()
        if on_loss not in ("warn", "raise", "ignore"):
            raise ValueError(f'on_loss must be "warn", "raise" or "ignore", not {on_loss!r}')
        channels = _channel_list(channels)
        readings = _whole("readings", readings, 1, _MAX_U32)
        block_us = self._block_us(block_time, readings, len(channels))
        if count is not None:
            count = _whole("count", count, 1, 2**63 - 1)
        span = None if duration is None else _seconds("duration", duration)
        self._end_stream()
        stream = Stream(self, channels, block_us, readings, count, span, on_loss)
        self._stream = weakref.ref(stream)
        return stream


class Stream:
    """A running stream capture; iterate over it for :class:`Chunk` objects.

    Times are numbered in 64 bits from the start of the stream by each
    reading's index; the library's own times restart at each retrieval.
    ``lost_ring_full`` and ``lost_on_the_way`` total the readings per channel
    missing so far by cause, ``lost`` both. Closing the stream (or leaving its
    ``with`` block, or breaking out of a ``for`` loop over ``unit.stream(...)``
    and letting it go) stops the unit.
    """

    def __init__(
        self,
        unit: Unit,
        channels: tuple[int, ...],
        block_us: int,
        readings: int,
        count: Optional[int],
        duration: Optional[float],
        on_loss: str = "warn",
    ) -> None:
        self._unit = unit
        self.on_loss = on_loss
        self.lost_ring_full = 0
        self.lost_on_the_way = 0
        self._next_index = 0
        self._status = CaptureStatus()
        self._handle = unit.handle
        self.channels = channels
        self._readings = readings
        self._running = False
        self._ended: Optional[str] = None
        achieved = unit._configure(channels, block_us, readings, None, len(channels))
        # The reading period is a whole number of quarter microseconds (timer
        # ticks of 0.25 µs times slots times oversampling); the achieved block
        # time is it times `readings`, truncated. The first chunk refines it.
        self._quarters = max(1, round(4 * achieved / readings))
        self.block_time: float = achieved / 1e6
        if duration is not None:
            by_duration = max(1, math.floor(duration * 4e6 / self._quarters + 1e-9))
            count = by_duration if count is None else min(count, by_duration)
        self.count: Optional[int] = count
        self.delivered = 0
        width = len(channels)
        self._values = np.empty((readings, width), dtype=np.uint16)
        self._times = np.empty(readings, dtype=np.int32)
        self._values_pointer = self._values.ctypes.data_as(POINTER(c_uint16))
        self._times_pointer = self._times.ctypes.data_as(POINTER(c_int32))
        buffer_seconds = readings * self._quarters / 4e6
        self._longest_poll = min(max(buffer_seconds / 4, 0.001), 0.05)
        self._stall_after = max(2.0, 10 * buffer_seconds)
        unit._run(readings, _STREAM, channels)
        self._running = True

    @property
    def interval(self) -> float:
        """Seconds between two readings of a channel."""
        return self._quarters / 4e6

    @property
    def buffer_readings(self) -> int:
        """Readings per channel the library's buffer holds for this stream:
        ``readings``, or more when the unit kept a larger buffer from an
        earlier capture. A reader further behind than this loses readings."""
        status = self._read_status()
        if status.size < CaptureStatus.bufferReadings.offset + 8:
            return self._readings  # a library older than this field
        return int(status.bufferReadings)

    @property
    def lost(self) -> int:
        """Readings per channel missing so far, whatever the cause."""
        return self.lost_ring_full + self.lost_on_the_way

    def _read_status(self) -> CaptureStatus:
        status = self._status
        status.size = ctypes.sizeof(CaptureStatus)
        if not library().TrelvoGetCaptureStatus(self._handle, byref(status)):
            raise self._unit._fail("reading the capture status")
        return status

    def _report_loss(self, chunk: Chunk, ring_full: int, on_the_way: int) -> None:
        if chunk.lost == 0 or self.on_loss == "ignore":
            return
        causes = []
        if ring_full:
            causes.append(f"{ring_full} not taken in time")
        if on_the_way:
            causes.append(f"{on_the_way} lost on the way from the unit")
        message = (
            f"unit {self._handle}: {chunk.lost} readings per channel lost before index "
            f"{chunk.first_index} ({', '.join(causes)})"
        )
        if self.on_loss == "raise":
            raise DataLostError(message, chunk, chunk.lost, ring_full, on_the_way)
        warnings.warn(message, DataLostWarning, stacklevel=3)

    def __iter__(self) -> Iterator[Chunk]:
        return self

    def __next__(self) -> Chunk:
        if not self._running:
            if self._ended is not None:
                raise TrelvoError(f"the stream of unit {self._handle} is over: {self._ended}")
            raise StopIteration
        lib = library()
        width = len(self.channels)
        poll = 0.001
        quiet_since = time.monotonic()
        while True:
            wanted = self._readings
            if self.count is not None:
                wanted = max(1, min(wanted, self.count - self._next_index))
            if self.delivered == 0:
                n = lib.TrelvoGetTimesAndValues(
                    self._handle, self._times_pointer, self._values_pointer, wanted
                )
            else:
                n = lib.TrelvoGetValues(self._handle, self._values_pointer, wanted)
            if n > 0:
                break
            if time.monotonic() - quiet_since > self._stall_after:
                gone = self._read_status().flags & STATUS_UNIT_GONE
                error = self._unit._fail(
                    "streaming",
                    "the unit left the bus"
                    if gone
                    else f"no readings for {self._stall_after:.1f} s",
                )
                self.close()
                raise error
            # Back off while nothing arrives, but come back soon after data:
            # a fast unit fills the buffer quickly.
            time.sleep(poll)
            poll = min(poll * 2, self._longest_poll)
        status = self._read_status()
        if self.delivered == 0 and n >= 5:
            # The library's times are trunc(i * period): four periods are exact.
            self._quarters = int(self._times[4]) - int(self._times[0])
        first_index = int(status.lastFirstIndex)
        lost = max(0, first_index - self._next_index)
        if self.count is not None:
            # Only what the stream's own span missed counts against it.
            lost = min(lost, max(0, self.count - self._next_index))
        # Readings the ring dropped all lie before the oldest it still holds,
        # so they explain the gap first; the rest was lost on the way.
        ring_full = min(lost, max(0, int(status.droppedRingFull) - self.lost_ring_full))
        on_the_way = lost - ring_full
        self.lost_ring_full += ring_full
        self.lost_on_the_way += on_the_way
        if self.count is not None:
            n = max(0, min(n, self.count - first_index))
        first = self.delivered
        index = np.arange(first_index, first_index + n, dtype=np.int64)
        times = (index * self._quarters) // 4
        values = self._values[:n].copy()
        self.delivered += n
        self._next_index = first_index + n
        if self.count is not None and self._next_index >= self.count:
            self.close()
        assert values.shape == (n, width)
        chunk = Chunk(
            times=times,
            values=values,
            channels=self.channels,
            first=first,
            first_index=first_index,
            lost=lost,
        )
        self._report_loss(chunk, ring_full, on_the_way)
        return chunk

    def read_all(self) -> Chunk:
        """Every remaining reading of a stream with a ``count`` or ``duration``, in one chunk."""
        if self.count is None:
            raise ValueError("read_all needs a stream with a count or a duration")
        first = self.delivered
        first_index = self._next_index
        chunks = list(self)
        times = np.concatenate([c.times for c in chunks]) if chunks else np.empty(0, np.int64)
        values = (
            np.concatenate([c.values for c in chunks])
            if chunks
            else np.empty((0, len(self.channels)), np.uint16)
        )
        return Chunk(
            times=times,
            values=values,
            channels=self.channels,
            first=first,
            first_index=chunks[0].first_index if chunks else first_index,
            lost=sum(c.lost for c in chunks),
        )

    def _end(self, why: str) -> None:
        if self._running:
            self._running = False
            self._ended = why

    def close(self) -> None:
        """Stops the stream and the unit's capture. Closing twice is harmless."""
        if self._running:
            self._running = False
            if not self._unit.closed:
                library().TrelvoStop(self._handle)
        if self._unit._stream is not None and self._unit._stream() is self:
            self._unit._stream = None

    def __enter__(self) -> "Stream":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - at interpreter exit the library may be gone
            pass
