"""Opening (in the background, with progress), closing, listing, and the
errors a fake library makes reachable."""

from __future__ import annotations

import pytest
from conftest import SIMULATE

import trelvo
import trelvo._unit as unit_module
from trelvo._library import library


def test_background_open_reports_progress_up_to_100(unit_b):
    seen = []
    with trelvo.open(simulate=SIMULATE, progress=seen.append) as unit:
        assert unit.handle == 3
    assert seen[-1] == 100 and len(seen) >= 2
    assert seen == sorted(seen) and all(isinstance(p, int) for p in seen)


def test_unit_is_closed_after_an_exception_in_its_block(unit_b):
    with pytest.raises(RuntimeError, match="in the block"):
        with trelvo.open() as unit:
            assert unit.handle == 3 and unit.info.variant == "TRELVO/10"
            assert unit.read(1) == 1000  # 1001, two low bits cleared
            assert unit.max_value == 4095
            raise RuntimeError("in the block")
    assert unit.closed
    assert library().TrelvoCloseUnit(3) == 0  # the library no longer knows it
    with pytest.raises(ValueError, match="unit 3 is closed"):
        unit.read(1)
    unit.close()  # twice is harmless
    with trelvo.open() as again:  # released: the same device file opens again
        assert again.handle == 3


@pytest.mark.parametrize("failing_at", [0, 100])
def test_a_failing_progress_callback_leaves_no_unit_open(unit_b, failing_at):
    def progress(percent):
        if percent >= failing_at:
            raise KeyError("stop")

    with pytest.raises(KeyError):
        trelvo.open(progress=progress)
    # Had the background open's unit been left open, this would get unit 4.
    with trelvo.open() as unit:
        assert unit.handle == 3


def test_a_fifth_unit_is_refused(unit_b):
    with trelvo.open() as c, trelvo.open() as d:
        assert (c.handle, d.handle) == (3, 4)
        with pytest.raises(trelvo.TooManyUnitsError, match="4 units are already open") as info:
            trelvo.open()
        assert info.value.code == 6


def test_list_units_lists_open_and_free_units_and_closes_what_it_opened(unit_b):
    units = trelvo.list_units()
    assert [u.handle for u in units] == [1, 2, 3, 4]
    assert [u.variant for u in units] == ["TRELVO/12", "TRELVO/12", "TRELVO/10", "TRELVO/12"]
    assert units[2].first_text == "SIM00002"
    with trelvo.open() as unit:
        assert unit.handle == 3


def test_a_second_simulated_setup_is_refused(unit_a):
    with pytest.raises(trelvo.SimulateError, match="already uses the simulated units"):
        trelvo.open(simulate="2")
    with pytest.raises(TypeError, match="setup text"):
        trelvo.open(simulate=2)


class FakeLibrary:
    """The real library, with some functions replaced."""

    def __init__(self, **replaced):
        self._replaced = replaced

    def __getattr__(self, name):
        return self._replaced.get(name) or getattr(library(), name)


def faking(monkeypatch, **replaced):
    fake = FakeLibrary(**replaced)
    monkeypatch.setattr(unit_module, "library", lambda: fake)


def failed_open_reporting(code):
    def info(handle, text, length, line):
        if handle == 0 and line == 7:
            text.value = str(code).encode()
            return len(text.value)
        return library().TrelvoGetUnitInfo(handle, text, length, line)

    return dict(TrelvoOpenUnitAsync=lambda: 0, TrelvoGetUnitInfo=info)


@pytest.mark.parametrize(
    "code, error, message",
    [
        (3, trelvo.IdentityError, "identity record invalid"),
        (1, trelvo.DriverTooOldError, "driver too old"),
        (8, trelvo.OpenError, "could not open a unit \\(library error 8\\)"),
    ],
)
def test_open_failures_map_to_exceptions(unit_a, monkeypatch, code, error, message):
    faking(monkeypatch, **failed_open_reporting(code))
    with pytest.raises(error, match=message) as info:
        trelvo.open()
    assert info.value.code == code and isinstance(info.value, trelvo.OpenError)


def test_failed_unit_operations_raise_unit_error(unit_a, monkeypatch):
    faking(
        monkeypatch,
        TrelvoGetValue=lambda *a: 0,
        TrelvoSetDo=lambda *a: 0,
        TrelvoRun=lambda *a: 0,
        TrelvoSetInterval=lambda *a: 0,
    )
    with pytest.raises(trelvo.UnitError, match="reading channel 2 failed") as info:
        unit_a.read(2)
    assert (info.value.code, info.value.operation) == (0, "reading channel 2")
    with pytest.raises(trelvo.UnitError, match="switching output 1 failed"):
        unit_a.set_output(1, True)
    with pytest.raises(trelvo.UnitError, match="setting the channels and block time failed"):
        unit_a.capture(1, 0.01, 100)
    monkeypatch.undo()
    faking(monkeypatch, TrelvoRun=lambda *a: 0)
    with pytest.raises(trelvo.UnitError, match="starting the capture failed: no room"):
        unit_a.stream([1, 2], 0.01, 100)


def test_unit_error_carries_line_8(unit_b, monkeypatch):
    # A channel the library refuses (had the check in Python let it through)
    # records unit error 3, which the exception reports.
    monkeypatch.setattr(unit_module, "_check_channel", int)
    with trelvo.open() as unit:
        with pytest.raises(trelvo.UnitError, match="unit error 3") as info:
            unit.read(12)
        assert info.value.code == 3 and unit.info.unit_error == 3
