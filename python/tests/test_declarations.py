"""The ctypes declarations against include/trelvo/trelvo.h, so the two cannot drift."""

from __future__ import annotations

import ctypes
import re

from conftest import REPO

from trelvo._library import DECLARATIONS, library

C_TYPES = {
    "void": None,
    "int16_t": ctypes.c_int16,
    "uint16_t": ctypes.c_uint16,
    "int32_t": ctypes.c_int32,
    "uint32_t": ctypes.c_uint32,
    "char": ctypes.c_char,
}


def ctypes_type(declaration: str):
    """The ctypes type of a C type written as in the header ("const int16_t*")."""
    text = declaration.replace("const ", "").strip()
    pointers = text.count("*")
    base = C_TYPES[text.replace("*", "").strip()]
    for _ in range(pointers):
        base = ctypes.POINTER(base)
    return base


def header_functions() -> dict:
    header = (REPO / "include" / "trelvo" / "trelvo.h").read_text()
    header = re.sub(r"/\*.*?\*/", "", header, flags=re.S)
    functions = {}
    pattern = r"TRELVO_API\s+([\w\s\*]+?)\s*TRELVO_CALL\s+(\w+)\s*\(([^)]*)\)\s*;"
    for result, name, arguments in re.findall(pattern, header):
        types = []
        for argument in arguments.split(","):
            argument = " ".join(argument.split())
            if argument in ("void", ""):
                continue
            # Drop the parameter's name: the last word, unless it is the type.
            match = re.fullmatch(r"(.*?[\w\*])\s*\b(\w+)", argument)
            assert match, argument
            types.append(ctypes_type(match.group(1)))
        functions[name] = (ctypes_type(result), tuple(types))
    return functions


def test_header_has_the_sixteen_functions():
    assert len(header_functions()) == 16


def test_declarations_match_the_header():
    header = header_functions()
    assert sorted(DECLARATIONS) == sorted(header)
    for name, (result, arguments) in header.items():
        assert DECLARATIONS[name] == (result, arguments), name


def test_the_loaded_library_carries_the_declarations():
    lib = library()
    for name, (result, arguments) in DECLARATIONS.items():
        function = getattr(lib, name)
        assert function.restype == result and tuple(function.argtypes) == arguments, name


def status_header() -> str:
    header = (REPO / "include" / "trelvo" / "trelvo_status.h").read_text()
    return re.sub(r"/\*.*?\*/", "", header, flags=re.S)


STATUS_C_TYPES = {
    "uint32_t": ctypes.c_uint32,
    "uint64_t": ctypes.c_uint64,
    "int64_t": ctypes.c_int64,
}


def test_capture_status_structure_matches_the_header():
    from trelvo._library import STATUS_RUNNING, STATUS_UNIT_GONE, CaptureStatus

    body = re.search(r"typedef struct TrelvoCaptureStatus\s*\{(.*?)\}", status_header(), re.S)
    assert body, "no TrelvoCaptureStatus in trelvo_status.h"
    fields = []
    for type_name, names in re.findall(r"(\w+)\s+([\w\s,]+);", body.group(1)):
        for name in names.split(","):
            fields.append((name.strip(), STATUS_C_TYPES[type_name]))
    assert [(n, t) for n, t in CaptureStatus._fields_] == fields
    defines = dict(re.findall(r"#define\s+TRELVO_STATUS_(\w+)\s+(0x[0-9a-fA-F]+)u", status_header()))
    assert int(defines["UNIT_GONE"], 16) == STATUS_UNIT_GONE
    assert int(defines["RUNNING"], 16) == STATUS_RUNNING


def test_capture_status_function_matches_the_header():
    from trelvo._library import STATUS_DECLARATIONS, CaptureStatus

    pattern = r"TRELVO_API\s+(\w+)\s+TRELVO_CALL\s+(\w+)\s*\(([^)]*)\)\s*;"
    found = re.findall(pattern, status_header())
    assert [name for _, name, _ in found] == list(STATUS_DECLARATIONS)
    result, name, arguments = found[0]
    assert arguments.replace(" ", "") == "int16_thandle,TrelvoCaptureStatus*status"
    assert STATUS_DECLARATIONS[name] == (
        ctypes_type(result),
        (ctypes.c_int16, ctypes.POINTER(CaptureStatus)),
    )
    function = getattr(library(), name)
    assert function.restype == ctypes.c_int16
