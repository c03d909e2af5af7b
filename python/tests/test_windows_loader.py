"""Finding and loading Trelvo.dll on Windows, with the platform facts injected:
which file is chosen for a 32-bit and a 64-bit interpreter, and with which
ctypes loader (WinDLL for the stdcall exports of the 32-bit DLL, CDLL for the
64-bit one). ctypes' loaders are replaced by a recorder, as no Windows Python
runs here."""

from __future__ import annotations

import ctypes
import struct
from pathlib import Path
from types import SimpleNamespace

import pytest

import trelvo
from trelvo._library import DECLARATIONS, STATUS_DECLARATIONS, dll_bits, find_and_load

I386, AMD64, ARM64, ARMNT = 0x014C, 0x8664, 0xAA64, 0x01C4


def write_pe(path: Path, machine: int, header_offset: int = 0x80) -> Path:
    """A file with the DOS and PE signatures of a DLL for `machine`."""
    path.parent.mkdir(parents=True, exist_ok=True)
    dos = bytearray(header_offset)
    dos[:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, header_offset)
    path.write_bytes(bytes(dos) + b"PE\0\0" + struct.pack("<H", machine) + bytes(18))
    return path


class Loaders:
    """Stands in for ctypes.CDLL and ctypes.WinDLL: records each load and
    loads only the paths in `loadable`."""

    def __init__(self, monkeypatch, loadable=()):
        self.loads: list[tuple[str, str]] = []
        self.loadable = {str(path) for path in loadable}
        monkeypatch.setattr(ctypes, "CDLL", self._loader("CDLL"))
        monkeypatch.setattr(ctypes, "WinDLL", self._loader("WinDLL"), raising=False)

    def _loader(self, kind):
        def load(path):
            self.loads.append((kind, str(path)))
            if str(path) not in self.loadable:
                raise OSError(f"[WinError 126] cannot load {path}")
            names = {**DECLARATIONS, **STATUS_DECLARATIONS}
            return SimpleNamespace(**{name: SimpleNamespace() for name in names})

        return load


@pytest.fixture
def package(tmp_path):
    """A package directory carrying both DLLs, and a top-level one."""
    return SimpleNamespace(
        dir=tmp_path,
        dll32=write_pe(tmp_path / "win32" / "Trelvo.dll", I386),
        dll64=write_pe(tmp_path / "win64" / "Trelvo.dll", AMD64),
        top=write_pe(tmp_path / "Trelvo.dll", AMD64),
    )


@pytest.mark.parametrize(
    "bits, kind, chosen", [(32, "WinDLL", "dll32"), (64, "CDLL", "dll64")]
)
def test_the_dll_and_loader_match_the_interpreter(monkeypatch, package, bits, kind, chosen):
    loaders = Loaders(monkeypatch, [package.dll32, package.dll64, package.top])
    library, found = find_and_load(environ={}, package_dir=package.dir, platform="win32", bits=bits)
    assert found == str(getattr(package, chosen))
    assert loaders.loads == [(kind, found)]
    # The declarations are applied to what was loaded.
    assert library.TrelvoSetTrigger.argtypes == DECLARATIONS["TrelvoSetTrigger"][1]


def test_a_dll_of_the_other_width_is_passed_over(monkeypatch, tmp_path):
    # Packed the wrong way round: a 32-bit DLL in win64/ is skipped, the
    # 64-bit one beside the package is taken.
    wrong = write_pe(tmp_path / "win64" / "Trelvo.dll", I386)
    right = write_pe(tmp_path / "Trelvo.dll", AMD64)
    loaders = Loaders(monkeypatch, [wrong, right])
    _, found = find_and_load(environ={}, package_dir=tmp_path, platform="win32", bits=64)
    assert found == str(right)
    assert loaders.loads == [("CDLL", str(right))]

    # Nothing of the right width anywhere: the error says what was found.
    right.unlink()
    write_pe(tmp_path / "Trelvo.dll", ARMNT)  # no machine this package knows: tried as is
    loaders = Loaders(monkeypatch, [wrong])
    with pytest.raises(trelvo.LibraryNotFoundError) as raised:
        find_and_load(environ={}, package_dir=tmp_path, platform="win32", bits=64)
    message = str(raised.value)
    assert f"{wrong} (a 32-bit DLL, and this Python is 64-bit)" in message
    assert "Trelvo.dll in the system's library search path" in message
    assert "a 64-bit DLL" in message
    # The one of unknown width is left to the loader; then the system's search
    # is asked for the bare name, with the 64-bit loader.
    assert loaders.loads == [("CDLL", str(right)), ("CDLL", "Trelvo.dll")]


def test_the_system_search_uses_the_loader_of_the_interpreter(monkeypatch, tmp_path):
    loaders = Loaders(monkeypatch, ["Trelvo.dll"])
    _, found = find_and_load(environ={}, package_dir=tmp_path, platform="win32", bits=32)
    assert found == "Trelvo.dll"
    assert loaders.loads == [("WinDLL", "Trelvo.dll")]


def test_trelvo_library_is_checked_for_its_width(monkeypatch, package):
    loaders = Loaders(monkeypatch, [package.dll32, package.dll64, package.top])
    mismatch = "it is a 64-bit DLL, and this Python is 32-bit"
    with pytest.raises(trelvo.LibraryNotFoundError, match=mismatch):
        find_and_load(
            environ={"TRELVO_LIBRARY": str(package.dll64)},
            package_dir=package.dir,
            platform="win32",
            bits=32,
        )
    assert loaders.loads == []  # nothing else tried
    _, found = find_and_load(
        environ={"TRELVO_LIBRARY": str(package.dll32)},
        package_dir=package.dir,
        platform="win32",
        bits=32,
    )
    assert found == str(package.dll32) and loaders.loads == [("WinDLL", found)]


def test_elsewhere_the_library_is_loaded_with_cdll_whatever_its_width(monkeypatch, tmp_path):
    so = tmp_path / "libtrelvo.so.1"
    so.write_bytes(b"\x7fELF" + bytes(60))
    write_pe(tmp_path / "win32" / "Trelvo.dll", I386)  # ignored: not this platform's name
    loaders = Loaders(monkeypatch, [so])
    _, found = find_and_load(environ={}, package_dir=tmp_path, platform="linux", bits=32)
    assert found == str(so) and loaders.loads == [("CDLL", str(so))]


def test_dll_width_from_the_pe_header(tmp_path):
    assert dll_bits(write_pe(tmp_path / "a.dll", I386)) == 32
    assert dll_bits(write_pe(tmp_path / "b.dll", AMD64, header_offset=0x100)) == 64
    assert dll_bits(write_pe(tmp_path / "c.dll", ARM64)) == 64
    assert dll_bits(write_pe(tmp_path / "d.dll", ARMNT)) is None
    # Not a PE file, or one cut short: no width, so it is left to the loader.
    (tmp_path / "text.dll").write_text("not a library")
    truncated = tmp_path / "truncated.dll"
    truncated.write_bytes(write_pe(tmp_path / "e.dll", AMD64).read_bytes()[:0x83])
    beyond = bytearray(64)
    beyond[:2] = b"MZ"
    struct.pack_into("<I", beyond, 0x3C, 0x10000)
    (tmp_path / "beyond.dll").write_bytes(bytes(beyond))
    for name in ("text.dll", "truncated.dll", "beyond.dll", "missing.dll"):
        assert dll_bits(tmp_path / name) is None, name
