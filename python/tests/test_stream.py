"""Streams from unit B, a fast-clock unit whose channels count their conversions."""

from __future__ import annotations

import numpy as np
import pytest

import trelvo
from trelvo._library import library


def joined(chunks):
    times = np.concatenate([c.times for c in chunks])
    values = np.concatenate([c.values for c in chunks])
    return times, values


def test_fast_stream_loses_and_repeats_nothing_across_chunks(unit_b):
    # Three slots at the fastest timer setting: 150.75 µs between readings.
    # The library's buffer holds the whole count, so however late this
    # process comes to take readings, none can be dropped before it does:
    # a gap or a repeat is the package's fault.
    count = 600_000
    with unit_b.stream([1, 2, 3], block_time=90.45, readings=count, count=count) as stream:
        chunks = list(stream)
    assert len(chunks) >= 2
    assert [c.first for c in chunks] == list(np.cumsum([0] + [len(c) for c in chunks[:-1]]))
    times, values = joined(chunks)
    assert values.shape == (count, 3) and values.dtype == np.uint16
    steps = np.diff(values.astype(np.int64), axis=0) % 4096
    assert np.all(steps == 1), "a reading was lost or repeated"
    assert times.dtype == np.int64
    assert np.array_equal(times, (np.arange(count, dtype=np.int64) * 603) // 4)
    assert stream.interval == pytest.approx(150.75e-6)
    assert library().TrelvoReady(unit_b.handle) == 0  # stopped once the count was reached


def test_stream_times_go_on_past_the_32_bit_range(unit_b):
    # 65521 timer ticks (a prime: no faster setting matches) per reading of
    # one channel, 16380.25 µs; 140000 readings span 2293 s of the unit's
    # time, beyond the 2147 s that 32-bit microseconds hold.
    count = 140_000
    stream = unit_b.stream(1, block_time=40_000 * 0.01638025, readings=40_000, count=count)
    everything = stream.read_all()
    assert len(everything) == count and everything.first == 0
    assert np.all(np.diff(everything.values[:, 0].astype(np.int64)) % 4096 == 1)
    expected = (np.arange(count, dtype=np.int64) * 65521) // 4
    assert np.array_equal(everything.times, expected)
    assert everything.times[-1] > 2**31


def test_stream_duration_counts_unit_time(unit_b):
    stream = unit_b.stream(1, block_time=0.05, readings=1000, duration=0.5)
    assert stream.count == 10_000
    assert len(stream.read_all()) == 10_000
    with pytest.raises(StopIteration):
        next(stream)


def test_stream_ended_by_another_operation_says_so(unit_b):
    stream = unit_b.stream(1, block_time=0.05, readings=1000)
    first = next(stream)
    assert len(first) > 0 and first.times[0] == 0
    unit_b.read(2)  # halts the capture
    with pytest.raises(trelvo.TrelvoError, match="stream of unit 2 is over"):
        next(stream)
    with unit_b.stream(1, block_time=0.05, readings=1000) as again:
        assert next(again).times[0] == 0
    assert library().TrelvoReady(unit_b.handle) == 0  # leaving the block stopped it


def test_stream_arguments_are_checked(unit_b):
    with pytest.raises(ValueError, match="count must be 1 to"):
        unit_b.stream(1, block_time=0.05, readings=1000, count=0)
    with pytest.raises(ValueError, match="duration must be above 0 s"):
        unit_b.stream(1, block_time=0.05, readings=1000, duration=-1)
    with pytest.raises(ValueError, match="read_all needs a stream with a count"):
        with unit_b.stream(1, block_time=0.05, readings=1000) as endless:
            endless.read_all()


# ---- Loss accounting ---------------------------------------------------------


def test_a_million_fast_readings_through_a_small_buffer_have_no_break(unit_b):
    # The fast unit runs only as fast as this process takes its readings, so
    # a buffer of 5000 readings and a reader that pauses lose nothing.
    import time
    import warnings

    count = 1_000_000
    with warnings.catch_warnings():
        warnings.simplefilter("error", trelvo.DataLostWarning)
        with unit_b.stream(1, block_time=0.005, readings=5000, count=count) as stream:
            chunks = []
            for chunk in stream:
                chunks.append(chunk)
                if len(chunks) in (10, 50):
                    time.sleep(0.2)
    assert sum(len(c) for c in chunks) == count
    assert all(c.lost == 0 for c in chunks)
    assert [c.first_index for c in chunks] == [c.first for c in chunks]
    _, values = joined(chunks)
    breaks = int(np.count_nonzero(np.diff(values[:, 0].astype(np.int64)) % 4096 != 1))
    assert breaks == 0
    assert stream.lost == 0 and stream.lost_ring_full == 0 and stream.lost_on_the_way == 0


def slow_stream(unit_a, on_loss):
    # Channel 1 of unit A counts in real time, 10,000 readings per second,
    # into a buffer of at least 1000 (a larger one kept from an earlier
    # capture of the unit stays).
    return unit_a.stream(1, block_time=0.1, readings=1000, on_loss=on_loss)


def fall_behind(stream):
    # Sleeps long enough to lose about 2000 readings, whatever the buffer.
    import time

    assert stream.buffer_readings >= 1000
    time.sleep((stream.buffer_readings + 2000) * stream.interval)


def check_counter_by_index(chunks):
    # A counter that steps once a conversion, averaged over `step` conversions
    # a reading: reading k averages raw counts start + step k .. + step - 1,
    # each modulo 4096 (so the reading across the wrap is about 2047).
    origin = chunks[0]
    diffs = np.diff(origin.values[:, 0].astype(np.int64)) % 4096
    step = int(np.bincount(diffs).argmax())

    def readings(start, index):
        raw = start + step * index[:, None] + np.arange(step)
        return (raw % 4096).sum(axis=1) // step

    head = np.arange(min(len(origin), 64), dtype=np.int64)
    starts = [r for r in range(4096) if np.array_equal(readings(r, head), origin.values[: len(head), 0])]
    assert len(starts) == 1, "the first chunk is not a counter"
    start = starts[0] - step * origin.first_index
    for chunk in chunks:
        index = chunk.first_index + np.arange(len(chunk), dtype=np.int64)
        assert np.array_equal(chunk.values[:, 0], readings(start, index)), "a reading's index is not its true one"
        assert np.array_equal(chunk.times, (index * 400) // 4)


def test_a_slow_reader_is_told_exactly_what_it_lost(unit_a):
    with slow_stream(unit_a, "warn") as stream:
        chunks = [next(stream)]
        fall_behind(stream)
        with pytest.warns(trelvo.DataLostWarning, match="not taken in time"):
            for _ in range(2000):  # bounded: a loss never reported fails, not hangs
                chunks.append(next(stream))
                if sum(c.lost for c in chunks):
                    break
        for _ in range(3):
            chunks.append(next(stream))
    lost = sum(c.lost for c in chunks)
    assert 1000 <= lost <= 4000
    assert stream.lost_ring_full == lost and stream.lost_on_the_way == 0
    # Chunks never span a gap: each starts where the last ended plus its loss.
    for before, after in zip(chunks, chunks[1:]):
        assert after.first_index == before.first_index + len(before) + after.lost
    check_counter_by_index(chunks)


def test_on_loss_raise_and_ignore(unit_a):
    import warnings

    with slow_stream(unit_a, "raise") as stream:
        next(stream)
        fall_behind(stream)
        with pytest.raises(trelvo.DataLostError) as caught:
            for _ in range(100):
                next(stream)
        error = caught.value
        assert error.lost > 0 and error.ring_full == error.lost and error.on_the_way == 0
        assert error.chunk.first_index == error.first_index and error.chunk.lost == error.lost
        next(stream)  # the stream goes on
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with slow_stream(unit_a, "ignore") as stream:
            next(stream)
            fall_behind(stream)
            while stream.lost == 0:
                next(stream)
    with pytest.raises(ValueError, match="on_loss"):
        unit_a.stream(1, block_time=0.1, readings=1000, on_loss="shout")
