#!/usr/bin/env python3
"""Captures a triggered block from a unit and plots it with matplotlib.

    python3 examples/triggered_capture.py                 # a simulated unit, writes capture.png
    python3 examples/triggered_capture.py --hardware -o run.png

The block holds 1000 readings of channels 1 and 2 over 100 ms, centred on
channel 1 rising through mid-scale (time 0 in the plot).
"""

from __future__ import annotations

import argparse

import matplotlib

matplotlib.use("Agg")  # files only; no display needed
import matplotlib.pyplot as plt  # noqa: E402

import trelvo  # noqa: E402

# A 25 Hz sine with a little noise on channel 1, a 10 Hz triangle on channel 2.
SIMULATED = "12:ch1=sine(2048,1600,25hz,0,12);ch2=triangle(2048,1200,10hz)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hardware", action="store_true", help="use a real unit, not a simulated one")
    parser.add_argument("-o", "--output", default="capture.png", help="the plot's file (default capture.png)")
    arguments = parser.parse_args()

    trigger = trelvo.Trigger(channel=1, rising=True, threshold=2048, delay=-50)
    with trelvo.open(simulate=None if arguments.hardware else SIMULATED) as unit:
        capture = unit.capture([1, 2], block_time=0.1, readings=1000, trigger=trigger, timeout=10)
        variant = unit.info.variant

    milliseconds = capture.times / 1000.0
    figure, axes = plt.subplots(figsize=(10, 5))
    for column, channel in enumerate(capture.channels):
        axes.plot(milliseconds, capture.values[:, column], label=f"channel {channel}")
    axes.axvline(0, color="red", linestyle="--", label="trigger")
    axes.axhline(trigger.threshold, color="grey", linestyle=":", label="threshold")
    axes.set_xlabel("time from the trigger (ms)")
    axes.set_ylabel("reading (0 to 4095)")
    axes.set_title(
        f"Trelvo {variant}: {len(capture)} readings per channel, "
        f"one every {capture.interval * 1e6:g} µs"
    )
    axes.legend(loc="upper right")
    figure.savefig(arguments.output, dpi=100)
    print(f"Wrote {arguments.output}: {len(capture)} readings of channels 1 and 2")


if __name__ == "__main__":
    main()
