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

constinit const MethodEntry add_constant_signal =
    declare<"add_constant_signal", Access::Exclusive, "value">([](ProtocolObject& p, double value) {
        return append(p, ConstantSignalParams{value});
    });

constinit const MethodEntry add_sine_signal =
    declare<"add_sine_signal", Access::Exclusive, "amplitude", "frequency", "phase=0.0",
            "depth=1.0">([](ProtocolObject& p, double amplitude, double frequency, double phase,
                            double depth) {
        SineSignalParams sine;
        sine.amplitude = amplitude;
        sine.frequency = frequency;
        sine.phase = phase;
        sine.depth = depth;
        return append(p, sine);
    });

constinit const MethodEntry add_ramp_signal =
    declare<"add_ramp_signal", Access::Exclusive, "peak", "up_duration", "down_duration">(
        [](ProtocolObject& p, double peak, double up_duration, double down_duration) {
            RampSignalParams ramp;
            ramp.peak = peak;
            ramp.up_duration = up_duration;
            ramp.down_duration = down_duration;
            return append(p, ramp);
        });

constinit const MethodEntry add_mixed_signal =
    declare<"add_mixed_signal", Access::Exclusive, "a_idx", "b_idx">(
        [](ProtocolObject& p, std::uint64_t a_idx, std::uint64_t b_idx) {
            MixedSignalParams mixed;
            mixed.a_idx = a_idx;
            mixed.b_idx = b_idx;
            return append(p, mixed);
        });

constinit const MethodEntry add_arbitrary_signal =
    declare<"add_arbitrary_signal", Access::Exclusive, "samples">(
        [](ProtocolObject& p, const ObjectArgument& samples) {
            ArbitrarySignalParams arbitrary{
                samples_from_array(samples.object, samples.parameter, p.settings())};
            return append(p, std::move(arbitrary));
        });

}  // namespace pyqelm
