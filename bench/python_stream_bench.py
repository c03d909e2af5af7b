#!/usr/bin/env python3
"""Readings per second through trelvo.Unit.stream against the same retrieval
from C, on a fast simulated unit (its clock runs as fast as it is read).

    /usr/bin/python3 bench/python_stream_bench.py [--library build/src/libtrelvo.so.1]

Compiles bench/stream_rate.c against the library, then alternates C and
Python runs (so both meet the same load on a shared machine) and prints
min/median/max of each and the ratio of the medians. Both take the readings
with TrelvoGetValues into a buffer of --readings readings per channel.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
SIMULATE = "12:fast;all=counter"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", default=os.environ.get("TRELVO_LIBRARY") or str(REPO / "build/src/libtrelvo.so.1"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--count", type=int, default=2_000_000, help="readings per channel per run")
    parser.add_argument("--readings", type=int, default=200_000, help="buffer, readings per channel")
    parser.add_argument("--channels", default="1,2,3")
    arguments = parser.parse_args()
    library = Path(arguments.library).resolve()
    channels = [int(c) for c in arguments.channels.split(",")]
    # The fastest pace for these channels: 50 µs per slot (the library settles
    # on the nearest setting it has).
    block_us = arguments.readings * len(channels) * 50
    # The timer setting the package asks the library for (Unit._configure):
    # the same pace over at most this many readings.
    ideal = min(arguments.readings, (2**32 - 1) // (len(channels) * 16384))
    asked_us = max(1, round(block_us * ideal / arguments.readings))

    work = Path(tempfile.mkdtemp(prefix="trelvo-bench-"))
    program = work / "stream_rate"
    subprocess.run(
        ["cc", "-O2", "-std=c99", "-D_POSIX_C_SOURCE=199309L", f"-I{REPO / 'include'}",
         str(REPO / "bench" / "stream_rate.c"), "-o", str(program), str(library),
         f"-Wl,-rpath,{library.parent}"],
        check=True,
    )

    os.environ["TRELVO_LIBRARY"] = str(library)
    os.environ["TRELVO_LOCK_DIR"] = str(work / "locks-python")
    sys.path.insert(0, str(REPO / "python"))
    import trelvo

    c_environment = dict(os.environ, TRELVO_SIMULATE=SIMULATE, TRELVO_LOCK_DIR=str(work / "locks-c"))
    c_rates: list[float] = []
    python_rates: list[float] = []
    with trelvo.open(simulate=SIMULATE) as unit:
        for _ in range(arguments.runs):
            output = subprocess.run(
                [str(program), str(arguments.count), str(arguments.readings), str(ideal), str(asked_us),
                 *map(str, channels)],
                env=c_environment, check=True, capture_output=True, text=True,
            ).stdout
            c_rates.append(float(output.split()[0]))

            start = time.perf_counter()
            taken = 0
            with unit.stream(channels, block_us / 1e6, arguments.readings, count=arguments.count) as stream:
                for chunk in stream:
                    taken += len(chunk)
            python_rates.append(taken / (time.perf_counter() - start))

    def line(name: str, rates: list[float]) -> str:
        return (f"{name:7s} min {min(rates) / 1e6:6.2f}  median {statistics.median(rates) / 1e6:6.2f}  "
                f"max {max(rates) / 1e6:6.2f}  million readings per channel per second")

    print(f"{arguments.runs} runs of {arguments.count} readings per channel of channels "
          f"{arguments.channels}, buffer {arguments.readings}, fast simulated unit")
    print(line("C", c_rates))
    print(line("Python", python_rates))
    ratio = statistics.median(python_rates) / statistics.median(c_rates)
    print(f"Python / C (medians): {ratio:.2f}   (values per second: x{len(channels)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
