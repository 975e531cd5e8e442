// The methods of Protocol. Each is declared once where its body lives (config_methods.cpp,
// signal_methods.cpp, save.cpp); protocol_type.cpp lists them in the order of the class's
// method table.
#pragma once

#include <cstdint>

#include "protocols/settings.hpp"

namespace pyqelm {

struct MethodEntry;  // call.hpp

// Configuration and queries.
extern const MethodEntry set_stimulation_intensity;
extern const MethodEntry set_session_duration;
extern const MethodEntry enable_channel;
extern const MethodEntry set_amplitude_source;
extern const MethodEntry set_modulation_source;
extern const MethodEntry get_num_samples;
extern const MethodEntry get_sampling_rate;

// Signals.
extern const MethodEntry add_constant_signal;
extern const MethodEntry add_sine_signal;
extern const MethodEntry add_ramp_signal;
extern const MethodEntry add_mixed_signal;
extern const MethodEntry add_arbitrary_signal;

// Files.
extern const MethodEntry save;

// The session's sample count, refusing a duration that is not positive.
std::uint64_t checked_num_samples(const protocols::Settings& settings);

}  // namespace pyqelm
