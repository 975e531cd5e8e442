"""The module object, its classes and the enumerations as Python sees them."""

import inspect
import operator
import subprocess
import sys

import pytest

import pyqelm
from pyqelm import Channel, Coil, Protocol


def test_module_attributes():
    assert pyqelm.__all__ == ["Protocol", "Channel", "Coil"]
    assert pyqelm.__doc__ == ""
    assert not hasattr(pyqelm, "PanicException")


@pytest.mark.parametrize("cls", [Protocol, Coil, Channel])
def test_class_identity_and_closed_for_subclassing(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def test_reimport_gives_the_same_module_object():
    first = sys.modules.pop("pyqelm")
    try:
        import pyqelm as again

        assert again is first
    finally:
        sys.modules["pyqelm"] = first


@pytest.mark.parametrize(
    "value, text, number",
    [
        (Coil.A1, "Coil.A1", 0),
        (Coil.A2, "Coil.A2", 1),
        (Coil.B1, "Coil.B1", 2),
        (Coil.B2, "Coil.B2", 3),
        (Channel.A, "Channel.A", 0),
        (Channel.B, "Channel.B", 1),
    ],
)
def test_enumeration_values(value, text, number):
    assert repr(value) == text
    assert str(value) == text
    assert int(value) == number
    assert bool(value) is True
    assert type(value).__module__ == "builtins"


def test_enumeration_identity_semantics():
    assert Coil.A1 is Coil.A1
    assert Coil.A1 == Coil.A1
    assert Coil.A1 != Coil.A2
    assert Coil.A1 != 0
    assert {Coil.A1: 1}[Coil.A1] == 1
    with pytest.raises(TypeError):
        operator.index(Coil.B1)
    with pytest.raises(TypeError):
        float(Channel.B)


@pytest.mark.parametrize("cls", [Coil, Channel])
def test_enumerations_cannot_be_instantiated(cls):
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("obj", [Protocol(), Coil.A1, Channel.B])
def test_instances_have_no_dict_and_no_weakrefs(obj):
    import weakref

    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1


def test_classes_are_not_frozen():
    Protocol.extra_attribute = 5
    try:
        assert Protocol().extra_attribute == 5
    finally:
        del Protocol.extra_attribute


METHODS = [
    ("set_stimulation_intensity", ["self", "intensity"], {}),
    ("set_session_duration", ["self", "duration"], {}),
    ("enable_channel", ["self", "channel"], {}),
    ("set_amplitude_source", ["self", "coil", "index", "external"], {"external": False}),
    ("set_modulation_source", ["self", "channel", "index", "external"], {"external": False}),
    ("add_constant_signal", ["self", "value"], {}),
    ("add_sine_signal", ["self", "amplitude", "frequency", "phase", "depth"], {"phase": 0.0, "depth": 1.0}),
    ("add_ramp_signal", ["self", "peak", "up_duration", "down_duration"], {}),
    ("add_mixed_signal", ["self", "a_idx", "b_idx"], {}),
    ("add_arbitrary_signal", ["self", "samples"], {}),
    ("get_num_samples", ["self"], {}),
    ("get_sampling_rate", ["self"], {}),
    ("save", ["self", "filepath"], {}),
]


def test_method_table_order():
    names = [n for n in vars(Protocol) if not n.startswith("__")]
    assert names == [m[0] for m in METHODS]


@pytest.mark.parametrize("name, params, defaults", METHODS)
def test_method_signatures_and_docs(name, params, defaults):
    method = getattr(Protocol, name)
    assert method.__doc__ is None
    sig = inspect.signature(method)
    assert list(sig.parameters) == params
    got = {k: v.default for k, v in sig.parameters.items() if v.default is not inspect.Parameter.empty}
    assert got == defaults
    # The exact text: "0.0" stays a float and "False" a bool, and the separators are the
    # interpreter's own.
    expected = "".join(f", {n}={defaults[n]!r}" if n in defaults else f", {n}" for n in params[1:])
    assert method.__text_signature__ == f"($self{expected})"


def test_protocol_class_signature():
    assert Protocol.__text_signature__ == "()"
    assert Protocol.__doc__ is None
    assert str(inspect.signature(Protocol)) == "()"


def test_second_interpreter_is_refused():
    code = (
        "import pyqelm, _testcapi\n"
        "r = _testcapi.run_in_subinterp('import pyqelm')\n"
        "print('status', r)\n"
    )
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("this interpreter has no _testcapi")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert "status -1" in out.stdout
    assert "ImportError" in out.stderr
    assert "subinterpreters" in out.stderr
