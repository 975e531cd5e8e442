"""The example scripts run end to end, and the installed type stubs describe the module:
the examples pass mypy --strict, misuse is flagged, and stubtest finds no difference from the
runtime module. The type checks are skipped when mypy is not installed."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

# Script, the file it saves, whether it takes the output directory as its argument.
SCRIPTS = [
    ("quickstart.py", "session.qelm", False),
    ("sine_session.py", "sine_session.qelm", True),
    ("two_channels_external.py", "two_channels_external.qelm", True),
    ("arbitrary_envelope.py", "arbitrary_envelope.qelm", True),
    ("mixed_signal.py", "mixed_signal.qelm", True),
    ("variant_from_file.py", "variant.qelm", True),
]


def run(args, cwd):
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300
    )


def test_every_example_is_listed():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted(s for s, _, _ in SCRIPTS)


@pytest.mark.parametrize("script, saved, takes_dir", SCRIPTS, ids=[s for s, _, _ in SCRIPTS])
def test_example_saves_a_protocol(tmp_path, script, saved, takes_dir):
    cwd = tmp_path / "cwd"
    out = tmp_path / "out" if takes_dir else cwd
    cwd.mkdir()
    out.mkdir(exist_ok=True)
    result = run([str(EXAMPLES / script), *([str(out)] if takes_dir else [])], cwd)
    assert result.returncode == 0, result.stderr
    path = out / saved
    assert path.is_file() and path.stat().st_size > 0
    if takes_dir:
        assert result.stdout.count("\n") == 1 and str(path) in result.stdout
        assert list(cwd.iterdir()) == []  # nothing written beside it


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
