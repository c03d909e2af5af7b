"""Shared set-up: the package from this tree, the library under test, a
private lock directory, and the simulated units of the test process."""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Optional

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
REPO = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))

if not os.environ.get("TRELVO_LIBRARY"):
    built = REPO / "build" / "src" / "libtrelvo.so.1"
    if built.exists():
        os.environ["TRELVO_LIBRARY"] = str(built)

# Units are claimed through lock files; a private directory keeps other test
# runs on the machine from taking "our" simulated units.
os.environ["TRELVO_LOCK_DIR"] = tempfile.mkdtemp(prefix="trelvo-pytest-locks-")
os.environ.pop("TRELVO_SIMULATE", None)

import trelvo  # noqa: E402

# The simulated units of this process, by device file:
#   0  unit A: channel 1 counts, 2 and 3 are steady at 1000 and 3000,
#      4 is a 20 Hz square wave between 548 and 3548
#   1  unit B: fast clock (runs as fast as it is read), every channel counts
#   2  unit C: 10-bit, channel 1 steady at 1001 (reads 1000)
#   3  unit D: a plain 12-bit unit
SIMULATE = (
    "12:ch1=counter;ch2=dc(1000);ch3=dc(3000);ch4=square(2048,1500,20Hz),"
    "12:fast;all=counter,"
    "10:ch1=dc(1001),"
    "12"
)


@pytest.fixture(scope="session")
def unit_a() -> trelvo.Unit:
    unit = trelvo.open(simulate=SIMULATE)
    assert unit.handle == 1
    yield unit
    unit.close()


@pytest.fixture(scope="session")
def unit_b(unit_a: trelvo.Unit) -> trelvo.Unit:
    unit = trelvo.open(simulate=SIMULATE)
    assert unit.handle == 2
    yield unit
    unit.close()


def run_python(
    code: str, simulate: Optional[str] = None, args: tuple[str, ...] = (), **env: str
) -> subprocess.CompletedProcess:
    """Runs Python code in a process of its own (the library chooses its
    driver once per process), with the package of this tree."""
    environment = dict(os.environ)
    environment.pop("TRELVO_SIMULATE", None)
    environment["TRELVO_LOCK_DIR"] = tempfile.mkdtemp(prefix="trelvo-pytest-locks-")
    environment["PYTHONPATH"] = str(PYTHON_DIR)
    if simulate is not None:
        environment["TRELVO_SIMULATE"] = simulate
    environment.update(env)
    return subprocess.run(
        [sys.executable, *(["-c", code] if code else []), *args],
        env=environment,
        capture_output=True,
        text=True,
        timeout=60,
        cwd=str(PYTHON_DIR),
    )
