"""Writes the seed corpus of the decoder fuzz target into corpus/: files saved through the
module (every signal kind, extreme values) and damaged copies the decoder must refuse. The names
carry no .qelm extension, which the tree ignores.

Run with an interpreter that has pyqelm and NumPy installed: python protocols/fuzz/make_corpus.py
"""

import os
import pathlib
import tempfile

import numpy as np

from pyqelm import Channel, Coil, Protocol

HERE = pathlib.Path(__file__).resolve().parent / "corpus"


def saved(protocol):
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "p.qelm")
        protocol.save(path)
        return pathlib.Path(path).read_bytes()


def every_kind():
    p = Protocol()
    p.set_session_duration(0.01)
    p.set_stimulation_intensity(0.25)
    p.add_constant_signal(0.5)
    p.add_sine_signal(1.0, 10.0, 0.25, 0.5)
    p.add_ramp_signal(1.0, 0.002, 0.003)
    p.add_mixed_signal(1, 4)
    # Samples whose encodings take one, two and three bytes.
    p.add_arbitrary_signal(np.concatenate([np.linspace(0.0, 1.0, 47), [0.001, 0.2, 1.0]]))
    p.enable_channel(Channel.B)
    p.set_amplitude_source(Coil.A1, 1)
    p.set_amplitude_source(Coil.B2, 4)
    p.set_modulation_source(Channel.B, 5, external=True)
    return p


def extremes():
    p = Protocol()
    p.add_constant_signal(float("nan"))
    p.add_constant_signal(-0.0)
    p.add_sine_signal(float("inf"), 1e-300, -1e16, 0.0001)
    p.add_mixed_signal(2**64 - 1, 3)  # a ten-byte varint and a self-reference
    p.set_amplitude_source(Coil.A2, 2**64 - 1, external=True)
    return p


def main():
    HERE.mkdir(exist_ok=True)
    os.environ.pop("QELM_TARGET_MACHINE", None)
    default = saved(Protocol())
    assert len(default) == 201
    name = default.index(b"\x07Default")
    files = {
        "default": default,
        "every_kind": saved(every_kind()),
        "extremes": saved(extremes()),
        # Same byte count as "Default": a two-byte UTF-8 character in the coil name.
        "utf8_name": default[:name + 1] + "Défaut".encode() + default[name + 8:],
        # Refused: one byte short, one byte over, a boolean 02, signal kind 7, a varint with a
        # redundant zero group, a sample beyond 16 bits, a coil name that is not UTF-8.
        "truncated": default[:-1],
        "trailing": default + b"\x00",
        "bad_bool": b"\x02" + default[1:],
        "bad_kind": default[:151] + b"\x07" + default[152:],
        "long_varint": default[:-1] + b"\x81\x00",
        "wide_sample": default[:150] + b"\x02\x04\x01\x80\x80\x04" + default[151:],
        "bad_utf8_name": default[:name + 1] + b"\xffefault" + default[name + 8:],
    }
    for file_name, data in files.items():
        (HERE / file_name).write_bytes(data)


if __name__ == "__main__":
    main()
