"""Compose a stimulation protocol for a coil-based magnetic stimulator and save it as a
binary ``.qelm`` protocol file.

A :class:`Protocol` holds one session: its duration, the stimulation intensity, which of the
two output channels A and B take part, the signals of the session, and for each coil's
amplitude input and each channel's modulation input the signal or external input that drives
it. :class:`Coil` and :class:`Channel` name the four coil positions and the two channels.

Units used throughout: durations in seconds; the intensity as a fraction of full scale from
0.0 to 1.0; arbitrary-signal samples as values from 0.0 to 1.0, one per 1/5000 s of the
session (the sampling rate is 5000 samples per second).

Signals are named by their position: each ``add_*_signal`` method appends one signal and
returns its position, counting from 0. Positions are never checked when they are used, so a
source or a mixed signal may name a signal that is added later.

Errors. Every method raises

* ``TypeError`` when its arguments cannot be bound (missing, surplus, unknown keyword,
  given twice) or one of them has the wrong type; a wrong type is reported as
  ``"argument '<name>': <reason>"``, for example
  ``"argument 'channel': 'int' object cannot be cast as 'Channel'"``;
* ``OverflowError`` for an index that is negative or at least 2**64 (not wrapped as above);
* ``RuntimeError("Already borrowed")`` or ``RuntimeError("Already mutably borrowed")`` when
  the call would overlap with another call on the same protocol, e.g. from the ``__float__``
  or ``__index__`` of an argument, or from another thread;
* ``MemoryError`` when memory runs out;
* ``PanicException`` for every value the module refuses and for every failed save, with the
  exact messages given in each method's documentation, for example
  ``"assertion failed: duration >= 0.01"``.

``PanicException`` is not an attribute of this module and has no name that can be imported.
It derives from ``BaseException``, not ``Exception``, so ``except Exception`` does not catch
it: catch it with ``except BaseException as exc`` (its class is then ``type(exc)``, whose
``__name__`` is ``"PanicException"``) or let it end the script. Its only argument is the
message, so ``str(exc)`` is the message.

A call that fails for any of these reasons leaves the protocol exactly as it was and the
protocol stays usable. The one exception: ``save`` on a protocol without signals first adds
the constant signal 0.0 (see :meth:`Protocol.save`), which stays if a later step fails.
"""

from typing import ClassVar, SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt

__all__ = ["Protocol", "Channel", "Coil"]

# What a float parameter accepts: a float or int, or any object with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex

@final
class Coil:
    """One of the stimulator's four coil positions, two on each channel.

    ``Coil.A1`` and ``Coil.A2`` are the first and second coil of channel A, ``Coil.B1`` and
    ``Coil.B2`` those of channel B. These four class attributes are the only instances; the
    class cannot be called or subclassed. ``int()`` gives 0, 1, 2, 3 in that order;
    ``repr()`` and ``str()`` give ``"Coil.A1"`` and so on. Equality is identity, instances
    are hashable and always true. There is no ``__index__``: ``int()`` is needed to use a
    value as a number.
    """

    A1: ClassVar[Coil]
    """First coil of channel A; ``int()`` is 0."""
    A2: ClassVar[Coil]
    """Second coil of channel A; ``int()`` is 1."""
    B1: ClassVar[Coil]
    """First coil of channel B; ``int()`` is 2."""
    B2: ClassVar[Coil]
    """Second coil of channel B; ``int()`` is 3."""

    def __int__(self) -> int:
        """The position number: 0 for A1, 1 for A2, 2 for B1, 3 for B2."""

    def __repr__(self) -> str:
        """``"Coil.A1"``, ``"Coil.A2"``, ``"Coil.B1"`` or ``"Coil.B2"``."""

@final
class Channel:
    """One of the stimulator's two output channels.

    ``Channel.A`` and ``Channel.B`` are the only instances; the class cannot be called or
    subclassed. ``int()`` gives 0 for A and 1 for B; ``repr()`` and ``str()`` give
    ``"Channel.A"`` and ``"Channel.B"``. Equality is identity, instances are hashable and
    always true.
    """

    A: ClassVar[Channel]
    """Channel A; ``int()`` is 0. Enabled in every new protocol."""
    B: ClassVar[Channel]
    """Channel B; ``int()`` is 1. Disabled until :meth:`Protocol.enable_channel`."""

    def __int__(self) -> int:
        """The channel number: 0 for A, 1 for B."""

    def __repr__(self) -> str:
        """``"Channel.A"`` or ``"Channel.B"``."""

@final
class Protocol:
    """A stimulation protocol under construction.

    ``Protocol()`` takes no arguments and starts from the defaults: a 60 s session,
    intensity 0.0, channel A enabled, channel B disabled, no signals, and every amplitude and
    modulation input on internal signal 0. The stimulator's hardware description that the
    file carries is fixed and cannot be changed from Python.

    Every argument may be given by position or by keyword under the names shown. A parameter
    with a default takes it only when the argument is left out: passing ``None`` is a
    ``TypeError``. Float parameters accept a ``float``, an ``int`` or any object with
    ``__float__`` or ``__index__``; index parameters accept an ``int`` (``bool`` included) or
    any object with ``__index__``, from 0 to 2**64 - 1, but not a ``float``.

    ``str(protocol)`` is the whole protocol as multi-line text. The class cannot be
    subclassed.
    """

    def __str__(self) -> str:
        """The protocol as indented multi-line text, one field per line, starting with
        ``"Protocol {"`` and ending with ``"}"`` (no trailing line break).

        Raises ``RuntimeError("Already mutably borrowed")`` while another call is changing
        the protocol.
        """

    def set_stimulation_intensity(self, intensity: _Real) -> None:
        """Set the stimulation intensity, a fraction of full scale.

        ``intensity`` must lie from 0.0 to 1.0, both included (-0.0 is accepted).

        Raises ``PanicException("assertion failed: intensity >= 0.0 && intensity <= 1.0")``
        for a value outside that range or NaN; ``TypeError`` for a value that is not a real
        number; ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def set_session_duration(self, duration: _Real) -> None:
        """Set the length of the session in seconds, from 0.01 to 1800.0, both included.

        The value is stored as given; the number of samples follows from it (see
        :meth:`get_num_samples`). Arbitrary signals added before keep their length.

        Raises ``PanicException``: ``"assertion failed: duration <= config::MAX_SESSION_DURATION"``
        for a value above 1800.0, +inf or NaN (this check comes first);
        ``"assertion failed: duration >= 0.01"`` for a value below 0.01 or -inf. Raises
        ``TypeError`` for a value that is not a real number and
        ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def enable_channel(self, channel: Channel) -> None:
        """Let ``channel`` take part in the session.

        There is no way to disable a channel again; enabling an enabled channel (channel A
        of a new protocol, for instance) changes nothing.

        Raises ``TypeError("argument 'channel': '<type>' object cannot be cast as
        'Channel'")`` for anything but ``Channel.A`` or ``Channel.B`` (a ``Coil`` or an
        ``int`` included); ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def set_amplitude_source(
        self, coil: Coil, index: SupportsIndex, external: bool | np.bool_ = False
    ) -> None:
        """Choose what drives the amplitude input of ``coil``.

        With ``external`` false, ``index`` is the position of a signal of this protocol (as
        returned by an ``add_*_signal`` method); with ``external`` true it is the number of
        one of the stimulator's external signal inputs. ``index`` is not checked against
        anything, so it may name a signal that is added later. The choice replaces the
        previous one: the number on the side not chosen becomes 0.

        Raises ``TypeError`` when ``coil`` is not a ``Coil``
        (``"argument 'coil': 'Channel' object cannot be cast as 'Coil'"``), when ``index``
        has no ``__index__`` (a ``float`` included), or when ``external`` is not ``True``,
        ``False`` or a NumPy bool (an ``int`` or ``None`` included:
        ``"argument 'external': 'int' object cannot be cast as 'bool'"``);
        ``OverflowError`` when ``index`` is negative or at least 2**64;
        ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def set_modulation_source(
        self, channel: Channel, index: SupportsIndex, external: bool | np.bool_ = False
    ) -> None:
        """Choose what drives the modulation input of ``channel``.

        ``index`` and ``external`` mean what they mean for :meth:`set_amplitude_source`:
        a signal position, or an external input number when ``external`` is true, stored
        without any check.

        Raises ``TypeError`` when ``channel`` is not a ``Channel``
        (``"argument 'channel': 'Coil' object cannot be cast as 'Channel'"``), when
        ``index`` has no ``__index__``, or when ``external`` is not a bool;
        ``OverflowError`` when ``index`` is negative or at least 2**64;
        ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def add_constant_signal(self, value: _Real) -> int:
        """Append a signal that holds ``value`` for the whole session; return its position.

        The value is stored as given, without a range check.

        Raises ``TypeError`` for a value that is not a real number;
        ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def add_sine_signal(
        self,
        amplitude: _Real,
        frequency: _Real,
        phase: _Real = 0.0,
        depth: _Real = 1.0,
    ) -> int:
        """Append a sine signal and return its position.

        ``amplitude`` is the sine's amplitude, ``frequency`` its frequency in Hz, ``phase``
        its phase (0.0 when left out) and ``depth`` its depth (1.0 when left out). All four
        are stored as given, without range checks, and interpreted by the stimulator.

        Raises ``TypeError`` for an argument that is not a real number (``None`` for
        ``phase`` or ``depth`` included), naming the first such argument;
        ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def add_ramp_signal(self, peak: _Real, up_duration: _Real, down_duration: _Real) -> int:
        """Append a ramp that rises to ``peak`` over ``up_duration`` seconds and falls back
        over ``down_duration`` seconds; return its position.

        The values are stored as given, without range checks.

        Raises ``TypeError`` for an argument that is not a real number, naming the first
        such argument; ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def add_mixed_signal(self, a_idx: SupportsIndex, b_idx: SupportsIndex) -> int:
        """Append a signal that mixes the signals at positions ``a_idx`` and ``b_idx``;
        return its position.

        The positions are not checked: they may name signals added later, the new signal
        itself, or none at all.

        Raises ``TypeError`` for a position without ``__index__`` (a ``float`` included);
        ``OverflowError`` for a negative position or one of 2**64 or more;
        ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """

    def add_arbitrary_signal(self, samples: npt.NDArray[np.float64]) -> int:
        """Append a signal given sample by sample; return its position.

        ``samples`` is a one-dimensional NumPy array of ``float64`` with exactly
        :meth:`get_num_samples` values, one per 1/5000 s of the session, each from 0.0 to
        1.0. Views with any stride (reversed, sliced, a field of a structured array) and
        read-only arrays are accepted; the array is read, not kept, and is left unchanged.
        Each value is stored as a 16-bit sample, round(value * 32767).

        Raises ``TypeError("argument 'samples': '<type>' object cannot be cast as
        'ndarray'")`` for anything but a one-dimensional float64 array (a list, a float32
        array or a 2-D array included: nothing is converted). Raises ``PanicException``:
        ``"assertion failed: samples.len() == self.get_num_samples()"`` for the wrong length;
        ``"assertion failed: *sample >= 0.0"`` for a negative or NaN value and
        ``"assertion failed: *sample <= 1.0"`` for a value above 1.0 (the first offending
        value decides); a message starting ``"Failed to access NumPy array API capsule"``
        when NumPy cannot be imported. Raises ``RuntimeError("Already borrowed")`` while the
        protocol is in use.
        """

    def get_num_samples(self) -> int:
        """The number of samples of the session: ceil(duration * 5000).

        60 s (the default) gives 300000, 0.01 s gives 50. The product is computed in
        floating point, so 0.07 s gives 351. This is the length that
        :meth:`add_arbitrary_signal` requires.

        Raises ``RuntimeError("Already borrowed")`` while the protocol is in use (also from
        within an argument conversion of another call on it), and
        ``PanicException("assertion failed: self.settings.session_duration > 0.0")``, which
        the module's own setters never let happen.
        """

    def get_sampling_rate(self) -> float:
        """The sampling rate of every signal, 5000.0 samples per second.

        Raises ``RuntimeError("Already mutably borrowed")`` only while another call is
        changing the protocol.
        """

    def save(self, filepath: str) -> None:
        """Write the protocol to ``filepath`` as a ``.qelm`` file, replacing any file there.

        ``filepath`` is a ``str`` (not a path object), absolute or relative to the current
        directory, and must end with ``".qelm"`` exactly (case-sensitive). A protocol
        without signals first gets the constant signal 0.0 at position 0, which it keeps.
        The file is written in full to a temporary file next to it and then renamed over
        it, so it is either replaced completely or left as it was; a symbolic link at the
        path stays a link, and an existing file keeps its permission bits.

        Raises ``TypeError("argument 'filepath': '<type>' object cannot be cast as 'str'")``
        for anything but a ``str``; ``UnicodeEncodeError`` for a string that has no UTF-8
        form. Raises ``PanicException``: ``'assertion failed: filepath.ends_with(".qelm")'``
        for a wrong extension (nothing is touched); for a failed write (missing directory,
        no permission, a directory in the way, disk full) a message starting
        ``"called `Result::unwrap()` on an `Err` value: "`` followed by the system's error,
        for example ``'Os { code: 2, kind: NotFound, message: "No such file or directory" }'``,
        or ``'Error { kind: InvalidInput, message: "file name contained an unexpected NUL
        byte" }'`` for a path with a NUL character. Raises
        ``RuntimeError("Already borrowed")`` while the protocol is in use.
        """
