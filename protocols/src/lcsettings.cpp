// The coil constructor: from a coil's inductance and the capacitances its bank can switch in,
// the resonant settings the carrier synthesis can use, and the default machine configuration.
//
// The carrier is synthesised from a 160 MHz clock at 32 samples per carrier period, each sample
// lasting a whole number of clock ticks. For every capacitance we take the tick count nearest to
// the ideal one for the resonance frequency and keep the carrier frequency that count really
// yields. The order of the floating-point operations below is part of the stored result: stored
// files and existing stimulators depend on bit-identical carrier frequencies, so do not
// "simplify" the arithmetic.
#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "protocols/failure.hpp"
#include "protocols/log.hpp"
#include "protocols/numeric.hpp"
#include "protocols/settings.hpp"

namespace protocols {
namespace {

constexpr double CLOCK_FREQUENCY = 160000000.0;  // Hz
constexpr double SAMPLES_PER_PERIOD = 32.0;
constexpr std::uint64_t SAMPLES_PER_PERIOD_U64 = 32;
constexpr double INDUCTANCE_SCALE = 1e-6;   // µH -> H
constexpr double CAPACITANCE_SCALE = 1e-9;  // nF -> F
constexpr double TWO_PI = 6.283185307179586;
constexpr double FREQUENCY_SCALE = 0.001;  // Hz -> kHz

LCSetting compute_setting(double inductance, double capacitance, std::uint64_t bank_setting) {
    double x = inductance * INDUCTANCE_SCALE;
    x = x * capacitance;
    x = x * CAPACITANCE_SCALE;
    double s = std::sqrt(x);
    s = s * TWO_PI;
    const double resonance = 1.0 / s;
    const double ideal_ticks = CLOCK_FREQUENCY / (resonance * SAMPLES_PER_PERIOD);
    const std::uint64_t ticks = saturating_u64(round_half_away(ideal_ticks));
    // The product wraps like any unsigned arithmetic; it only matters for absurd inputs.
    const double period_ticks = static_cast<double>(ticks * SAMPLES_PER_PERIOD_U64);
    const double carrier = (CLOCK_FREQUENCY / period_ticks) * FREQUENCY_SCALE;
    return LCSetting{capacitance, carrier, ticks, bank_setting};
}

}  // namespace

MachineConfig MachineConfig::make_default() {
    CoilResult coil = Coil::create("Default", 150.0, 0.1, 40.0, std::vector<double>{330.0});
    // With these fixed inputs the computation always yields exactly one setting.
    if (!coil.ok()) throw unwrap_failure(std::string(error_code_name(coil.error())));
    MachineConfig config;  // scalar defaults are the member initialisers
    config.coils.push_back(std::move(coil.coil()));
    config.capacitors = {330.0};
    config.possible_capacitances = {330.0};
    return config;
}

CoilResult Coil::create(std::string name, double inductance, double max_current,
                        double max_carrier_frequency,
                        const std::vector<double>& possible_capacitances) {
    std::vector<LCSetting> settings;
    for (std::size_t i = 0; i < possible_capacitances.size(); ++i) {
        LCSetting setting = compute_setting(inductance, possible_capacitances[i], i + 1);
        if (max_carrier_frequency >= setting.carrier_frequency) settings.push_back(setting);
    }

    if (settings.empty()) {
        // No capacitance gives a carrier within the limit (or the list is empty).
        const auto message = [&name] {
            return "No valid carrier frequency can be calculated for coil " + name;
        };
        PROTOCOLS_LOG(log::Level::Error, "protocols::lcsettings", message());
        static_assert(__LINE__ - 1 == 74, "the lcsettings log record must stay on line 74");
        // The record says which coil, and the caller decides whether that is fatal. The message
        // is made only for an enabled level. Loggers see the record's line: the call stays on
        // one line, since compilers differ in the __LINE__ of a wrapped call.
        return CoilResult{ErrorCode::ConfigError};
    }

    // Highest tick count first (lowest carrier frequency first); among equal tick counts the
    // later capacitance first, which is what a stable ascending sort followed by a reversal gives.
    std::stable_sort(settings.begin(), settings.end(), [](const LCSetting& a, const LCSetting& b) {
        return a.clk_ticks_per_sample < b.clk_ticks_per_sample;
    });
    std::reverse(settings.begin(), settings.end());

    return CoilResult{
        Coil{std::move(name), inductance, max_current, max_carrier_frequency, std::move(settings)}};
}

}  // namespace protocols
