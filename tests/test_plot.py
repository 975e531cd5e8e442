"""qelm-inspect --plot: every kind of signal drawn over the session from its parameters (checked
against the levels the picture's footnote defines, sample by sample or as a min/max band per
pixel column), units on the axes and in the parameters, problems marked in red where they are
and nowhere else, and the picture's size, memory and determinism."""

import os
import re
import struct
import xml.etree.ElementTree as ET

import pytest

from pyqelm import Channel, Coil, Protocol

from support import INSPECT, every_kind, varint
from test_inspect import needs_getrusage, peak_rss, run, saved

np = pytest.importorskip("numpy")

pytestmark = pytest.mark.skipif(INSPECT is None, reason="qelm-inspect is not installed")

SVG = "{http://www.w3.org/2000/svg}"
RED = "#d62728"
RATE = 5000.0


def plot(tmp_path, protocol, name="p"):
    out = tmp_path / f"{name}.svg"
    result = run("--plot", out, saved(tmp_path, protocol, f"{name}.qelm"))
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    return ET.parse(out).getroot()


def text_of(element):
    return "".join(element.itertext())


def texts(element):
    return [text_of(t) for t in element.iter(f"{SVG}text")]


def panel(root, position):
    found = root.findall(f".//{SVG}g[@class='panel'][@data-signal='{position}']")
    assert len(found) == 1
    return found[0]


class Frame:
    """The plot area of a panel, levels 0..1 from its bottom to its top."""

    def __init__(self, g):
        rect = g.find(f"{SVG}rect[@class='frame']")
        self.x, self.y = float(rect.get("x")), float(rect.get("y"))
        self.width, self.height = float(rect.get("width")), float(rect.get("height"))

    def y_of(self, level):
        return self.y + (1.0 - level) * self.height


def strokes(d):
    """The horizontal strokes of a path as (x from, x to, y): the paths move by M, H, V and Z."""
    out, x, y, start = [], None, None, None
    for command, args in re.findall(r"([MHVZ])([^MHVZ]*)", d):
        if command == "M":
            x, y = map(float, args.split(","))
            start = (x, y)
        elif command == "H":
            out.append((x, float(args), y))
            x = float(args)
        elif command == "V":
            y = float(args)
        else:
            x, y = start
    return out


def path_ys(d):
    """The y coordinates a path visits: its M start and every V."""
    ys = [float(d[1:].split("H")[0].split(",")[1])]
    ys += [float(part.split("H")[0]) for part in d.split("V")[1:]]
    return ys


# --- the levels the footnote defines -------------------------------------------------------------

SINE = dict(amplitude=0.9, frequency=30.0, phase=0.5, depth=0.8)


def sine_levels(t, amplitude, frequency, phase, depth):
    return amplitude * (1 - depth * (1 - np.sin(2 * np.pi * frequency * t + phase)) / 2)


def ramp_levels(t, duration, peak, up, down):
    return peak * np.clip(np.minimum(t / up, (duration - t) / down), 0.0, 1.0)


def arbitrary_input(n):
    return 0.5 + 0.45 * np.sin(np.linspace(0.0, 7.0, n)) ** 3


def build_kind(kind, duration):
    """A protocol of `duration` seconds whose last signal is of `kind`, routed to coil A1, and
    the levels that signal has at each sample."""
    p = Protocol()
    p.set_session_duration(duration)
    n = p.get_num_samples()
    t = np.arange(n) / RATE
    ramp = (0.8, 0.3 * duration, 0.2 * duration)
    if kind == "Constant":
        position = p.add_constant_signal(0.6)
        levels = np.full(n, 0.6)
    elif kind == "Sine":
        position = p.add_sine_signal(**SINE)
        levels = sine_levels(t, **SINE)
    elif kind == "Ramp":
        position = p.add_ramp_signal(*ramp)
        levels = ramp_levels(t, duration, *ramp)
    elif kind == "MixedSignal":
        position = p.add_mixed_signal(p.add_sine_signal(**SINE), p.add_ramp_signal(*ramp))
        levels = sine_levels(t, **SINE) * ramp_levels(t, duration, *ramp)
    else:
        values = arbitrary_input(n)
        position = p.add_arbitrary_signal(values)
        levels = np.round(values * 32767) / 32767
    p.set_amplitude_source(Coil.A1, position)
    return p, position, levels


KINDS = ["Constant", "Sine", "Ramp", "MixedSignal", "Arbitrary"]


@pytest.mark.parametrize("duration", [0.01, 10.0], ids=["50-samples", "50000-samples"])
@pytest.mark.parametrize("kind", KINDS)
def test_each_kind_is_drawn_over_the_session_as_the_stimulator_samples_it(tmp_path, kind,
                                                                          duration):
    p, position, levels = build_kind(kind, duration)
    root = plot(tmp_path, p)
    g = panel(root, position)
    assert g.get("data-kind") == kind
    frame = Frame(g)
    shown = texts(g)
    assert "time (s)" in shown and "level (1 = full intensity)" in shown
    # The time axis is the session's: its last tick is the session's end.
    assert shown[shown.index("time (s)") - 1] in ("0.010", "10")
    assert not g.findall(f".//{SVG}g[@class='problem']")
    if duration == 0.01:
        # One stroke per sample, each held for its sample period, at the sample's level.
        d = g.find(f"{SVG}path[@class='samples']").get("d")
        drawn = strokes(d)
        assert len(drawn) == len(levels) == 50
        width = frame.width / 50
        for k, (x0, x1, y) in enumerate(drawn):
            assert (x0, x1) == (pytest.approx(frame.x + k * width, abs=0.06),
                                pytest.approx(frame.x + (k + 1) * width, abs=0.06))
            assert y == pytest.approx(frame.y_of(levels[k]), abs=0.06)
    else:
        # A band per pixel column: the level of the column's middle sample lies within it, and
        # the band reaches the highest and lowest level of the whole signal.
        assert g.find(f"{SVG}path[@class='samples']") is None
        drawn = strokes(g.find(f"{SVG}path[@class='envelope']").get("d"))
        tops = sorted((x0, y) for x0, x1, y in drawn if x1 > x0)
        bottoms = sorted((x1, y) for x0, x1, y in drawn if x1 < x0)
        assert len(tops) == len(bottoms) == 1000
        for (x, top), (x_bottom, bottom) in zip(tops, bottoms):
            assert x == pytest.approx(x_bottom, abs=0.06)
            k = int((x + 0.5 - frame.x) / frame.width * len(levels))
            assert top - 0.8 <= frame.y_of(levels[k]) <= bottom + 0.8
        assert min(y for _, y in tops) == pytest.approx(frame.y_of(levels.max()), abs=0.9)
        assert max(y for _, y in bottoms) == pytest.approx(frame.y_of(levels.min()), abs=0.9)


@pytest.mark.parametrize("frequency, phase, expect_full", [
    (1000.0, 0.0, False),   # 5 samples a period: the samples reach 0.976, not 1
    (1250.0, 0.0, True),    # 4 samples a period: 0, 1/4, 1/2, 3/4 of a cycle
    (2500.0, 0.0, False),   # 2 samples a period, both at the zero crossing: a flat level
    (2500.0, np.pi / 2, True),
])
def test_a_fast_sine_is_a_band_of_its_sampled_range(tmp_path, frequency, phase, expect_full):
    p = Protocol()
    p.set_session_duration(10.0)
    p.add_sine_signal(1.0, frequency, phase)
    levels = sine_levels(np.arange(p.get_num_samples()) / RATE, 1.0, frequency, phase, 1.0)
    root = plot(tmp_path, p)
    assert (tmp_path / "p.svg").stat().st_size < 60_000
    g = panel(root, 0)
    frame = Frame(g)
    d = g.find(f"{SVG}path[@class='envelope']").get("d")
    assert d.count("H") <= 2 * 1000 + 2
    drawn = strokes(d)
    top_y, bottom_y = frame.y_of(levels.max()), frame.y_of(levels.min())
    if bottom_y - top_y < 1.5:  # a flat stretch is a line of a pixel and a half
        top_y, bottom_y = (top_y + bottom_y) / 2 - 0.75, (top_y + bottom_y) / 2 + 0.75
    # A few samples a period: every column holds every phase, so every column is the whole band.
    for x0, x1, y in drawn:
        assert y == pytest.approx(top_y if x1 > x0 else bottom_y, abs=0.06)
    assert (levels.max() > 0.9999 and levels.min() < 1e-4) == expect_full


def test_the_longest_session_is_small_and_keeps_a_single_spike(tmp_path):
    p = Protocol()
    p.set_session_duration(1800.0)
    samples = np.zeros(p.get_num_samples())
    assert samples.size == 9_000_000
    samples[4_500_001] = 1.0  # one sample in 9,000: a plot that subsamples would miss it
    p.add_arbitrary_signal(samples)
    out = tmp_path / "long.svg"
    assert run("--plot", out, saved(tmp_path, p)).returncode == 0
    assert out.stat().st_size < 100_000
    g = panel(ET.parse(out).getroot(), 0)
    frame = Frame(g)
    ys = path_ys(g.find(f"{SVG}path[@class='envelope']").get("d"))
    # A flat stretch is a band of at least a pixel and a half, centred on its value.
    assert min(ys) == pytest.approx(frame.y)                          # the spike reaches 1
    assert max(ys) == pytest.approx(frame.y + frame.height, abs=1)    # everything else is 0
    assert sum(1 for y in ys if y == pytest.approx(frame.y)) == 1
    assert {"0", "500", "1000", "1500"} <= set(texts(g))


@needs_getrusage
@pytest.mark.skipif(os.environ.get("PYQELM_SANITIZED") == "1",
                    reason="AddressSanitizer's shadow memory and quarantine inflate resident size")
def test_computed_levels_of_the_longest_session_take_no_memory_per_sample(tmp_path):
    # Nine million levels per signal, five signals: kept as they come, they would be 360 MB.
    p = Protocol()
    p.set_session_duration(1800.0)
    p.add_sine_signal(1.0, 1000.0)
    p.add_ramp_signal(1.0, 60.0, 60.0)
    p.add_mixed_signal(0, 1)
    p.add_mixed_signal(2, 0)
    p.add_constant_signal(0.5)
    p.set_amplitude_source(Coil.A1, 3)
    status, rss, err = peak_rss("--plot", tmp_path / "o.svg", saved(tmp_path, p))
    assert status == 0, err
    assert rss < 32 << 20


# --- what is wrong, in red -----------------------------------------------------------------------

def arbitrary_of(seconds, session):
    """An arbitrary signal made for a session of `seconds`, in a session of `session` seconds."""
    p = Protocol()
    p.set_session_duration(seconds)
    p.add_arbitrary_signal(np.full(p.get_num_samples(), 0.5))
    p.set_session_duration(session)
    return p


def shorter():
    return arbitrary_of(2.0, 3.0)


def longer():
    return arbitrary_of(4.0, 3.0)


def mixed_with_a_shorter_input():
    p = arbitrary_of(2.0, 3.0)
    p.add_sine_signal(1.0, 5.0)
    p.add_mixed_signal(1, 0)
    p.set_amplitude_source(Coil.A2, 2)
    return p


def missing_signal_source():
    p = Protocol()
    p.add_constant_signal(0.5)
    p.set_amplitude_source(Coil.A2, 3)
    return p


def missing_source_on_a_disabled_channel():
    p = Protocol()
    p.add_constant_signal(0.5)
    p.set_amplitude_source(Coil.B2, 3)
    return p


def external_input(number):
    def build():
        p = Protocol()
        p.add_constant_signal(0.5)
        p.enable_channel(Channel.B)
        p.set_modulation_source(Channel.B, number, external=True)
        return p
    return build


def mixed_naming_a_missing_signal():
    p = Protocol()
    p.add_constant_signal(0.5)
    p.add_mixed_signal(0, 9)
    p.set_amplitude_source(Coil.A1, 1)
    return p


def mixed_cycle():
    p = Protocol()
    p.add_mixed_signal(1, 0)
    p.add_mixed_signal(0, 2)
    p.add_constant_signal(0.5)
    return p


def levels_of(*signals):
    """Signals whose levels leave 0..1 or are not numbers: constants and sines."""
    def build():
        p = Protocol()
        for signal in signals:
            if isinstance(signal, tuple):
                p.add_sine_signal(*signal)
            else:
                p.add_constant_signal(signal)
        return p
    build.__name__ = "levels_of_" + "_".join(map(str, signals))
    return build


def parents(root):
    return {child: parent for parent in root.iter() for child in parent}


def where(element, up):
    """The panel or routing row an element belongs to: "signal 3" or "A: coil A2 amplitude"."""
    while element is not None:
        if element.get("class") == "panel":
            return f"signal {element.get('data-signal')}"
        if element.get("class") == "route":
            return f"{element.get('data-channel')}: {texts(element)[0]}"
        element = up.get(element)
    return None


def is_red(element):
    return RED in (element.get("fill"), element.get("stroke"))


@pytest.mark.parametrize("build, expected", [
    (every_kind, {}),
    (shorter, {("signal 0", "length"): "10000 samples (2 s) for a session of 15000 samples (3 s): "
                                       "no samples for the session's last 1 s"}),
    (longer, {("signal 0", "length"): "20000 samples (4 s) for a session of 15000 samples (3 s): "
                                      "5000 samples (1 s) beyond the session's end"}),
    (mixed_with_a_shorter_input, {
        ("signal 0", "length"): "10000 samples (2 s) for a session of 15000 samples (3 s)",
        ("signal 2", "length"): "input signal 0 has 10000 samples (2 s), the session 15000 (3 s): "
                                "no level after 2 s"}),
    (missing_signal_source, {("A: coil A2 amplitude", "missing"):
                             "signal 3 does not exist (1 signal: 0)"}),
    (missing_source_on_a_disabled_channel, {}),
    (external_input(5), {}),
    (external_input(6), {("B: channel B modulation", "external"):
                         "external input 6 does not exist (the machine has 6 inputs: 0..5)"}),
    (mixed_naming_a_missing_signal, {
        ("signal 1", "missing"): "input b of signal 1: signal 9 does not exist (2 signals: 0..1)",
        ("A: coil A1 amplitude", "missing"): "b: signal 9 does not exist (2 signals: 0..1)"}),
    (mixed_cycle, {("signal 0", "cycle"): "signal 0 mixes itself in a cycle (0 -> 1 -> 0)",
                   ("signal 1", "cycle"): "signal 1 mixes itself in a cycle (1 -> 0 -> 1)"}),
    (levels_of(0.0, 1.0, (0.5, 3.0, 0.0, 1.0)), {}),
    (levels_of(1.5), {("signal 0", "range"): "levels reach 1.5, outside 0..1"}),
    (levels_of(0.5, (1.0, 3.0, 0.0, 1.5)),
     {("signal 1", "range"): "levels reach -0.5, outside 0..1"}),
    (levels_of((1e308, 3.0, 0.0, 3.0)), {
        ("signal 0", "range"): "levels reach -1.",
        ("signal 0", "not-finite"): "of the levels are not a number (NaN or infinite)"}),
    (levels_of(float("nan"), (float("inf"), 1.0)), {
        ("signal 0", "not-finite"): "300000 of the levels are not a number",
        ("signal 1", "not-finite"): "300000 of the levels are not a number"}),
], ids=lambda v: v.__name__ if callable(v) else None)
def test_problems_are_marked_in_red_where_they_are_and_nowhere_else(tmp_path, build, expected):
    root = plot(tmp_path, build())
    up = parents(root)
    found = {}
    for g in root.iter(f"{SVG}g"):
        if g.get("class") == "problem":
            # What is wrong, said first; then any labels on the plot.
            said = [text_of(t) for t in g.iter(f"{SVG}text") if t.get("fill") == RED]
            assert said and said[0]
            found[(where(g, up), g.get("data-problem"))] = said[0]
    assert set(found) == set(expected)
    for key, text in expected.items():
        assert text in found[key]
    # Red is kept for problems: every red element is inside one. Every coordinate is a number.
    for element in root.iter():
        for name in ("x", "y", "width", "height", "x1", "x2", "y1", "y2", "d", "transform"):
            assert not re.search(r"nan|inf", element.get(name, ""), re.I), ET.tostring(element)
        if is_red(element):
            ancestor = element
            while ancestor is not None and ancestor.get("class") != "problem":
                ancestor = up.get(ancestor)
            assert ancestor is not None, ET.tostring(element)


@pytest.mark.parametrize("build, position, shaded, session_end", [
    (shorter, 0, (2 / 3, 1.0), None),
    (longer, 0, (3 / 4, 1.0), 3 / 4),
    (mixed_with_a_shorter_input, 2, (2 / 3, 1.0), None),
], ids=["shorter", "longer", "mixed-input-shorter"])
def test_a_length_mismatch_shades_the_stretch_it_concerns(tmp_path, build, position, shaded,
                                                          session_end):
    root = plot(tmp_path, build())
    g = panel(root, position)
    frame = Frame(g)
    rect = g.find(f".//{SVG}g[@class='problem']/{SVG}rect[@class='mismatch']")
    x0, width = float(rect.get("x")), float(rect.get("width"))
    assert ((x0 - frame.x) / frame.width, (x0 + width - frame.x) / frame.width) == (
        pytest.approx(shaded[0], abs=1e-3), pytest.approx(shaded[1], abs=1e-3))
    assert rect.get("fill") == RED
    line = g.find(f".//{SVG}line[@class='session-end']")
    if session_end is None:
        assert line is None
    else:
        assert (float(line.get("x1")) - frame.x) / frame.width == pytest.approx(session_end,
                                                                               abs=1e-3)
    # The time axis spans the longer of the session and the signal.
    last_tick = texts(g)[texts(g).index("time (s)") - 1]
    assert float(last_tick) == (4.0 if build is longer else 3.0)


@pytest.mark.parametrize("duration, samples", [(float("nan"), 0), (1e12, 5 * 10**15)],
                         ids=["nan", "beyond-any-session"])
def test_a_session_no_method_can_set_computes_no_levels_but_draws_the_samples(tmp_path, duration,
                                                                               samples):
    p = Protocol()
    p.set_session_duration(2.0)
    p.add_sine_signal(1.0, 5.0)
    p.add_arbitrary_signal(np.full(p.get_num_samples(), 0.25))
    data = saved(tmp_path, p).read_bytes()
    stored = struct.pack("<d", 2.0)
    assert data.count(stored) == 1
    path = tmp_path / "damaged.qelm"
    path.write_bytes(data.replace(stored, struct.pack("<d", duration)))
    out = tmp_path / "damaged.svg"
    assert run("--plot", out, path).returncode == 0
    root = ET.parse(out).getroot()
    sine, arbitrary = panel(root, 0), panel(root, 1)
    problems = sine.findall(f".//{SVG}g[@class='problem']")
    assert [g.get("data-problem") for g in problems] == ["session"]
    said = texts(problems[0])[0]
    assert f"gives {samples} samples, outside 1..9000000: levels not computed" in said
    assert sine.find(f"{SVG}path") is None
    # The arbitrary signal's own 10000 samples, on its own 2-second axis.
    assert arbitrary.find(f".//{SVG}g[@class='problem']") is None
    assert len(strokes(arbitrary.find(f"{SVG}path[@class='envelope']").get("d"))) == 2 * 1000
    assert texts(arbitrary)[texts(arbitrary).index("time (s)") - 1] == "2.0"


# --- routing, parameters with units, the rest counted --------------------------------------------

def quickstart():
    """The protocol of examples/quickstart.py."""
    p = Protocol()
    p.set_session_duration(10.0)
    p.set_stimulation_intensity(0.25)
    p.add_sine_signal(amplitude=1.0, frequency=10.0)
    p.add_ramp_signal(peak=1.0, up_duration=2.0, down_duration=2.0)
    p.set_amplitude_source(Coil.A1, 0)
    p.enable_channel(Channel.B)
    p.set_amplitude_source(Coil.B1, 1)
    p.set_modulation_source(Channel.B, 2, external=True)
    return p


def mixed_on_a_disabled_channel():
    p = Protocol()
    p.add_constant_signal(0.5)                                      # 0
    p.add_arbitrary_signal(np.zeros(p.get_num_samples()))           # 1
    p.add_mixed_signal(0, 7)                                        # 2
    p.set_amplitude_source(Coil.A2, 2)
    p.set_amplitude_source(Coil.B1, 1)
    return p


def routes(root):
    """Per channel, the rows of the routing panel: the input and what drives it, as texts."""
    rows = {}
    for g in root.find(f".//{SVG}g[@class='routing']").findall(f"{SVG}g[@class='route']"):
        rows.setdefault(g.get("data-channel"), []).append(texts(g))
    return rows


SINE_10_HZ = "signal 0: Sine, amplitude 1.0, frequency 10.0 Hz, phase 0.0 rad, depth 1.0"


@pytest.mark.parametrize("build, expected, uses", [
    (quickstart, {
        "A": [["coil A1 amplitude", SINE_10_HZ], ["coil A2 amplitude", SINE_10_HZ],
              ["channel A modulation", SINE_10_HZ]],
        "B": [["coil B1 amplitude", "signal 1: Ramp, peak 1.0, up_duration 2.0 s, "
                                    "down_duration 2.0 s"],
              ["coil B2 amplitude", SINE_10_HZ],
              ["channel B modulation", "external input 2"]]},
     ["drives coil A1 amplitude, coil A2 amplitude, channel A modulation, coil B2 amplitude",
      "drives coil B1 amplitude"]),
    (mixed_on_a_disabled_channel, {
        "A": [["coil A1 amplitude", "signal 0: Constant, value 0.5"],
              ["coil A2 amplitude", "signal 2: MixedSignal, a: signal 0 (Constant), "
                                    "b: signal 7 (does not exist)",
               "a: signal 0: Constant, value 0.5", "b: signal 7 does not exist (3 signals: 0..2)"],
              ["channel A modulation", "signal 0: Constant, value 0.5"]],
        "B": [["coil B1 amplitude", "signal 1: Arbitrary, 300000 samples (60.0 s), min 0 (raw 0), "
                                    "max 0 (raw 0), mean 0 (raw 0)"],
              ["coil B2 amplitude", "signal 0: Constant, value 0.5"],
              ["channel B modulation", "signal 0: Constant, value 0.5"]]},
     ["drives coil A1 amplitude, channel A modulation; input of signal 2",
      "unused: drives no input of an enabled channel and no mixed signal",
      "drives coil A2 amplitude"]),
], ids=["quickstart", "mixed-and-disabled"])
def test_plot_shows_what_drives_each_input(tmp_path, build, expected, uses):
    root = plot(tmp_path, build())
    assert routes(root) == expected
    headings = [text_of(t) for t in root.find(f".//{SVG}g[@class='routing']")
                if t.tag == f"{SVG}text"]
    enabled_b = build is quickstart
    assert headings[1] == ('channel A: enabled, coil 0 "Default", '
                           'LC setting 0 (22.624434389140273 kHz)')
    assert headings[2].startswith("channel B: enabled," if enabled_b else
                                  "channel B: disabled, not driven,")
    panels = root.findall(f".//{SVG}g[@class='panel']")
    assert [text_of(g.find(f"{SVG}text[@class='uses']")) for g in panels] == uses


def test_every_kind_gets_a_panel_with_its_parameters_and_units(tmp_path):
    root = plot(tmp_path, every_kind())
    panels = root.findall(f".//{SVG}g[@class='panel']")
    assert [(g.get("data-signal"), g.get("data-kind")) for g in panels] == [
        ("0", "Sine"), ("1", "Constant"), ("2", "Ramp"), ("3", "Arbitrary"), ("4", "MixedSignal")]
    assert [text_of(g.find(f"{SVG}text[@class='title']")) for g in panels] == [
        "signal 0: Sine, amplitude 1.0, frequency 10.0 Hz, phase 0.25 rad, depth 0.5",
        "signal 1: Constant, value 0.75",
        "signal 2: Ramp, peak 1.0, up_duration 0.002 s, down_duration 0.003 s",
        "signal 3: Arbitrary, 50 samples (0.01 s), min 0 (raw 0), max 1 (raw 32767), "
        "mean 0.5 (raw 16383.5)",
        "signal 4: MixedSignal, a: signal 0 (Sine), b: signal 3 (Arbitrary)",
    ]
    for g in panels:
        shown = texts(g)
        assert {"0.0", "0.5", "1.0", "time (s)", "level (1 = full intensity)"} <= set(shown)
        assert {"0.000", "0.002", "0.004", "0.006", "0.008", "0.010"} <= set(shown)
    footnote = " ".join(texts(root.find(f".//{SVG}g[@class='model']")))
    assert "5000 samples per second" in footnote and "frequency in Hz" in footnote
    assert root.find(f".//{SVG}g[@class='parameters']") is None  # all five are drawn


def test_the_plot_is_the_same_every_time(tmp_path):
    first = plot(tmp_path, mixed_with_a_shorter_input(), "a")
    assert first is not None
    again = run("--plot", tmp_path / "b.svg", tmp_path / "a.qelm")
    assert again.returncode == 0
    assert (tmp_path / "a.svg").read_bytes().replace(b"a.qelm", b"") == (
        (tmp_path / "b.svg").read_bytes().replace(b"a.qelm", b""))


@pytest.mark.parametrize("name, accepted", [
    ("p.svg", True), ("P.SVG", True), ("p.png", False), ("p", False), ("p.svg.png", False),
])
def test_plot_writes_only_svg_files(tmp_path, name, accepted):
    result = run("--plot", tmp_path / name, saved(tmp_path, Protocol()))
    assert result.returncode == (0 if accepted else 2)
    assert (tmp_path / name).exists() == accepted
    if not accepted:
        assert "the --plot output must be an .svg file" in result.stderr.decode()


ONE_SAMPLE_AND_CONSTANT = b"\x04\x01\x7e" + b"\x00" + bytes(8)


def test_the_picture_stays_small_whatever_the_number_of_signals(tmp_path):
    # 100,000 one-sample arbitrary signals (even positions) and as many constants; channel A
    # is driven by signals 0 and 199998, which are drawn whatever their position.
    p = Protocol()
    p.set_amplitude_source(Coil.A2, 199_998)
    base = saved(tmp_path, p, "base.qelm").read_bytes()
    assert base[150:160] == b"\x01" + bytes(9)
    path = tmp_path / "many.qelm"
    path.write_bytes(base[:150] + varint(200_000) + ONE_SAMPLE_AND_CONSTANT * 100_000 + base[160:])
    out = tmp_path / "many.svg"
    result = run("--plot", out, path)
    assert result.returncode == 0, result.stderr
    assert out.stat().st_size < 1_000_000
    root = ET.parse(out).getroot()
    panels = root.findall(f".//{SVG}g[@class='panel']")
    assert [int(g.get("data-signal")) for g in panels] == list(range(11)) + [199_998]
    listed = texts(root.find(f".//{SVG}g[@class='parameters']"))
    assert listed[1:41] == [f"signal {k}: " + ("Arbitrary, 1 sample (0.0002 s), min 0.00192267 "
                                              "(raw 63), max 0.00192267 (raw 63), mean 0.00192267 "
                                              "(raw 63)" if k % 2 == 0 else "Constant, value 0.0")
                            for k in range(11, 51)]
    omitted = [text_of(t) for t in root.iter(f"{SVG}text") if t.get("class") == "omitted"]
    assert omitted == [
        "\u2026 and 199948 more, not listed (12 drawn and 40 listed are shown, those that drive "
        "an enabled channel first; qelm-inspect --summary lists every signal)"]
