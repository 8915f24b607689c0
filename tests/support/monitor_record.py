"""The monitor's status record as the Python peers and harnesses send it.

Its fields, their order, kinds and the spaces before each are read from the
one table every writer of a record uses, kRecordFields in
src/protocol/monitor_protocol.h, so a new field needs no edit here. A field
not told takes the value below, or 0 (a text: "x").
"""
import os
import re

RECORD_BYTES = 768
DEFAULTS = {
    "slot": 0, "computer_name": "PC", "cpu": 1, "units_seen": 2, "progress": 10, "unit": "p1234_R1_C2_G3",
    "exiting": 0, "cpu_mhz": 2400.0, "cpu_vendor": "GenuineIntel", "core": "a4", "frames": 100, "points": 150,
    "user": "user01", "team": 7, "in_tray": 0,
}
_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "protocol",
                       "monitor_protocol.h")


def _snake(name):
    return re.sub(r"([A-Z])", lambda m: "_" + m.group(1).lower(), name)


def _fields():
    """(name, kind, gap) a field, in the record's order: kind is int, float or str."""
    with open(_HEADER, encoding="utf-8") as header:
        text = header.read()
    values = text[text.index("struct RecordValues"):]
    values = values[:values.index("};")]
    kinds = {member: {"int": int, "double": float}.get(kind, str)
             for kind, member in re.findall(r"^\s*(int|double|const char\*)\s+(\w+)\s*=", values, re.M)}
    rows = re.findall(r"recordField\(k\w+,\s*\"[^\"]*\",\s*&RecordValues::(\w+)(?:,\s*(\d+))?\)", text)
    if not rows or any(member not in kinds for member, _ in rows):
        raise RuntimeError(f"cannot read the record's fields from {_HEADER}")
    return tuple((_snake(member), kinds[member], int(gap) if gap else 1) for member, gap in rows)


FIELDS = _fields()
_NAMES = {name for name, _, _ in FIELDS}


def record_text(**values):
    """The record's text: each field as told, else its default (a float as printf's %f, a bool as 0 or 1)."""
    unknown = set(values) - _NAMES
    if unknown:
        raise TypeError(f"no such record field: {', '.join(sorted(unknown))}")
    text = ""
    for name, kind, gap in FIELDS:
        value = values.get(name, DEFAULTS.get(name, "x" if kind is str else 0))
        word = f"{float(value):f}" if kind is float else str(int(value) if isinstance(value, bool) else value)
        text += " " * gap + word
    return text


def record_bytes(**values):
    """The record as the monitor sends it: its text, then NULs to the record's size."""
    return record_text(**values).encode().ljust(RECORD_BYTES, b"\0")
