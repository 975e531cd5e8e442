"""Session duration, intensity, channels, routing and the sampling figures."""

import math

import pytest

from pyqelm import Channel, Coil, Protocol

from support import settings_of

DURATION_MAX = "assertion failed: duration <= config::MAX_SESSION_DURATION"
DURATION_MIN = "assertion failed: duration >= 0.01"
INTENSITY = "assertion failed: intensity >= 0.0 && intensity <= 1.0"


def test_new_protocol_figures(p):
    n = p.get_num_samples()
    assert n == 300000 and type(n) is int
    rate = p.get_sampling_rate()
    assert rate == 5000.0 and type(rate) is float
    assert p.add_constant_signal(0.5) == 0


@pytest.mark.parametrize(
    "duration, samples",
    [(0.01, 50), (1800.0, 9000000), (0.07, 351), (0.0123, 62), (5, 25000), (True, 5000), (60.0, 300000)],
)
def test_session_duration_and_sample_count(p, duration, samples):
    p.set_session_duration(duration)
    assert p.get_num_samples() == samples
    assert settings_of(p)["session_duration"] == float(duration)


@pytest.mark.parametrize(
    "duration, message",
    [
        (1800.0000000000002, DURATION_MAX),
        (math.nan, DURATION_MAX),
        (math.inf, DURATION_MAX),
        (-math.inf, DURATION_MIN),
        (0.00999, DURATION_MIN),
        (0, DURATION_MIN),
        (-1.0, DURATION_MIN),
    ],
)
def test_rejected_durations_keep_the_old_value(p, duration, message):
    p.set_session_duration(2.0)
    with pytest.raises(BaseException) as info:
        p.set_session_duration(duration)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message
    assert p.get_num_samples() == 10000


@pytest.mark.parametrize("intensity", [0.0, 1.0, -0.0, 0.5, 0.3])
def test_accepted_intensities(p, intensity):
    p.set_stimulation_intensity(intensity)
    stored = settings_of(p)["intensity"]
    assert stored == intensity and math.copysign(1, stored) == math.copysign(1, intensity)


@pytest.mark.parametrize("intensity", [1.0000000000000002, -1e-300, math.nan, math.inf, -2.0])
def test_rejected_intensities(p, intensity):
    p.set_stimulation_intensity(0.25)
    with pytest.raises(BaseException) as info:
        p.set_stimulation_intensity(intensity)
    assert str(info.value) == INTENSITY
    assert settings_of(p)["intensity"] == 0.25


def test_enable_channel_only_switches_on(p):
    before = settings_of(p)
    p.enable_channel(Channel.A)
    assert settings_of(p) == before
    p.enable_channel(Channel.B)
    p.enable_channel(Channel.B)
    after = settings_of(p)
    assert after["channel_b_settings"]["enabled"] is True
    assert after["channel_a_settings"]["enabled"] is True
    before["channel_b_settings"]["enabled"] = True
    assert after == before


SOURCE_FIELDS = {
    Coil.A1: ("channel_a_settings", "amplitude1_source"),
    Coil.A2: ("channel_a_settings", "amplitude2_source"),
    Coil.B1: ("channel_b_settings", "amplitude1_source"),
    Coil.B2: ("channel_b_settings", "amplitude2_source"),
}


@pytest.mark.parametrize("coil", list(SOURCE_FIELDS))
def test_amplitude_source_touches_exactly_its_selection(p, coil):
    before = settings_of(p)
    p.set_amplitude_source(coil, 3, external=True)
    after = settings_of(p)
    channel, field = SOURCE_FIELDS[coil]
    assert after[channel][field] == {"internal": 0, "external": 3, "external_selected": True}
    before[channel][field] = after[channel][field]
    assert after == before
    p.set_amplitude_source(coil, 1)
    assert settings_of(p)[channel][field] == {"internal": 1, "external": 0, "external_selected": False}


@pytest.mark.parametrize(
    "channel, field", [(Channel.A, "channel_a_settings"), (Channel.B, "channel_b_settings")]
)
def test_modulation_source(p, channel, field):
    p.set_modulation_source(channel, 0, True)
    assert settings_of(p)[field]["modulation_source"] == {"internal": 0, "external": 0, "external_selected": True}
    p.set_modulation_source(channel=channel, index=2**64 - 1)
    assert settings_of(p)[field]["modulation_source"] == {
        "internal": 2**64 - 1, "external": 0, "external_selected": False}


def test_indices_are_not_range_checked(p):
    p.set_amplitude_source(Coil.A2, 5)
    p.set_amplitude_source(index=2, coil=Coil.A2)
    p.set_amplitude_source(Coil.A1, 2**64 - 1)
    ch = settings_of(p)["channel_a_settings"]
    assert ch["amplitude1_source"]["internal"] == 2**64 - 1
    assert ch["amplitude2_source"]["internal"] == 2


def test_two_protocols_are_independent():
    a, b = Protocol(), Protocol()
    a.set_session_duration(1.0)
    a.enable_channel(Channel.B)
    a.add_constant_signal(1.0)
    assert str(b) == str(Protocol())
    assert b.add_constant_signal(0.0) == 0
