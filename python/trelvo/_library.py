"""Finding and loading the Trelvo C library, and its ctypes declarations."""

from __future__ import annotations

import ctypes
import os
import struct
import sys
import threading
from ctypes import POINTER, c_char, c_int16, c_int32, c_int64, c_uint16, c_uint32, c_uint64
from pathlib import Path
from typing import Any, Mapping, Optional

from ._errors import LibraryNotFoundError

PACKAGE_DIR = Path(__file__).resolve().parent

#: Result type and argument types of each exported function, in the order of
#: include/trelvo/trelvo.h. A test parses the header and compares, so the two
#: cannot drift apart.
DECLARATIONS: dict[str, tuple[Any, tuple[Any, ...]]] = {
    "TrelvoOpenUnit": (c_int16, ()),
    "TrelvoOpenUnitAsync": (c_int16, ()),
    "TrelvoOpenUnitProgress": (c_int16, (POINTER(c_int16), POINTER(c_int16))),
    "TrelvoCloseUnit": (c_int16, (c_int16,)),
    "TrelvoGetUnitInfo": (c_int16, (c_int16, POINTER(c_char), c_int16, c_int16)),
    "TrelvoRun": (c_int16, (c_int16, c_uint32, c_int32)),
    "TrelvoReady": (c_int16, (c_int16,)),
    "TrelvoStop": (c_int16, (c_int16,)),
    "TrelvoMaxValue": (c_int16, (c_int16, POINTER(c_int16))),
    "TrelvoSetInterval": (c_int32, (c_int16, c_uint32, c_uint32, POINTER(c_int16), c_int16)),
    "TrelvoSetTrigger": (
        c_int16,
        (c_int16, c_int16, c_int16, c_uint16, c_int16, c_int16, c_int16, c_int16),
    ),
    "TrelvoGetValues": (c_int32, (c_int16, POINTER(c_uint16), c_uint32)),
    "TrelvoGetTimesAndValues": (c_int32, (c_int16, POINTER(c_int32), POINTER(c_uint16), c_uint32)),
    "TrelvoGetValue": (c_int16, (c_int16, c_int16, POINTER(c_uint16))),
    "TrelvoSetDo": (c_int16, (c_int16, c_int16, c_int16)),
    "TrelvoApplyFix": (None, (c_uint32, c_uint32)),
}



class CaptureStatus(ctypes.Structure):
    """TrelvoCaptureStatus of include/trelvo/trelvo_status.h, field by field."""

    _fields_ = [
        ("size", c_uint32),
        ("flags", c_uint32),
        ("taken", c_uint64),
        ("nextIndex", c_uint64),
        ("lastFirstIndex", c_uint64),
        ("lastCount", c_uint64),
        ("droppedRingFull", c_uint64),
        ("lostOnTheWay", c_uint64),
        ("firstUtcNs", c_int64),
        ("newestUtcNs", c_int64),
        ("firstMonotonicNs", c_int64),
        ("newestMonotonicNs", c_int64),
        ("bufferReadings", c_uint64),
    ]


#: Bits of CaptureStatus.flags.
STATUS_UNIT_GONE = 0x1
STATUS_RUNNING = 0x2

#: The extension of include/trelvo/trelvo_status.h (also checked against it).
STATUS_DECLARATIONS: dict[str, tuple[Any, tuple[Any, ...]]] = {
    "TrelvoGetCaptureStatus": (c_int16, (c_int16, POINTER(CaptureStatus))),
}

# Written by `cmake --install`: the installed library's path relative to the
# installed package directory.
_INSTALLED_LOCATION_FILE = "_library_location.txt"


def library_file_name(platform: str = sys.platform) -> str:
    """The library's file name on this platform."""
    return "Trelvo.dll" if platform.startswith(("win", "cygwin")) else "libtrelvo.so.1"


def interpreter_bits() -> int:
    """32 or 64: the width of this interpreter's pointers, which a DLL must match."""
    return 8 * struct.calcsize("P")


def _is_windows(platform: str) -> bool:
    return platform.startswith("win")


def _windows_subdirectory(bits: int) -> str:
    # A package that carries both DLLs keeps them apart: trelvo/win32/ and
    # trelvo/win64/, each named Trelvo.dll as the library calls itself.
    return "win64" if bits == 64 else "win32"


# Machine field of a PE file's COFF header -> pointer width of the code.
_PE_MACHINE_BITS = {0x014C: 32, 0x8664: 64, 0xAA64: 64}


def dll_bits(path: Path) -> Optional[int]:
    """32 or 64 for a Windows DLL of x86, x64 or ARM64; None when the file is
    no PE file (or of another machine) or cannot be read."""
    try:
        with open(path, "rb") as file:
            header = file.read(64)
            if len(header) < 64 or header[:2] != b"MZ":
                return None
            (offset,) = struct.unpack_from("<I", header, 0x3C)
            file.seek(offset)
            pe = file.read(6)
    except OSError:
        return None
    if len(pe) < 6 or pe[:4] != b"PE\0\0":
        return None
    (machine,) = struct.unpack_from("<H", pe, 4)
    return _PE_MACHINE_BITS.get(machine)


def _width_mismatch(path: Path, platform: str, bits: int) -> Optional[str]:
    """Why the DLL at `path` cannot be loaded by this interpreter, or None."""
    if not _is_windows(platform):
        return None
    found = dll_bits(path)
    if found is None or found == bits:
        return None
    return f"a {found}-bit DLL, and this Python is {bits}-bit"


def _load(path: str, platform: str, bits: int) -> ctypes.CDLL:
    # The 32-bit Trelvo.dll exports stdcall functions; the 64-bit one (x64
    # has a single calling convention) and every other platform's library
    # use the C convention.
    if _is_windows(platform) and bits == 32:
        return ctypes.WinDLL(path)  # type: ignore[attr-defined]
    return ctypes.CDLL(path)


def _declare(library: ctypes.CDLL, origin: str) -> ctypes.CDLL:
    for name, (result, arguments) in {**DECLARATIONS, **STATUS_DECLARATIONS}.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{origin} is not a Trelvo library: it has no function {name}"
            ) from None
        function.restype = result
        function.argtypes = arguments
    return library


def find_and_load(
    environ: Optional[Mapping[str, str]] = None,
    package_dir: Optional[Path] = None,
    platform: str = sys.platform,
    bits: Optional[int] = None,
) -> tuple[ctypes.CDLL, str]:
    """Loads the library; returns it and where it came from.

    Search order: the path in ``TRELVO_LIBRARY`` (when set, nothing else is
    tried), the library installed beside the package (on Windows first the
    DLL of the interpreter's width in ``win64/`` or ``win32/``, then a copy
    inside the package directory, or the one that ``cmake --install``
    recorded), then the system's own search for the library's file name. On
    Windows a DLL of the other width is passed over, with the reason.
    ``platform`` and ``bits`` (the interpreter's pointer width) default to
    this interpreter's.
    """
    environ = os.environ if environ is None else environ
    package_dir = PACKAGE_DIR if package_dir is None else package_dir
    bits = interpreter_bits() if bits is None else bits
    name = library_file_name(platform)

    explicit = environ.get("TRELVO_LIBRARY", "")
    if explicit:
        mismatch = _width_mismatch(Path(explicit), platform, bits)
        if mismatch:
            raise LibraryNotFoundError(
                f"the Trelvo library at TRELVO_LIBRARY={explicit!r} cannot be loaded: "
                f"it is {mismatch}"
            )
        try:
            return _declare(_load(explicit, platform, bits), explicit), explicit
        except OSError as error:
            raise LibraryNotFoundError(
                f"the Trelvo library could not be loaded from TRELVO_LIBRARY={explicit!r}: {error}"
            ) from None

    tried: list[str] = []
    beside = [package_dir / name]
    if _is_windows(platform):
        beside.insert(0, package_dir / _windows_subdirectory(bits) / name)
    location = package_dir / _INSTALLED_LOCATION_FILE
    if location.is_file():
        recorded = location.read_text(encoding="utf-8").strip()
        if recorded:
            beside.append(Path(os.path.normpath(package_dir / recorded)))
    for candidate in beside:
        if not candidate.exists():
            tried.append(f"{candidate} (no such file)")
            continue
        mismatch = _width_mismatch(candidate, platform, bits)
        if mismatch:
            tried.append(f"{candidate} ({mismatch})")
            continue
        try:
            return _declare(_load(str(candidate), platform, bits), str(candidate)), str(candidate)
        except OSError as error:
            tried.append(f"{candidate} ({error})")

    try:
        return _declare(_load(name, platform, bits), name), name
    except OSError as error:
        tried.append(f"{name} in the system's library search path ({error})")
    if _is_windows(platform):
        example = f"C:\\Trelvo\\{_windows_subdirectory(bits)}\\Trelvo.dll, a {bits}-bit DLL"
    else:
        example = "build/src/libtrelvo.so.1"
    raise LibraryNotFoundError(
        "the Trelvo library could not be found; tried: "
        + "; ".join(tried)
        + f". Set TRELVO_LIBRARY to the library's path (for example {example})."
    )


_lock = threading.Lock()
_loaded: Optional[tuple[ctypes.CDLL, str]] = None


def library() -> ctypes.CDLL:
    """The loaded library, loaded at the first call."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = find_and_load()
        return _loaded[0]


def library_path() -> str:
    """Where the loaded library came from (a path, or the name the system found)."""
    library()
    assert _loaded is not None
    return _loaded[1]
