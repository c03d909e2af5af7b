"""Block and window captures of unit A's known signals."""

from __future__ import annotations

import time

import numpy as np
import pytest

import trelvo
from trelvo._library import library

SQUARE_LOW, SQUARE_HIGH = 548, 3548


def counts_by_one(column: np.ndarray) -> bool:
    return bool(np.all(np.diff(column.astype(np.int64)) % 4096 == 1))


def idle(unit: trelvo.Unit) -> bool:
    return library().TrelvoReady(unit.handle) == 0


def test_triggered_block_centres_the_rising_edge(unit_a):
    trigger = trelvo.Trigger(4, rising=True, threshold=2048, delay=-50)
    c = unit_a.capture([4, 2], block_time=0.1, readings=1000, trigger=trigger)
    assert (c.block_time, c.interval, c.channels, c.method) == (0.1, 1e-4, (4, 2), "block")
    assert c.times.dtype == np.int32 and c.values.dtype == np.uint16
    assert c.values.shape == (1000, 2)
    assert np.array_equal(c.times, np.arange(-50000, 50000, 100))
    square, steady = c.values[:, 0], c.values[:, 1]
    assert square[500] == SQUARE_HIGH and square[499] == SQUARE_LOW  # the edge at time 0
    assert set(np.unique(square)) == {SQUARE_LOW, SQUARE_HIGH}
    assert np.all(steady == 1000)
    assert np.array_equal(c.channel(2), steady)
    assert idle(unit_a)


def test_falling_trigger_on_a_channel_not_captured(unit_a):
    trigger = trelvo.Trigger(4, rising=False, threshold=2048, delay=0)
    c = unit_a.capture([3, 2], block_time=0.1, readings=500, trigger=trigger)
    # The trigger channel takes a slot of its own and never shows as a column.
    assert c.values.shape == (500, 2)
    assert np.all(c.values[:, 0] == 3000) and np.all(c.values[:, 1] == 1000)
    assert c.times[0] == 0 and np.all(np.diff(c.times) > 0)


def test_falling_trigger_starts_the_block_low(unit_a):
    trigger = trelvo.Trigger(4, rising=False, threshold=2048, delay=0)
    c = unit_a.capture(4, block_time=0.01, readings=100, trigger=trigger)
    assert c.times[0] == 0
    # The trigger reading may average the two sides of the edge (2048, which
    # counts as through the threshold); the readings after it are low.
    assert c.values[0, 0] in (2048, SQUARE_LOW)
    assert c.values[1, 0] == SQUARE_LOW


def test_block_of_a_counter_arrives_whole_and_in_order(unit_a):
    c = unit_a.capture(1, block_time=0.05, readings=1000)
    assert len(c) == 1000 and c.values.shape == (1000, 1)
    assert counts_by_one(c.values[:, 0])
    assert np.array_equal(c.times, np.arange(0, 50000, 50))


def test_columns_follow_the_channel_order(unit_a):
    c = unit_a.capture([3, 1, 2], block_time=0.15075, readings=1000)
    assert np.all(c.values[:, 0] == 3000)
    assert counts_by_one(c.values[:, 1])
    assert np.all(c.values[:, 2] == 1000)
    # Three slots at 201 timer ticks each: 150.75 µs between readings.
    assert c.interval == pytest.approx(150.75e-6)
    assert np.array_equal(c.times, (np.arange(1000) * 603) // 4)


def test_window_capture_returns_the_newest_block_and_stops(unit_a):
    c = unit_a.capture([1, 3], block_time=0.02, readings=200, method="window")
    assert c.method == "window" and c.values.shape == (200, 2)
    assert counts_by_one(c.values[:, 0]) and np.all(c.values[:, 1] == 3000)
    assert np.array_equal(c.times, np.arange(0, 20000, 100))
    assert idle(unit_a)


def test_auto_trigger_fires_without_an_edge(unit_a):
    # Channel 2 never leaves 1000, so only the auto-trigger can fire.
    trigger = trelvo.Trigger(2, threshold=2048, delay=-50, auto=0.2)
    start = time.monotonic()
    c = unit_a.capture(2, block_time=0.01, readings=100, trigger=trigger, timeout=10)
    assert time.monotonic() - start >= 0.15
    assert np.all(c.values == 1000) and c.times[50] == 0


def test_trigger_timeout_stops_the_capture(unit_a):
    trigger = trelvo.Trigger(2, threshold=2048)
    start = time.monotonic()
    with pytest.raises(trelvo.CaptureTimeoutError, match="channel 2 never rose through 2048"):
        unit_a.capture(2, block_time=0.01, readings=100, trigger=trigger, timeout=0.3)
    assert 0.3 <= time.monotonic() - start < 5
    assert idle(unit_a)
    assert unit_a.read(3) == 3000


def test_single_readings_outputs_and_information(unit_a):
    assert (unit_a.read(2), unit_a.read(3)) == (1000, 3000)
    assert unit_a.max_value == 4095
    unit_a.set_output(0, True)
    unit_a.set_output(1, False)
    info = unit_a.info
    assert info.handle == 1 and info.variant == "TRELVO/12"
    assert (info.library_version, info.usb_version, info.hardware_version) == ("1.0.4.0", "USB 1.1", 3)
    assert (info.first_text, info.second_text) == ("SIM00000", "Simulated TRELVO/12")
    assert info.driver_version == "SUVOPP.SYS V1.13"
    assert (info.last_error, info.unit_error) == (None, 0)
    assert trelvo.library_version() == "1.0.4.0"


BAD_ARGUMENTS = [
    (dict(channels=0), ValueError, "channel 0 does not exist"),
    (dict(channels=[1, 12]), ValueError, "channel 12 does not exist"),
    (dict(channels=[]), ValueError, "list 1 to 11 channels"),
    (dict(channels=list(range(1, 12)) * 2), ValueError, "list 1 to 11 channels"),
    (dict(channels="1"), TypeError, "whole number 1 to 11"),
    (dict(readings=0), ValueError, "readings must be 1 to"),
    (dict(readings=1.5), TypeError, "readings must be a whole number"),
    (dict(block_time=0), ValueError, "block_time must be above 0 s"),
    (dict(block_time=-1.0), ValueError, "block_time must be above 0 s"),
    (dict(block_time=5000.0), ValueError, "block_time must be at most 4295 s"),
    (dict(readings=10**8), ValueError, "take at least 5000 s"),
    (dict(method="stream"), ValueError, "method must be 'block' or 'window'"),
    (dict(timeout=0), ValueError, "timeout must be above 0 s"),
    (dict(trigger=4), TypeError, "trigger must be a trelvo.Trigger"),
    (
        dict(channels=list(range(1, 11)) + [11], trigger=trelvo.Trigger(12 - 1)),
        None,
        None,
    ),
    (
        dict(channels=list(range(2, 12)) + [3], trigger=trelvo.Trigger(1)),
        ValueError,
        "trigger channel 1 is not among the 11 channels",
    ),
    (
        dict(trigger=trelvo.Trigger(1, delay=-100)),
        ValueError,
        "leaves no reading after the trigger",
    ),
]


@pytest.mark.parametrize("arguments, error, message", BAD_ARGUMENTS)
def test_arguments_are_checked_before_the_library(unit_a, arguments, error, message):
    call = dict(channels=1, block_time=0.01, readings=100)
    call.update(arguments)
    if error is None:  # the valid neighbour of a refused case
        call["timeout"] = 0.05
        with pytest.raises(trelvo.CaptureTimeoutError):
            unit_a.capture(**call)
        return
    with pytest.raises(error, match=message):
        unit_a.capture(**call)
    assert unit_a.info.unit_error == 0  # the library saw nothing out of range


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: trelvo.Trigger(0), "channel 0 does not exist"),
        (lambda: trelvo.Trigger(1, threshold=40000), "threshold must be -32768 to 32767"),
        (lambda: trelvo.Trigger(1, delay=1.5), "delay must be a whole number"),
        (lambda: trelvo.Trigger(1, auto=0), "auto-trigger time must be above 0 s"),
        (lambda: trelvo.Trigger(1, auto=70), "0.001 s to 65.535 s"),
    ],
)
def test_trigger_settings_are_checked(make, message):
    with pytest.raises((ValueError, TypeError), match=message):
        make()


def test_single_reading_and_output_arguments(unit_a):
    for bad in (0, 12, -1):
        with pytest.raises(ValueError, match="channels are 1 to 11"):
            unit_a.read(bad)
    with pytest.raises(ValueError, match="output must be 0 to 1"):
        unit_a.set_output(2, True)
    assert unit_a.info.unit_error == 0


def test_short_blocks_run_at_the_fastest_pace_with_the_exact_interval(unit_a):
    # Seven readings of three channels cannot take 1 µs: the fastest pace,
    # 150.75 µs per reading, whose block time the library truncates (1055 µs).
    c = unit_a.capture([3, 1, 2], block_time=1e-6, readings=7)
    assert c.block_time == pytest.approx(1055e-6, abs=1e-12)
    assert c.interval == pytest.approx(150.75e-6, abs=1e-12)
    assert list(c.times) == [0, 150, 301, 452, 603, 753, 904]
