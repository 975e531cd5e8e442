"""Shared helpers: reading a protocol's settings back from its text form."""

import re

import pytest

import pyqelm

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


@pytest.fixture
def p():
    return pyqelm.Protocol()
