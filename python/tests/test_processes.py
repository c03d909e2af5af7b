"""What needs a process of its own: other simulated setups, the entry
point, the example and the README's example; and finding the library."""

from __future__ import annotations

import os
import re
import textwrap
from pathlib import Path

import pytest
from conftest import PYTHON_DIR, REPO, run_python

import trelvo
from trelvo._library import find_and_load, library_path

OPEN_AND_REPORT = textwrap.dedent(
    """
    import trelvo
    try:
        trelvo.open()
    except trelvo.OpenError as error:
        print(type(error).__name__, error.code, error)
    """
)


@pytest.mark.parametrize(
    "simulate, expected",
    [
        ("0", r"NoUnitError 4 no unit found among the simulated units '0'"),
        ("12:held", r"UnitBusyError 4 unit busy: every unit found is in use by another program"),
        ("12,driver=1.12", r"DriverTooOldError 1 driver too old"),
    ],
)
def test_open_failures_of_simulated_setups(simulate, expected):
    result = run_python(OPEN_AND_REPORT, simulate=simulate)
    assert result.returncode == 0, result.stderr
    assert re.match(expected, result.stdout), result.stdout


def test_simulate_sets_up_the_process_once():
    code = textwrap.dedent(
        """
        import os, trelvo
        with trelvo.open(simulate="12,10") as first:
            assert os.environ["TRELVO_SIMULATE"] == "12,10"
            with trelvo.open(simulate="12,10") as second, trelvo.open() as third:
                raise SystemExit(f"opened a third unit {third.handle}")
        """
    )
    result = run_python(code)
    assert "NoUnitError" in result.stderr and "among the simulated units '12,10'" in result.stderr
    assert "this process has units 1, 2 open" in result.stderr

    code = textwrap.dedent(
        """
        import os, trelvo
        with trelvo.open(simulate="2") as unit:  # still in time: the argument wins
            print(unit.info.variant, os.environ["TRELVO_SIMULATE"])
        try:
            trelvo.open(simulate="10bit")
        except trelvo.SimulateError as error:
            print(error)
        """
    )
    result = run_python(code, simulate="10bit")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "TRELVO/12 2",
        "this process already uses the simulated units '2'; the library chooses its "
        "driver once per process, so simulate='10bit' cannot take effect (start a new process)",
    ]

    # Without the argument, the environment's setup is the one in force.
    code = "import trelvo\nwith trelvo.open() as unit: print(unit.info.variant)"
    result = run_python(code, simulate="10bit")
    assert result.stdout == "TRELVO/10\n", result.stderr


def test_module_entry_point_lists_units():
    result = run_python("", args=("-m", "trelvo", "--simulate", "12,10"))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("Trelvo library 1.0.4.0 (")
    assert lines[1].split() == ["HANDLE", "VARIANT", "HARDWARE", "FIRST", "TEXT", "SECOND", "TEXT", "DRIVER"]
    assert lines[2].split()[:4] == ["1", "TRELVO/12", "3", "SIM00000"]
    assert lines[3].split()[:4] == ["2", "TRELVO/10", "3", "SIM00001"]
    assert len(lines) == 4

    result = run_python("", args=("-m", "trelvo", "--simulate", "0"))
    assert result.returncode == 1 and "no unit found" in result.stderr


def test_readme_example_runs_as_shown():
    readme = (REPO / "README.md").read_text()
    section = readme.split("\n## Python\n", 1)[1].split("\n## ", 1)[0]
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert len(example.strip().splitlines()) == 5
    result = run_python(example)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "TRELVO/12 0.1 (1000, 2)"
    assert lines[1].startswith("[-100    0  100] [")


def test_example_script_plots_a_triggered_capture(tmp_path):
    plot = tmp_path / "capture.png"
    script = PYTHON_DIR / "examples" / "triggered_capture.py"
    result = run_python("", args=(str(script), "-o", str(plot)))
    assert result.returncode == 0, result.stderr
    assert "1000 readings of channels 1 and 2" in result.stdout
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_library_search_order(tmp_path):
    real = Path(library_path())
    with pytest.raises(trelvo.LibraryNotFoundError, match="TRELVO_LIBRARY='/nowhere/lib.so'"):
        find_and_load(environ={"TRELVO_LIBRARY": "/nowhere/lib.so"}, package_dir=tmp_path)

    # Recorded by `cmake --install`: the library's path relative to the package.
    (tmp_path / "_library_location.txt").write_text(os.path.relpath(real, tmp_path) + "\n")
    _, found = find_and_load(environ={}, package_dir=tmp_path)
    assert Path(found) == real

    # A copy inside the package comes first.
    (tmp_path / "libtrelvo.so.1").symlink_to(real)
    _, found = find_and_load(environ={}, package_dir=tmp_path)
    assert found == str(tmp_path / "libtrelvo.so.1")


def test_missing_library_names_every_place_tried(tmp_path):
    (tmp_path / "_library_location.txt").write_text("../gone/libtrelvo.so.1\n")
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "libtrelvo.so.1").symlink_to("/lib/x86_64-linux-gnu/libm.so.6")
    code = textwrap.dedent(
        f"""
        import trelvo
        from trelvo._library import find_and_load
        for where in ({str(tmp_path)!r}, {str(tmp_path / "other")!r}):
            try:
                print("found", find_and_load(environ={{}}, package_dir=__import__("pathlib").Path(where))[1])
            except trelvo.LibraryNotFoundError as error:
                print(error)
        """
    )
    # A process of its own: in this one the library is loaded already, and
    # the system's search would find it by name.
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    missing, not_trelvo = result.stdout.splitlines()
    if missing == "found libtrelvo.so.1":
        pytest.skip("the system has a Trelvo library installed")
    assert missing.startswith("the Trelvo library could not be found; tried: ")
    assert f"{tmp_path / 'libtrelvo.so.1'} (no such file)" in missing
    assert f"{tmp_path.parent / 'gone' / 'libtrelvo.so.1'} (no such file)" in missing
    assert "; libtrelvo.so.1 in the system's library search path (" in missing
    assert missing.endswith("Set TRELVO_LIBRARY to the library's path (for example build/src/libtrelvo.so.1).")
    assert "libtrelvo.so.1 is not a Trelvo library: it has no function TrelvoOpenUnit" in not_trelvo


# A real-time counter unit with a fault: the stream reports exactly the
# readings missing, and every delivered reading sits at its true index.
LOSSY_STREAM = textwrap.dedent(
    """
    import warnings
    import numpy as np
    import trelvo
    warnings.simplefilter("ignore", trelvo.DataLostWarning)
    with trelvo.open() as unit:
        stream = unit.stream([1, 2], block_time=0.5, readings=10000, count=20000)
        chunks = list(stream)
    values = np.concatenate([c.values for c in chunks])
    index = np.concatenate([c.first_index + np.arange(len(c)) for c in chunks])
    times = np.concatenate([c.times for c in chunks])
    step = int(values[1, 0]) - int(values[0, 0])
    assert np.array_equal(values[:, 0], (int(values[0, 0]) + (index - index[0]) * step) % 4096)
    assert np.array_equal(times, (index * stream._quarters) // 4)
    for before, after in zip(chunks, chunks[1:]):
        # (a gap that runs past the count ends the stream with an empty chunk)
        assert after.first_index == before.first_index + len(before) + after.lost or not len(after)
    assert int(index[0]) == chunks[0].lost
    assert sum(c.lost for c in chunks) == stream.lost
    print(len(values), stream.lost, stream.lost_ring_full, stream.lost_on_the_way)
    """
)


@pytest.mark.parametrize("fault", ["dropframes=9", "dropbytes=2001", "overlong=400"])
def test_a_real_time_stream_with_faults_reports_exactly_the_readings_missing(fault):
    result = run_python(LOSSY_STREAM, simulate=f"12:all=counter;{fault}")
    assert result.returncode == 0, result.stderr
    delivered, lost, ring_full, on_the_way = map(int, result.stdout.split())
    assert lost > 0 and ring_full == 0 and on_the_way == lost
    assert delivered + lost == 20000
