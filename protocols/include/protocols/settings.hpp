// The protocol records: settings, channels, source selections, signals and the machine
// configuration, with their defaults.
//
// Every record declares its fields once, in `for_each_field`, which hands each field with its
// name to a visitor in declared order. The file encoder, the decoder and the text form are all
// such visitors, so the order of the bytes in a file and of the lines in the text form cannot
// drift apart from the record definitions.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "protocols/numeric.hpp"

namespace protocols {

template <class Self, class Record>
concept SelfIs = std::same_as<std::remove_const_t<Self>, Record>;

// What the field visitors (encoder, decoder, text form) tell apart besides scalars.
template <class T>
concept Record = requires { T::record_name; };

template <class T>
struct IsVector : std::false_type {};
template <class T, class A>
struct IsVector<std::vector<T, A>> : std::true_type {};

// Which of the hardware faults a stimulator can report; within this library only ConfigError
// is ever produced (by Coil::create).
enum class ErrorCode : std::uint8_t {
    OverCoilCurrent,
    OverSupplyPower,
    OverTemperature,
    Underflow,
    SPIError,
    GPIOError,
    I2cError,
    TCPError,
    ConfigError,
    ProtocolError,
    Unintialized,  // sic: the stored name of this value
};

std::string_view error_code_name(ErrorCode code) noexcept;

// ---------------------------------------------------------------------------------------------
// Machine configuration

struct LCSetting {
    static constexpr std::string_view record_name = "LCSetting";
    double capacitance = 0.0;        // nF
    double carrier_frequency = 0.0;  // kHz
    std::uint64_t clk_ticks_per_sample = 0;
    std::uint64_t capacitor_bank_setting = 0;  // 1-based position in the capacitance list

    friend bool operator==(const LCSetting&, const LCSetting&) = default;
};

template <SelfIs<LCSetting> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("capacitance", r.capacitance);
    v("carrier_frequency", r.carrier_frequency);
    v("clk_ticks_per_sample", r.clk_ticks_per_sample);
    v("capacitor_bank_setting", r.capacitor_bank_setting);
}

struct Coil;

// Result of Coil::create: the coil record, or the error that no setting was usable.
struct CoilResult;

// The hardware description of one coil (not the Python enumeration of coil positions).
struct Coil {
    static constexpr std::string_view record_name = "Coil";
    std::string name;
    double inductance = 0.0;  // µH
    double max_current = 0.0;
    double max_carrier_frequency = 0.0;  // kHz
    std::vector<LCSetting> settings;

    // Computes the coil's LC settings from its inductance and the capacitances its bank can
    // switch in; ConfigError when none has a carrier frequency within max_carrier_frequency.
    static CoilResult create(std::string name, double inductance, double max_current,
                             double max_carrier_frequency,
                             const std::vector<double>& possible_capacitances);

    friend bool operator==(const Coil&, const Coil&) = default;
};

struct CoilResult {
    std::variant<Coil, ErrorCode> value;
    bool ok() const noexcept { return value.index() == 0; }
    const Coil& coil() const { return std::get<Coil>(value); }
    Coil& coil() { return std::get<Coil>(value); }
    ErrorCode error() const { return std::get<ErrorCode>(value); }
};

template <SelfIs<Coil> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("name", r.name);
    v("inductance", r.inductance);
    v("max_current", r.max_current);
    v("max_carrier_frequency", r.max_carrier_frequency);
    v("settings", r.settings);
}

struct MachineConfig {
    static constexpr std::string_view record_name = "MachineConfig";
    double supply_voltage = 80.0;
    std::uint64_t num_coils = 2;
    std::vector<Coil> coils;
    std::vector<double> capacitors;
    std::vector<double> possible_capacitances;
    std::uint64_t num_external_signal_sources = 6;
    bool smbus_psu_connected = false;
    std::uint64_t num_temperature_sensors = 0;
    std::uint64_t num_flow_rate_sensors = 0;
    bool safety_checks_enabled = true;
    double max_intensity_setpoint = 0.3;
    double max_current = 0.5;
    double max_carrier_frequency = 40.0;
    double max_temperature = 40.0;
    double min_flowrate = 70.0;
    double max_power = 520.0;

    // The stimulator's default description, with its one coil record "Default".
    static MachineConfig make_default();

    friend bool operator==(const MachineConfig&, const MachineConfig&) = default;
};

template <SelfIs<MachineConfig> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("supply_voltage", r.supply_voltage);
    v("num_coils", r.num_coils);
    v("coils", r.coils);
    v("capacitors", r.capacitors);
    v("possible_capacitances", r.possible_capacitances);
    v("num_external_signal_sources", r.num_external_signal_sources);
    v("smbus_psu_connected", r.smbus_psu_connected);
    v("num_temperature_sensors", r.num_temperature_sensors);
    v("num_flow_rate_sensors", r.num_flow_rate_sensors);
    v("safety_checks_enabled", r.safety_checks_enabled);
    v("max_intensity_setpoint", r.max_intensity_setpoint);
    v("max_current", r.max_current);
    v("max_carrier_frequency", r.max_carrier_frequency);
    v("max_temperature", r.max_temperature);
    v("min_flowrate", r.min_flowrate);
    v("max_power", r.max_power);
}

// ---------------------------------------------------------------------------------------------
// Signals

struct ConstantSignalParams {
    static constexpr std::string_view record_name = "ConstantSignalParams";
    double value = 0.0;
    friend bool operator==(const ConstantSignalParams&, const ConstantSignalParams&) = default;
};

struct SineSignalParams {
    static constexpr std::string_view record_name = "SineSignalParams";
    double amplitude = 0.0;
    double frequency = 0.0;
    double phase = 0.0;
    double depth = 1.0;
    friend bool operator==(const SineSignalParams&, const SineSignalParams&) = default;
};

struct RampSignalParams {
    static constexpr std::string_view record_name = "RampSignalParams";
    double peak = 0.0;
    double up_duration = 0.0;
    double down_duration = 0.0;
    friend bool operator==(const RampSignalParams&, const RampSignalParams&) = default;
};

struct MixedSignalParams {
    static constexpr std::string_view record_name = "MixedSignalParams";
    std::uint64_t a_idx = 0;
    std::uint64_t b_idx = 0;
    friend bool operator==(const MixedSignalParams&, const MixedSignalParams&) = default;
};

// Samples of an arbitrary signal; the buffer is filled in full right after it is sized, so it
// is not zero-filled first.
using SampleVector = std::vector<std::int16_t, DefaultInitAllocator<std::int16_t>>;

struct ArbitrarySignalParams {
    static constexpr std::string_view record_name = "ArbitrarySignalParams";
    SampleVector samples;
    friend bool operator==(const ArbitrarySignalParams&, const ArbitrarySignalParams&) = default;
};

template <SelfIs<ConstantSignalParams> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("value", r.value);
}
template <SelfIs<SineSignalParams> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("amplitude", r.amplitude);
    v("frequency", r.frequency);
    v("phase", r.phase);
    v("depth", r.depth);
}
template <SelfIs<RampSignalParams> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("peak", r.peak);
    v("up_duration", r.up_duration);
    v("down_duration", r.down_duration);
}
template <SelfIs<MixedSignalParams> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("a_idx", r.a_idx);
    v("b_idx", r.b_idx);
}
template <SelfIs<ArbitrarySignalParams> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("samples", r.samples);
}

// A signal is a tagged union; the variant index is both the tag and the number stored in files.
using Signal = std::variant<ConstantSignalParams, SineSignalParams, RampSignalParams,
                            MixedSignalParams, ArbitrarySignalParams>;

inline constexpr std::array<std::string_view, std::variant_size_v<Signal>> signal_variant_names{
    "Constant", "Sine", "Ramp", "MixedSignal", "Arbitrary"};

// ---------------------------------------------------------------------------------------------
// Channels and the root record

struct SignalSourceSelection {
    static constexpr std::string_view record_name = "SignalSourceSelection";
    std::uint64_t internal = 0;  // position in Settings::signals
    std::uint64_t external = 0;  // number of an external signal input
    bool external_selected = false;

    friend bool operator==(const SignalSourceSelection&, const SignalSourceSelection&) = default;
};

template <SelfIs<SignalSourceSelection> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("internal", r.internal);
    v("external", r.external);
    v("external_selected", r.external_selected);
}

struct ChannelSettings {
    static constexpr std::string_view record_name = "ChannelSettings";
    bool enabled = false;
    SignalSourceSelection amplitude1_source;
    SignalSourceSelection amplitude2_source;
    SignalSourceSelection modulation_source;
    std::uint64_t coil_idx = 0;          // position in MachineConfig::coils
    std::uint64_t coil_setting_idx = 0;  // position in that coil's settings

    friend bool operator==(const ChannelSettings&, const ChannelSettings&) = default;
};

template <SelfIs<ChannelSettings> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("enabled", r.enabled);
    v("amplitude1_source", r.amplitude1_source);
    v("amplitude2_source", r.amplitude2_source);
    v("modulation_source", r.modulation_source);
    v("coil_idx", r.coil_idx);
    v("coil_setting_idx", r.coil_setting_idx);
}

inline constexpr double MAX_SESSION_DURATION = 1800.0;  // seconds
inline constexpr double SAMPLING_RATE = 5000.0;         // samples per second

// The name of the environment variable whose presence marks a protocol built on the stimulator.
inline constexpr const char* TARGET_MACHINE_VARIABLE = "QELM_TARGET_MACHINE";

struct Settings {
    static constexpr std::string_view record_name = "Settings";
    bool running_on_target_machine = false;
    MachineConfig machine_config;
    double intensity = 0.0;
    double session_duration = 60.0;
    std::vector<Signal> signals;
    ChannelSettings channel_a_settings;
    ChannelSettings channel_b_settings;
    std::array<bool, 16> monitor_trace_visible{};
    std::uint64_t monitor_subsampling_factor = 1;

    // Defaults, with running_on_target_machine read from the process environment now and the
    // machine configuration computed afresh; `signals` holds one Constant 0.0 signal.
    static Settings make_default();

    friend bool operator==(const Settings&, const Settings&) = default;
};

template <SelfIs<Settings> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("running_on_target_machine", r.running_on_target_machine);
    v("machine_config", r.machine_config);
    v("intensity", r.intensity);
    v("session_duration", r.session_duration);
    v("signals", r.signals);
    v("channel_a_settings", r.channel_a_settings);
    v("channel_b_settings", r.channel_b_settings);
    v("monitor_trace_visible", r.monitor_trace_visible);
    v("monitor_subsampling_factor", r.monitor_subsampling_factor);
}

// The state of a Python Protocol object.
struct Protocol {
    static constexpr std::string_view record_name = "Protocol";
    Settings settings;
    friend bool operator==(const Protocol&, const Protocol&) = default;
};

template <SelfIs<Protocol> Self, class V>
void for_each_field(Self& r, V&& v) {
    v("settings", r.settings);
}

// True when the environment holds QELM_TARGET_MACHINE with a value that is valid UTF-8 (the
// empty value included); false when it is absent or not valid UTF-8. Read afresh at every call.
bool target_machine_from_environment();

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text) noexcept;

// ceil(session_duration * SAMPLING_RATE) as an unsigned count, saturating.
inline std::uint64_t num_samples_for(double session_duration) noexcept {
    return saturating_u64(std::ceil(session_duration * SAMPLING_RATE));
}

}  // namespace protocols
