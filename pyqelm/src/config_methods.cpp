// Session-wide values, channel routing and the sampling figures of a protocol.
#include "call.hpp"
#include "methods.hpp"
#include "protocols/failure.hpp"
#include "protocols/settings.hpp"

namespace pyqelm {
namespace {

using protocols::ChannelSettings;
using protocols::SignalSourceSelection;

constexpr ArgumentSpec SET_STIMULATION_INTENSITY{
    "Protocol", "set_stimulation_intensity", {"intensity"}, 1, 1};
constexpr ArgumentSpec SET_SESSION_DURATION{"Protocol", "set_session_duration", {"duration"}, 1, 1};
constexpr ArgumentSpec ENABLE_CHANNEL{"Protocol", "enable_channel", {"channel"}, 1, 1};
constexpr ArgumentSpec SET_AMPLITUDE_SOURCE{
    "Protocol", "set_amplitude_source", {"coil", "index", "external"}, 3, 2};
constexpr ArgumentSpec SET_MODULATION_SOURCE{
    "Protocol", "set_modulation_source", {"channel", "index", "external"}, 3, 2};

ChannelSettings& channel_settings(protocols::Settings& settings, std::uint8_t channel) {
    return channel == 0 ? settings.channel_a_settings : settings.channel_b_settings;
}

// Coil.A1, A2, B1, B2 select the first or second amplitude input of channel A or B.
SignalSourceSelection& amplitude_source(protocols::Settings& settings, std::uint8_t coil) {
    ChannelSettings& channel = channel_settings(settings, coil / 2);
    return coil % 2 == 0 ? channel.amplitude1_source : channel.amplitude2_source;
}

// All three fields change together, so the side not chosen is always 0.
SignalSourceSelection make_selection(std::uint64_t index, bool external) {
    return external ? SignalSourceSelection{0, index, true}
                    : SignalSourceSelection{index, 0, false};
}

}  // namespace

std::uint64_t checked_num_samples(const protocols::Settings& settings) {
    PROTOCOLS_ENSURE(settings.session_duration > 0.0, "self.settings.session_duration > 0.0");
    return protocols::num_samples_for(settings.session_duration);
}

PyObject* set_stimulation_intensity(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
    return call_method(self, SET_STIMULATION_INTENSITY, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           const double intensity = a.f64(0);
                           PROTOCOLS_ENSURE(intensity >= 0.0 && intensity <= 1.0,
                                            "intensity >= 0.0 && intensity <= 1.0");
                           p.settings().intensity = intensity;
                           Py_RETURN_NONE;
                       });
}

PyObject* set_session_duration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return call_method(self, SET_SESSION_DURATION, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           const double duration = a.f64(0);
                           // The upper bound first, so NaN and +inf fail there.
                           PROTOCOLS_ENSURE(duration <= protocols::MAX_SESSION_DURATION,
                                            "duration <= config::MAX_SESSION_DURATION");
                           PROTOCOLS_ENSURE(duration >= 0.01, "duration >= 0.01");
                           p.settings().session_duration = duration;
                           Py_RETURN_NONE;
                       });
}

PyObject* enable_channel(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return call_method(self, ENABLE_CHANNEL, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           const EnumArgument channel = a.channel(0);
                           channel_settings(p.settings(), channel.discriminant).enabled = true;
                           Py_RETURN_NONE;
                       });
}

PyObject* set_amplitude_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return call_method(self, SET_AMPLITUDE_SOURCE, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           const EnumArgument coil = a.coil(0);
                           const std::uint64_t index = a.u64(1);
                           const bool external = a.bool_or(2, false);
                           amplitude_source(p.settings(), coil.discriminant) =
                               make_selection(index, external);
                           Py_RETURN_NONE;
                       });
}

PyObject* set_modulation_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return call_method(self, SET_MODULATION_SOURCE, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           const EnumArgument channel = a.channel(0);
                           const std::uint64_t index = a.u64(1);
                           const bool external = a.bool_or(2, false);
                           channel_settings(p.settings(), channel.discriminant).modulation_source =
                               make_selection(index, external);
                           Py_RETURN_NONE;
                       });
}

// Exclusive although it only reads: callers may rely on it failing while the protocol is in
// use by another call.
PyObject* get_num_samples(PyObject* self, PyObject*) noexcept {
    return call_noargs(self, Access::Exclusive, [](ProtocolObject& p) {
        return new_u64(checked_num_samples(p.settings()));
    });
}

PyObject* get_sampling_rate(PyObject* self, PyObject*) noexcept {
    return call_noargs(self, Access::Shared, [](ProtocolObject&) {
        PyObject* rate = PyFloat_FromDouble(protocols::SAMPLING_RATE);
        check(rate != nullptr);
        return rate;
    });
}

}  // namespace pyqelm
