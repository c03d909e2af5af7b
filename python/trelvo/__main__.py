"""``python -m trelvo [--simulate UNITS]``: lists the units this process can open."""

from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence

from . import TrelvoError, library_version, list_units
from ._library import library_path


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m trelvo",
        description="Lists the Trelvo units that can be opened, with their information lines.",
    )
    parser.add_argument(
        "--simulate",
        metavar="UNITS",
        help="use simulated units (the TRELVO_SIMULATE grammar, e.g. 1 or 12,10)",
    )
    arguments = parser.parse_args(argv)
    try:
        print(f"Trelvo library {library_version()} ({library_path()})")
        units = list_units(simulate=arguments.simulate)
    except TrelvoError as error:
        print(f"python -m trelvo: {error}", file=sys.stderr)
        return 1
    if not units:
        print("python -m trelvo: no unit found", file=sys.stderr)
        return 1
    rows = [("HANDLE", "VARIANT", "HARDWARE", "FIRST TEXT", "SECOND TEXT", "DRIVER")]
    for unit in units:
        rows.append(
            (
                str(unit.handle),
                unit.variant,
                str(unit.hardware_version),
                unit.first_text,
                unit.second_text,
                unit.driver_version,
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
