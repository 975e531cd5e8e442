"""Fixtures; the helpers themselves live in support.py (re-exported here for older imports)."""

import os
import shutil
import subprocess
import sys

import pytest

import pyqelm

from support import parse_text, settings_of  # noqa: F401  (re-exported)


@pytest.fixture
def p():
    return pyqelm.Protocol()


@pytest.fixture(scope="session")
def as_nobody():
    """The command prefix that runs a child as the unprivileged user nobody, or a skip."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv to set up another user's files")
    prefix = ("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups")
    probe = subprocess.run([*prefix, sys.executable, "-c", "import pyqelm"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"nobody cannot run this interpreter: {probe.stderr.decode().strip()}")
    return prefix
