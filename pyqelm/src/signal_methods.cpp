// The signal-building methods: each appends one signal and returns its position. Only the
// arbitrary signal checks its input; the others store their converted arguments as given.
#include <utility>

#include "arrays.hpp"
#include "call.hpp"
#include "methods.hpp"
#include "protocols/settings.hpp"

namespace pyqelm {
namespace {

using namespace protocols;

constexpr ArgumentSpec ADD_CONSTANT_SIGNAL{"Protocol", "add_constant_signal", {"value"}, 1, 1};
constexpr ArgumentSpec ADD_SINE_SIGNAL{
    "Protocol", "add_sine_signal", {"amplitude", "frequency", "phase", "depth"}, 4, 2};
constexpr ArgumentSpec ADD_RAMP_SIGNAL{
    "Protocol", "add_ramp_signal", {"peak", "up_duration", "down_duration"}, 3, 3};
constexpr ArgumentSpec ADD_MIXED_SIGNAL{"Protocol", "add_mixed_signal", {"a_idx", "b_idx"}, 2, 2};
constexpr ArgumentSpec ADD_ARBITRARY_SIGNAL{"Protocol", "add_arbitrary_signal", {"samples"}, 1, 1};

// Appends `signal` and returns its position. The append either happens in full or, if memory
// runs out, not at all.
PyObject* append(ProtocolObject& p, Signal&& signal) {
    const std::uint64_t position = p.settings().signals.size();
    p.settings().signals.push_back(std::move(signal));
    PyObject* result = PyLong_FromUnsignedLongLong(position);
    if (result == nullptr) {
        p.settings().signals.pop_back();  // the caller sees an error, so nothing was added
        throw PyErrorAlreadySet{};
    }
    return result;
}

}  // namespace

PyObject* add_constant_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return call_method(self, ADD_CONSTANT_SIGNAL, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           return append(p, ConstantSignalParams{a.f64(0)});
                       });
}

PyObject* add_sine_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return call_method(self, ADD_SINE_SIGNAL, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           SineSignalParams sine;
                           sine.amplitude = a.f64(0);
                           sine.frequency = a.f64(1);
                           sine.phase = a.f64_or(2, 0.0);
                           sine.depth = a.f64_or(3, 1.0);
                           return append(p, sine);
                       });
}

PyObject* add_ramp_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return call_method(self, ADD_RAMP_SIGNAL, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           RampSignalParams ramp;
                           ramp.peak = a.f64(0);
                           ramp.up_duration = a.f64(1);
                           ramp.down_duration = a.f64(2);
                           return append(p, ramp);
                       });
}

PyObject* add_mixed_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return call_method(self, ADD_MIXED_SIGNAL, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           MixedSignalParams mixed;
                           mixed.a_idx = a.u64(0);
                           mixed.b_idx = a.u64(1);
                           return append(p, mixed);
                       });
}

PyObject* add_arbitrary_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) noexcept {
    return call_method(self, ADD_ARBITRARY_SIGNAL, Access::Exclusive, args, nargs, kwnames,
                       [](ProtocolObject& p, const Arguments& a) {
                           ArbitrarySignalParams arbitrary{
                               samples_from_array(a.raw(0), a.name(0), p.settings())};
                           return append(p, std::move(arbitrary));
                       });
}

}  // namespace pyqelm
