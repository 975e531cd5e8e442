"""Read ``.qelm`` protocol files back: load them, check them, compare them and rebuild them as
:class:`pyqelm.Protocol` objects.

``load(path)`` and ``loads(data)`` decode a file with the same strict decoder that
``qelm-inspect`` uses and return a read-only :class:`ProtocolFile`. Its attributes are the
fields of the protocol's settings record under the names of its text form
(``pf.session_duration``, ``pf.channel_a_settings.amplitude1_source.internal``,
``pf.signals[0].kind``, ``pf.machine_config.coils[0].settings[0].carrier_frequency``);
lists are tuples, built afresh at each access. ``str(pf)`` is the text form, exactly
``str(p)`` of the protocol ``p`` that was saved. An arbitrary signal's ``samples`` are a
read-only ``int16`` NumPy array over the decoded memory (NumPy is imported only then).

A malformed file raises :class:`FormatError`, a ``ValueError`` with the byte offset and the
field path.
"""

from os import PathLike
from typing import Literal, TypeAlias, final

import numpy as np
import numpy.typing as npt
import pyqelm
from typing_extensions import Buffer

class FormatError(ValueError):
    """The data is not a well-formed protocol file.

    ``str()`` is the decoder's message, the same that ``qelm-inspect`` prints, e.g.
    ``"offset 151: signals[0]: signal kind 7 is not one of 0..4"``.
    """

    offset: int
    """Byte offset where the refused item begins."""
    field: str
    """Path of the field being read, e.g. ``"signals[0]"``; empty when the file as a whole is
    refused (bytes left over after the record)."""

@final
class Finding:
    """One finding of :func:`check`; ``str()`` is the line ``qelm-inspect --check`` prints."""

    @property
    def field(self) -> str:
        """Path of the field concerned, e.g. ``"channel_b_settings.modulation_source"``."""
    @property
    def message(self) -> str:
        """What is wrong with it, in words."""
    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class LCSetting:
    """One resonant setting of a coil."""

    @property
    def capacitance(self) -> float: ...
    @property
    def carrier_frequency(self) -> float: ...
    @property
    def clk_ticks_per_sample(self) -> int: ...
    @property
    def capacitor_bank_setting(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class Coil:
    """The hardware description of one coil (not :class:`pyqelm.Coil`, the coil position)."""

    @property
    def name(self) -> str: ...
    @property
    def inductance(self) -> float: ...
    @property
    def max_current(self) -> float: ...
    @property
    def max_carrier_frequency(self) -> float: ...
    @property
    def settings(self) -> tuple[LCSetting, ...]: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class MachineConfig:
    """The stimulator's hardware description carried by a protocol file."""

    @property
    def supply_voltage(self) -> float: ...
    @property
    def num_coils(self) -> int: ...
    @property
    def coils(self) -> tuple[Coil, ...]: ...
    @property
    def capacitors(self) -> tuple[float, ...]: ...
    @property
    def possible_capacitances(self) -> tuple[float, ...]: ...
    @property
    def num_external_signal_sources(self) -> int: ...
    @property
    def smbus_psu_connected(self) -> bool: ...
    @property
    def num_temperature_sensors(self) -> int: ...
    @property
    def num_flow_rate_sensors(self) -> int: ...
    @property
    def safety_checks_enabled(self) -> bool: ...
    @property
    def max_intensity_setpoint(self) -> float: ...
    @property
    def max_current(self) -> float: ...
    @property
    def max_carrier_frequency(self) -> float: ...
    @property
    def max_temperature(self) -> float: ...
    @property
    def min_flowrate(self) -> float: ...
    @property
    def max_power(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class SignalSourceSelection:
    """An internal signal (its position, ``internal``) or an external input (``external``),
    whichever ``external_selected`` says."""

    @property
    def internal(self) -> int: ...
    @property
    def external(self) -> int: ...
    @property
    def external_selected(self) -> bool: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class ChannelSettings:
    """The configuration of one output channel."""

    @property
    def enabled(self) -> bool: ...
    @property
    def amplitude1_source(self) -> SignalSourceSelection: ...
    @property
    def amplitude2_source(self) -> SignalSourceSelection: ...
    @property
    def modulation_source(self) -> SignalSourceSelection: ...
    @property
    def coil_idx(self) -> int: ...
    @property
    def coil_setting_idx(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class Constant:
    """A signal of constant value."""

    @property
    def kind(self) -> Literal["Constant"]: ...
    @property
    def value(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class Sine:
    """A sine signal."""

    @property
    def kind(self) -> Literal["Sine"]: ...
    @property
    def amplitude(self) -> float: ...
    @property
    def frequency(self) -> float: ...
    @property
    def phase(self) -> float: ...
    @property
    def depth(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class Ramp:
    """A ramp signal."""

    @property
    def kind(self) -> Literal["Ramp"]: ...
    @property
    def peak(self) -> float: ...
    @property
    def up_duration(self) -> float: ...
    @property
    def down_duration(self) -> float: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class MixedSignal:
    """A signal mixing the signals at positions ``a_idx`` and ``b_idx``."""

    @property
    def kind(self) -> Literal["MixedSignal"]: ...
    @property
    def a_idx(self) -> int: ...
    @property
    def b_idx(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

@final
class Arbitrary:
    """A signal given sample by sample, as 16-bit codes (32767 stands for 1.0)."""

    @property
    def kind(self) -> Literal["Arbitrary"]: ...
    @property
    def samples(self) -> npt.NDArray[np.int16]:
        """The codes as a read-only ``int16`` array sharing the decoded memory (no copy)."""
    def sample_values(self) -> npt.NDArray[np.float64]:
        """The samples as a new ``float64`` array of ``code / 32767``: the values in
        0.0..1.0 that :meth:`pyqelm.Protocol.add_arbitrary_signal` turns back into the same
        codes."""
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

_Signal: TypeAlias = Constant | Sine | Ramp | MixedSignal | Arbitrary

@final
class ProtocolFile:
    """A decoded protocol file: the settings record it holds, read-only.

    ``str()`` is the text form (``str(p)`` of the saved protocol); ``==`` compares the
    records, floats by their bits (``0.0 != -0.0``, a NaN equals the same NaN).
    """

    @property
    def running_on_target_machine(self) -> bool: ...
    @property
    def machine_config(self) -> MachineConfig: ...
    @property
    def intensity(self) -> float: ...
    @property
    def session_duration(self) -> float: ...
    @property
    def signals(self) -> tuple[_Signal, ...]: ...
    @property
    def channel_a_settings(self) -> ChannelSettings: ...
    @property
    def channel_b_settings(self) -> ChannelSettings: ...
    @property
    def monitor_trace_visible(self) -> tuple[bool, ...]: ...
    @property
    def monitor_subsampling_factor(self) -> int: ...
    def to_protocol(self, /, *, allow_target_machine: bool = False) -> pyqelm.Protocol:
        """A new :class:`pyqelm.Protocol`, built through its public methods only, whose
        ``save`` writes this very file again, byte for byte.

        ``running_on_target_machine`` is set by ``Protocol()`` from the environment of this
        process, so a file saved on the stimulator is refused elsewhere, with a message that
        names this option. With ``allow_target_machine=True`` that difference is no refusal:
        everything else is rebuilt, the new protocol keeps this process's value, and a
        ``UserWarning`` names the field (``"running_on_target_machine: the file has true, but
        the rebuilt Protocol has false, ..."``); its ``save`` then differs from the file in
        that field only.

        Raises ``ValueError("<field>: <reason>")`` for the first field, in file order, that
        those methods cannot reproduce: a machine description or ``running_on_target_machine``
        other than what ``Protocol()`` builds in this process (the latter follows the
        environment variable ``QELM_TARGET_MACHINE``), an intensity outside 0.0..1.0, a
        session duration outside 0.01..1800.0, an empty signal list, an arbitrary signal
        whose length is no session's sample count or with a negative sample, a disabled
        channel A, a source selection with a non-zero number on the side not selected, and
        coil, LC-setting or monitor fields other than their defaults.
        """
    def __eq__(self, other: object, /) -> bool: ...
    __hash__: None  # type: ignore[assignment]

def load(path: str | bytes | PathLike[str] | PathLike[bytes], /) -> ProtocolFile:
    """Read and decode the protocol file at ``path``.

    The samples of arbitrary signals are validated here and decoded on first need, from the
    file's bytes, which the result keeps until then. A save that was killed while rewriting the
    file in place is undone first, from the record it left beside the file. Raises
    :class:`FormatError` for a malformed file, ``OSError`` when it cannot be read or such a save
    cannot be undone.
    """

def loads(data: Buffer, /) -> ProtocolFile:
    """Decode a protocol file held in ``data``, any contiguous bytes-like object.

    Raises :class:`FormatError` for malformed data, ``TypeError`` for an object that is not
    bytes-like.
    """

def check(file: ProtocolFile, /) -> list[Finding]:
    """The findings of ``qelm-inspect --check`` for ``file``, in the same order (dangling
    positions, self-dependent mixed signals, arbitrary signals of the wrong length, an
    intensity above the machine's set-point, external inputs the machine lacks, and what the
    stimulator cannot produce: levels outside 0..1, sine frequencies at or below 0 or above
    2500 Hz, session lengths outside 0.01..1800 s, negative ramp durations or ramps longer
    than the session, NaN or infinity in any number); an empty list when nothing is found.

    Example finding: ``signals[2].amplitude: 5.0 is above 1 (levels are fractions of full
    intensity, 0..1)``."""

def diff(a: ProtocolFile, b: ProtocolFile, /) -> list[tuple[str, object, object]]:
    """The differences between two files as ``(field path, value in a, value in b)``, in
    field order, e.g. ``("session_duration", 60.0, 10.0)``.

    Floats are compared by their bits. A list of different length (its values are then the
    two tuples), a signal of another kind (the two signals) and sample arrays that differ
    anywhere (the two arrays) are reported once, as a whole; other lists element by element
    (``"signals[2].amplitude"``).
    """
