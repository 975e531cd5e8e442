"""The text form of a protocol and the environment variable it records."""

import os
import subprocess
import sys

import pytest

from pyqelm import Protocol

from support import settings_of


def test_new_protocol_text(monkeypatch):
    monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    text = str(Protocol())
    lines = text.split("\n")
    assert len(lines) == 104 and len(text) == 3101
    assert lines[:4] == [
        "Protocol {",
        "    settings: Settings {",
        "        running_on_target_machine: false,",
        "        machine_config: MachineConfig {",
    ]
    assert lines[-3:] == ["        monitor_subsampling_factor: 1,", "    },", "}"]
    assert "        signals: []," in lines
    assert '                    name: "Default",' in lines
    flags = lines.index("        monitor_trace_visible: [")
    assert lines[flags + 1 : flags + 18] == ["            false,"] * 16 + ["        ],"]
    assert not any(line.endswith(" ") for line in lines)


def test_text_of_each_signal_kind(p):
    p.add_constant_signal(0.5)
    p.add_sine_signal(1.0, 10.0, depth=0.5)
    p.add_ramp_signal(-1.0, 0.0, float("nan"))
    p.add_mixed_signal(99, 99)
    signals = settings_of(p)["signals"]
    assert signals[0] == ("Constant", {"value": 0.5})
    assert signals[1] == ("Sine", {"amplitude": 1.0, "frequency": 10.0, "phase": 0.0, "depth": 0.5})
    assert signals[2][0] == "Ramp" and signals[2][1]["peak"] == -1.0
    assert "down_duration: NaN," in str(p)
    assert signals[3] == ("MixedSignal", {"a_idx": 99, "b_idx": 99})


WINDOWS = sys.platform == "win32"


def _target_flag(env_value):
    """The flag a child process reports with `env_value` in its environment (None: absent).
    POSIX environments hold bytes, Windows' UTF-16 text (lone surrogates included)."""
    if WINDOWS:
        env = {k: v for k, v in os.environ.items() if k.upper() != "QELM_TARGET_MACHINE"}
        if env_value is not None:
            env["QELM_TARGET_MACHINE"] = env_value
    else:
        env = {k.encode(): v.encode() for k, v in os.environ.items() if k != "QELM_TARGET_MACHINE"}
        if env_value is not None:
            env[b"QELM_TARGET_MACHINE"] = env_value
    code = (
        "import pyqelm\n"
        "print(str(pyqelm.Protocol()).split(chr(10))[2].strip())\n"
    )
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return out.stdout.strip()


POSIX_VALUES = [
    (None, "false"),
    (b"", "true"),
    (b"1", "true"),
    (b"caf\xc3\xa9", "true"),
    (b"\xff\xfe", "false"),
    (b"\xed\xa0\x80", "false"),  # an encoded surrogate is not UTF-8
]
# "Not valid Unicode" in a UTF-16 environment is an unpaired surrogate.
WINDOWS_VALUES = [
    (None, "false"),
    ("", "true"),  # an environment block handed to a child may hold an empty value
    ("1", "true"),
    ("caf\u00e9", "true"),
    ("\U0001F600", "true"),  # a surrogate pair
    ("\ud800", "false"),
    ("x\udc00y", "false"),
    ("\ude00\ud83d", "false"),  # a pair in the wrong order
]


@pytest.mark.parametrize("value, expected", WINDOWS_VALUES if WINDOWS else POSIX_VALUES)
def test_target_machine_variable(value, expected):
    assert _target_flag(value) == f"running_on_target_machine: {expected},"


# Set from Python in this very process. Windows deletes a variable set to the empty text in its
# own process (os.environ calls _wputenv), so there the empty value reads as absent.
@pytest.mark.parametrize(
    "value, expected",
    [("yes", True), ("", not WINDOWS)]
    + ([("\ud800", False), ("a\udfff", False), ("\U0001F600", True)] if WINDOWS else []),
)
def test_target_machine_variable_set_in_this_process(monkeypatch, value, expected):
    monkeypatch.setenv("QELM_TARGET_MACHINE", value)
    assert settings_of(Protocol())["running_on_target_machine"] is expected
    monkeypatch.delenv("QELM_TARGET_MACHINE")
    assert settings_of(Protocol())["running_on_target_machine"] is False


def test_target_machine_variable_is_read_at_every_construction(monkeypatch):
    monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    assert settings_of(Protocol())["running_on_target_machine"] is False
    monkeypatch.setenv("QELM_TARGET_MACHINE", "yes")
    assert settings_of(Protocol())["running_on_target_machine"] is True
    monkeypatch.delenv("QELM_TARGET_MACHINE")
    assert settings_of(Protocol())["running_on_target_machine"] is False
