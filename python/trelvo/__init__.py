"""Python interface to the Trelvo USB data-acquisition unit.

A thin layer over the Trelvo C library (``libtrelvo.so.1``, ``Trelvo.dll``)
through ctypes; readings arrive as numpy arrays::

    import trelvo
    with trelvo.open(simulate="1") as unit:      # leave out simulate= for real units
        capture = unit.capture([1, 2], block_time=0.1, readings=1000,
                               trigger=trelvo.Trigger(1, delay=-50))
        print(capture.times[:3], capture.values[:3])

The library is found through ``TRELVO_LIBRARY`` (a path), then beside the
package, then by the system's library search.
"""

from ._errors import (
    CaptureTimeoutError,
    DataLostError,
    DataLostWarning,
    DriverTooOldError,
    IdentityError,
    LibraryNotFoundError,
    NoUnitError,
    OpenError,
    SimulateError,
    TooManyUnitsError,
    TrelvoError,
    UnitBusyError,
    UnitError,
)
from ._unit import (
    Capture,
    Chunk,
    Stream,
    Trigger,
    Unit,
    UnitInfo,
    library_version,
    list_units,
    open,
)

__version__ = "1.0.4.0"

__all__ = [
    "Capture",
    "CaptureTimeoutError",
    "Chunk",
    "DataLostError",
    "DataLostWarning",
    "DriverTooOldError",
    "IdentityError",
    "LibraryNotFoundError",
    "NoUnitError",
    "OpenError",
    "SimulateError",
    "Stream",
    "TooManyUnitsError",
    "Trigger",
    "TrelvoError",
    "Unit",
    "UnitBusyError",
    "UnitError",
    "UnitInfo",
    "library_version",
    "list_units",
    "open",
]
