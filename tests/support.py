"""Helpers shared by the test files, and by the child interpreters some of them start (which
import this module by name: the tests folder is on their path as the script's folder)."""

import re
import shutil
import sysconfig

# The installed qelm-inspect, or None. The scripts directory of this interpreter first: a venv's
# python run without activating the venv does not have it on PATH.
INSPECT = shutil.which("qelm-inspect", path=sysconfig.get_path("scripts")) or shutil.which(
    "qelm-inspect")

# The RuntimeError messages of an access conflict: exclusive access refused, shared access
# refused.
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")


def panic_type():
    """The PanicException type, found by provoking a refusal (the module does not export it).

    Not cached: each call raises afresh, so comparing two results shows the type is created once.
    """
    import pyqelm

    try:
        pyqelm.Protocol().set_session_duration(0.0)
    except BaseException as exc:  # noqa: BLE001  (that is the point)
        return type(exc)
    raise AssertionError("no PanicException")


def every_kind():
    """A 50-sample session with every signal kind, both channels and an external input."""
    # Imported here: importing this module must not load NumPy, whose loading some tests watch.
    import numpy as np

    from pyqelm import Channel, Coil, Protocol

    p = Protocol()
    p.set_session_duration(0.01)
    p.set_stimulation_intensity(0.25)
    p.add_sine_signal(1.0, 10.0, 0.25, 0.5)           # 0
    p.add_constant_signal(0.75)                        # 1
    p.add_ramp_signal(1.0, 0.002, 0.003)               # 2
    p.add_arbitrary_signal(np.linspace(0.0, 1.0, 50))  # 3
    p.add_mixed_signal(0, 3)                           # 4
    p.set_amplitude_source(Coil.A1, 0)
    p.set_amplitude_source(Coil.A2, 4)
    p.enable_channel(Channel.B)
    p.set_amplitude_source(Coil.B1, 3)
    p.set_modulation_source(Channel.B, 2, external=True)
    return p


class CallsBack:
    """A number whose conversions call `method` on `protocol` (the protocol being configured,
    settable later), so that a call re-enters the object it is running on."""

    def __init__(self, method, protocol=None):
        self.method = method
        self.protocol = protocol

    def __float__(self):
        getattr(self.protocol, self.method)()
        return 1.0

    def __index__(self):
        getattr(self.protocol, self.method)()
        return 1


# --- reading a protocol's settings back from its text form ---------------------------------------

_INT = re.compile(r"-?\d+")


def _scalar(text):
    if text == "true":
        return True
    if text == "false":
        return False
    if text.startswith('"'):
        return text
    if _INT.fullmatch(text):
        return int(text)
    return float(text)  # also "NaN", "inf", "-inf"


def _parse(first, lines):
    text = first[:-1] if first.endswith(",") else first
    if text.endswith(" {"):
        record = {}
        for line in lines:
            line = line.strip()
            if line in ("}", "},"):
                return record
            key, rest = line.split(": ", 1)
            record[key] = _parse(rest, lines)
        raise ValueError("unterminated record")
    if text.endswith("("):
        payload = _parse(next(lines).strip(), lines)
        assert next(lines).strip() in (")", "),")
        return (text[:-1], payload)
    if text == "[]":
        return []
    if text == "[":
        items = []
        for line in lines:
            line = line.strip()
            if line in ("]", "],"):
                return items
            items.append(_parse(line, lines))
        raise ValueError("unterminated list")
    return _scalar(text)


def parse_text(text):
    """The text form as nested dicts (records), lists and (variant, payload) tuples."""
    lines = iter(text.split("\n"))
    return _parse(next(lines), lines)


def settings_of(protocol):
    return parse_text(str(protocol))["settings"]


# A file's unsigned LEB128 count, for tests that write records by hand.
def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)
