"""The monitor's status record as the Python peers and harnesses send it.

One row a field, in the order of kRecordFields (src/protocol/monitor_protocol.h):
its name, the value a record takes when not told, and the spaces before it.
A new field of the record is a row here.
"""

FIELDS = (
    ("slot", 0, 0),
    ("computer_name", "PC", 1),
    ("cpu", 1, 1),
    ("units_seen", 2, 1),
    ("progress", 10, 1),
    ("unit", "p1234_R1_C2_G3", 1),
    ("exiting", 0, 1),
    ("cpu_mhz", 2400.0, 1),
    ("cpu_vendor", "GenuineIntel", 1),
    ("core", "a4", 1),
    ("frames", 100, 1),
    ("points", 150, 1),
    ("user", "user01", 1),
    ("team", 7, 1),
    ("in_tray", 0, 2),
)
RECORD_BYTES = 768
_NAMES = {name for name, _, _ in FIELDS}


def record_text(**values):
    """The record's text: each field as told, else its row's value (a float as printf's %f, a bool as 0 or 1)."""
    unknown = set(values) - _NAMES
    if unknown:
        raise TypeError(f"no such record field: {', '.join(sorted(unknown))}")
    text = ""
    for name, default, gap in FIELDS:
        value = values.get(name, default)
        word = f"{float(value):f}" if isinstance(default, float) else str(int(value) if isinstance(value, bool) else value)
        text += " " * gap + word
    return text


def record_bytes(**values):
    """The record as the monitor sends it: its text, then NULs to the record's size."""
    return record_text(**values).encode().ljust(RECORD_BYTES, b"\0")
