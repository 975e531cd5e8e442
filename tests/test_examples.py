"""The example scripts run end to end, and the installed type stubs describe the module:
the examples pass mypy --strict, misuse is flagged, and stubtest finds no difference from the
runtime module. The type checks are skipped when mypy is not installed."""

import os
import pathlib
import subprocess
import sys

import pytest

import qelmfile
from pyqelm import Protocol

from support import INSPECT

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

QUICKSTART_OUTPUT = """\
saved session.qelm
file:       session.qelm, 250 bytes
session:    10.0 s, 50000 samples at 5000 per second
intensity:  0.25 (machine's max_intensity_setpoint 0.3)
built on the stimulator: no
channel A:  enabled, coil 0 "Default", LC setting 0 (22.624434389140273 kHz)
  coil A1 amplitude: signal 0 (Sine)
  coil A2 amplitude: signal 0 (Sine)
  modulation:        signal 0 (Sine)
channel B:  enabled, coil 0 "Default", LC setting 0 (22.624434389140273 kHz)
  coil B1 amplitude: signal 1 (Ramp)
  coil B2 amplitude: signal 0 (Sine)
  modulation:        external input 2
signals:    2
  0  Sine        amplitude 1.0, frequency 10.0, phase 0.0, depth 1.0
  1  Ramp        peak 1.0, up_duration 2.0, down_duration 2.0
coils:      1 record (num_coils 2), 6 external inputs
  coil 0 "Default": inductance 150.0 uH, max_current 0.1, max_carrier_frequency 40.0 kHz
    LC setting 0: 330.0 nF, 22.624434389140273 kHz, 221 ticks per sample, bank setting 1

Protocol {
    settings: Settings {
        running_on_target_machine: false,
        machine_config: MachineConfig {
            supply_voltage: 80.0,
            num_coils: 2,
            coils: [
                Coil {
                    name: "Default",
                    inductance: 150.0,
                    max_current: 0.1,
                    max_carrier_frequency: 40.0,
                    settings: [
                        LCSetting {
                            capacitance: 330.0,
                            carrier_frequency: 22.624434389140273,
                            clk_ticks_per_sample: 221,
                            capacitor_bank_setting: 1,
                        },
                    ],
                },
            ],
            capacitors: [
                330.0,
            ],
            possible_capacitances: [
                330.0,
            ],
            num_external_signal_sources: 6,
            smbus_psu_connected: false,
            num_temperature_sensors: 0,
            num_flow_rate_sensors: 0,
            safety_checks_enabled: true,
            max_intensity_setpoint: 0.3,
            max_current: 0.5,
            max_carrier_frequency: 40.0,
            max_temperature: 40.0,
            min_flowrate: 70.0,
            max_power: 520.0,
        },
        intensity: 0.25,
        session_duration: 10.0,
        signals: [
            Sine(
                SineSignalParams {
                    amplitude: 1.0,
                    frequency: 10.0,
                    phase: 0.0,
                    depth: 1.0,
                },
            ),
            Ramp(
                RampSignalParams {
                    peak: 1.0,
                    up_duration: 2.0,
                    down_duration: 2.0,
                },
            ),
        ],
        channel_a_settings: ChannelSettings {
            enabled: true,
            amplitude1_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            amplitude2_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            modulation_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            coil_idx: 0,
            coil_setting_idx: 0,
        },
        channel_b_settings: ChannelSettings {
            enabled: true,
            amplitude1_source: SignalSourceSelection {
                internal: 1,
                external: 0,
                external_selected: false,
            },
            amplitude2_source: SignalSourceSelection {
                internal: 0,
                external: 0,
                external_selected: false,
            },
            modulation_source: SignalSourceSelection {
                internal: 0,
                external: 2,
                external_selected: true,
            },
            coil_idx: 0,
            coil_setting_idx: 0,
        },
        monitor_trace_visible: [
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
            false,
        ],
        monitor_subsampling_factor: 1,
    },
}
"""

# Script, the files it saves, whether it takes the output directory as its argument.
SCRIPTS = [
    ("quickstart.py", ["session.qelm"], False),
    ("sine_session.py", ["sine_session.qelm"], True),
    ("two_channels_external.py", ["two_channels_external.qelm"], True),
    ("arbitrary_envelope.py", ["arbitrary_envelope.qelm"], True),
    ("mixed_signal.py", ["mixed_signal.qelm"], True),
    ("variant_from_file.py", ["base.qelm", "variant.qelm"], True),
]
IDS = [s for s, _, _ in SCRIPTS]

# What each script prints when run in its output directory (given as "."), as the README quotes
# it. The quickstart shows its file with qelm-inspect: the summary, then the text form.
OUTPUT = {
    "quickstart.py": QUICKSTART_OUTPUT,
    "sine_session.py":
        "saved sine_session.qelm: 20 min, a 10 Hz sine on coils A1 and A2, intensity 0.3\n",
    "two_channels_external.py":
        "saved two_channels_external.qelm: 10 min, 6 Hz on channel A and 40 Hz on channel B, "
        "modulated by external inputs 1 and 2\n",
    "arbitrary_envelope.py":
        "saved arbitrary_envelope.qelm: 30 s, 150000 samples from 0.000 to 1.000\n",
    "mixed_signal.py":
        "saved mixed_signal.qelm: signal 2 on coil A1 mixes signal 0 (20 Hz sine) and signal 1 "
        "(ramp, 30 s up, 30 s down)\n",
    "variant_from_file.py": (
        "base.qelm: ok\n"
        "variant.qelm: ok; changed from base.qelm:\n"
        "  intensity: 0.2 -> 0.25\n"
        "  signals: 1 -> 2 entries\n"
        "  channel_b_settings.enabled: False -> True\n"
        "  channel_b_settings.amplitude1_source.internal: 0 -> 1\n"),
}


def run(args, cwd):
    env = {k: v for k, v in os.environ.items() if k != "QELM_TARGET_MACHINE"}
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300, env=env
    )


def test_every_example_is_listed():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(IDS)


def assert_clean(path):
    """The file passes qelm-inspect --check and qelmfile.check."""
    assert qelmfile.check(qelmfile.load(path)) == []
    if INSPECT is not None:
        result = subprocess.run([INSPECT, "--check", str(path)], capture_output=True, text=True,
                                timeout=120)
        assert (result.returncode, result.stdout) == (0, "ok\n"), result.stdout


@pytest.mark.parametrize("script, saves, takes_dir", SCRIPTS, ids=IDS)
def test_example_prints_its_expected_output_and_saves_clean_files(tmp_path, script, saves,
                                                                  takes_dir):
    if script == "quickstart.py" and INSPECT is None:
        pytest.skip("the quickstart shows its file with qelm-inspect")
    result = run([str(EXAMPLES / script), *(["."] if takes_dir else [])], tmp_path)
    assert result.returncode == 0, result.stderr
    assert (result.stdout, result.stderr) == (OUTPUT[script], "")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(saves)
    for name in saves:
        assert_clean(tmp_path / name)


@pytest.mark.parametrize("script, saves", [(s, f) for s, f, d in SCRIPTS if d],
                         ids=[s for s, _, d in SCRIPTS if d])
def test_example_saves_into_the_directory_it_is_given(tmp_path, script, saves):
    cwd = tmp_path / "cwd"
    out = tmp_path / "out"
    cwd.mkdir()
    out.mkdir()
    result = run([str(EXAMPLES / script), str(out)], cwd)
    assert result.returncode == 0, result.stderr
    assert sorted(p.name for p in out.iterdir()) == sorted(saves)
    assert str(out / saves[-1]) in result.stdout
    assert list(cwd.iterdir()) == []  # nothing written beside it


def test_variant_reports_the_findings_of_a_base_file_that_has_some(tmp_path):
    # A base file whose intensity is above the machine's set-point: the variant is capped at it.
    base = Protocol()
    base.set_stimulation_intensity(0.5)
    base.save(str(tmp_path / "given.qelm"))
    result = run([str(EXAMPLES / "variant_from_file.py"), ".", "given.qelm"], tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:2] == ["given.qelm: 1 finding",
                                              "variant.qelm: ok; changed from given.qelm:"]
    assert result.stderr == "  intensity: 0.5 is above the machine's max_intensity_setpoint 0.3\n"
    assert qelmfile.load(tmp_path / "variant.qelm").intensity == 0.3


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    pytest.importorskip("mypy")
    workdir = tmp_path_factory.mktemp("mypy")

    def check(*args):
        # From an empty directory, so that only the installed module and its stubs are seen.
        return run(["-m", "mypy", "--cache-dir", str(workdir / "cache"), *args], workdir)

    check.workdir = workdir
    return check


@pytest.mark.typecheck
def test_examples_pass_mypy_strict(mypy):
    result = mypy("--strict", str(EXAMPLES))
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = """\
import pathlib
import numpy as np
from pyqelm import Channel, Coil, Protocol
p = Protocol()
p.enable_channel(0)
p.set_amplitude_source(Channel.A, 0)
p.set_modulation_source(Channel.A, 1.0)
p.set_modulation_source(Channel.A, 1, external=1)
p.add_mixed_signal(0, "1")
p.add_arbitrary_signal([0.0, 1.0])
p.save(pathlib.Path("x.qelm"))
Coil()
position: str = p.add_constant_signal(0.5)
ok: int = int(Coil.A1) + int(Channel.B) + p.add_sine_signal(1, 2.5, depth=np.float64(0.5))
"""


@pytest.mark.typecheck
def test_stubs_reject_misuse(mypy):
    pytest.importorskip("numpy")
    source = mypy.workdir / "misuse.py"
    source.write_text(MISUSE)
    result = mypy("--strict", str(source))
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    # Every line from enable_channel(0) to the str annotation is wrong except `Coil()`, which
    # a stub cannot forbid; the last line is right.
    assert flagged == set(range(5, 12)) | {13}, result.stdout


@pytest.mark.typecheck
def test_stubs_match_the_runtime_module(mypy):
    allowlist = pathlib.Path(__file__).resolve().parent / "stubtest-allowlist.txt"
    args = ["--allowlist", str(allowlist)] if allowlist.exists() else []
    result = run(["-m", "mypy.stubtest", "pyqelm", *args], mypy.workdir)
    assert result.returncode == 0, result.stdout + result.stderr
