"""Fixtures; the helpers themselves live in support.py (re-exported here for older imports)."""

import pytest

import pyqelm

from support import parse_text, settings_of  # noqa: F401  (re-exported)


@pytest.fixture
def p():
    return pyqelm.Protocol()
