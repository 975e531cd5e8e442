// Session-wide values, channel routing and the sampling figures of a protocol.
#include "call.hpp"
#include "methods.hpp"
#include "protocols/failure.hpp"
#include "protocols/settings.hpp"

namespace pyqelm {
namespace {

using protocols::ChannelSettings;
using protocols::SignalSourceSelection;

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

constinit const MethodEntry set_stimulation_intensity =
    declare<"set_stimulation_intensity", Access::Exclusive, "intensity">([](ProtocolObject& p,
                                                                            double intensity) {
        PROTOCOLS_ENSURE(intensity >= 0.0 && intensity <= 1.0,
                         "intensity >= 0.0 && intensity <= 1.0");
        p.settings().intensity = intensity;
    });

constinit const MethodEntry set_session_duration =
    declare<"set_session_duration", Access::Exclusive, "duration">([](ProtocolObject& p,
                                                                      double duration) {
        // The upper bound first, so NaN and +inf fail there.
        PROTOCOLS_ENSURE(duration <= protocols::MAX_SESSION_DURATION,
                         "duration <= config::MAX_SESSION_DURATION");
        PROTOCOLS_ENSURE(duration >= 0.01, "duration >= 0.01");
        p.settings().session_duration = duration;
    });

constinit const MethodEntry enable_channel =
    declare<"enable_channel", Access::Exclusive, "channel">([](ProtocolObject& p,
                                                               const ChannelArgument& channel) {
        channel_settings(p.settings(), channel.discriminant).enabled = true;
    });

constinit const MethodEntry set_amplitude_source =
    declare<"set_amplitude_source", Access::Exclusive, "coil", "index", "external=False">(
        [](ProtocolObject& p, const CoilArgument& coil, std::uint64_t index, bool external) {
            amplitude_source(p.settings(), coil.discriminant) = make_selection(index, external);
        });

constinit const MethodEntry set_modulation_source =
    declare<"set_modulation_source", Access::Exclusive, "channel", "index", "external=False">(
        [](ProtocolObject& p, const ChannelArgument& channel, std::uint64_t index, bool external) {
            channel_settings(p.settings(), channel.discriminant).modulation_source =
                make_selection(index, external);
        });

// Exclusive although it only reads: callers may rely on it failing while the protocol is in
// use by another call.
constinit const MethodEntry get_num_samples = declare<"get_num_samples", Access::Exclusive>(
    [](ProtocolObject& p) { return checked_num_samples(p.settings()); });

constinit const MethodEntry get_sampling_rate = declare<"get_sampling_rate", Access::Shared>(
    [](ProtocolObject& /*protocol*/) { return protocols::SAMPLING_RATE; });

}  // namespace pyqelm
