// to_protocol: first a model of what the public methods of pyqelm.Protocol can produce is
// checked against the file, field by field in declared order, so that nothing is called
// unless the result will save as the very same bytes; then the calls are made.
//
// The model is a default Settings (built, like Protocol(), from the environment of this
// process) with what the methods set copied from the file: intensity, session duration,
// signals, channel B's enabled flag and the source selections, the latter in the form the
// setters store (0 on the side not chosen). Every other field must already be equal to it.
#include "rebuild.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "common.hpp"
#include "compare.hpp"
#include "protocols/text.hpp"
#include "views.hpp"

namespace qelmfile {
namespace {

using protocols::Settings;
using protocols::SignalSourceSelection;

template <class T>
std::string value_text(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return std::to_string(value);
    } else if constexpr (std::is_same_v<T, double>) {
        return protocols::format_float(value);
    } else if constexpr (std::is_same_v<T, std::string>) {
        std::string text;
        protocols::append_quoted(text, value);
        return text;
    } else if constexpr (std::is_same_v<T, protocols::Signal>) {
        return "a " + std::string(protocols::signal_variant_names[value.index()]) + " signal";
    } else if constexpr (protocols::IsVector<T>::value) {
        return std::to_string(value.size()) + (value.size() == 1 ? " entry" : " entries");
    } else {
        return "a different value";
    }
}

[[noreturn]] void refuse(std::string path, std::string reason) {
    throw Refusal{std::move(path), std::move(reason)};
}

std::string reason_for(std::string_view path, const std::string& in_file,
                       const std::string& built) {
    const std::string has = "the file has " + in_file;
    if (path == "running_on_target_machine") {
        return has + ", but Protocol() sets " + built +
               " in this process: it records whether the environment holds " +
               protocols::TARGET_MACHINE_VARIABLE +
               "; to_protocol(allow_target_machine=True) rebuilds the rest and warns";
    }
    if (path.starts_with("machine_config")) {
        return has + ", but Protocol() builds " + built +
               " and no method changes the machine description";
    }
    if (path == "channel_a_settings.enabled") {
        return has +
               ", but channel A is enabled in every new Protocol and no method disables "
               "a channel";
    }
    if (path.ends_with(".internal") || path.ends_with(".external")) {
        return has +
               " on the side not selected, but set_amplitude_source and "
               "set_modulation_source store 0 there";
    }
    return has + ", but no method changes it from " + built;
}

// The session duration whose sample count is `n`, within the range set_session_duration takes.
std::optional<double> duration_for(std::uint64_t n) {
    using protocols::num_samples_for;
    if (n < num_samples_for(0.01) || n > num_samples_for(protocols::MAX_SESSION_DURATION)) {
        return std::nullopt;
    }
    double d = static_cast<double>(n) / protocols::SAMPLING_RATE;
    // n / 5000 times 5000 may land a rounding step away from n; the neighbours settle it.
    for (int step = 0; step < 64 && num_samples_for(d) > n; ++step) d = std::nextafter(d, 0.0);
    for (int step = 0; step < 64 && num_samples_for(d) < n; ++step) {
        d = std::nextafter(d, std::numeric_limits<double>::infinity());
    }
    if (!(d >= 0.01 && d <= protocols::MAX_SESSION_DURATION) || num_samples_for(d) != n) {
        return std::nullopt;
    }
    return d;
}

SignalSourceSelection as_stored(const SignalSourceSelection& source) {
    return source.external_selected ? SignalSourceSelection{0, source.external, true}
                                    : SignalSourceSelection{source.internal, 0, false};
}

// Refuses with the first difference between the file and the model under `name`.
template <class T>
void require_equal(const char* name, const T& in_file, const T& built) {
    FieldPath path;
    auto guard = path.field(name);
    auto first = [](const std::string& where, const auto& a, const auto& b) -> bool {
        refuse(where, reason_for(where, value_text(a), value_text(b)));
    };
    compare(in_file, built, path, first);
}

void check_signals(const Settings& s) {
    if (s.signals.empty()) {
        refuse("signals",
               "the file has no signals, but Protocol.save writes the constant "
               "signal 0.0 into an empty signal list");
    }
    for (std::size_t i = 0; i < s.signals.size(); ++i) {
        const auto* arbitrary = std::get_if<protocols::ArbitrarySignalParams>(&s.signals[i]);
        if (arbitrary == nullptr) continue;  // any value of the other kinds is accepted as given
        const std::string path = "signals[" + std::to_string(i) + "].samples";
        const std::size_t n = arbitrary->samples.size();
        if (!duration_for(n)) {
            refuse(path,
                   "the file has " + std::to_string(n) +
                       " samples, but add_arbitrary_signal takes the sample count of a "
                       "session from 0.01 to 1800.0 s (" +
                       std::to_string(protocols::num_samples_for(0.01)) + " to " +
                       std::to_string(protocols::num_samples_for(protocols::MAX_SESSION_DURATION)) +
                       ")");
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (arbitrary->samples[k] < 0) {
                refuse(path + "[" + std::to_string(k) + "]",
                       "the file has " + std::to_string(arbitrary->samples[k]) +
                           ", but add_arbitrary_signal makes only samples from 0 to 32767");
            }
        }
    }
}

// True when the target-machine flag differs from this process's and that is allowed.
bool check_rebuildable(const Settings& s, bool allow_target_machine) {
    Settings model = Settings::make_default();
    model.signals.clear();
    const bool flag_differs = s.running_on_target_machine != model.running_on_target_machine;
    if (!allow_target_machine) {
        require_equal("running_on_target_machine", s.running_on_target_machine,
                      model.running_on_target_machine);
    }
    require_equal("machine_config", s.machine_config, model.machine_config);
    if (!(s.intensity >= 0.0 && s.intensity <= 1.0)) {
        refuse("intensity", "the file has " + protocols::format_float(s.intensity) +
                                ", but set_stimulation_intensity takes 0.0 to 1.0 only");
    }
    if (!(s.session_duration >= 0.01 && s.session_duration <= protocols::MAX_SESSION_DURATION)) {
        refuse("session_duration", "the file has " + protocols::format_float(s.session_duration) +
                                       ", but set_session_duration takes 0.01 to 1800.0 only");
    }
    check_signals(s);
    for (auto [in_file, built, name] :
         {std::tuple{&s.channel_a_settings, &model.channel_a_settings, "channel_a_settings"},
          std::tuple{&s.channel_b_settings, &model.channel_b_settings, "channel_b_settings"}}) {
        if (built != &model.channel_a_settings) built->enabled = in_file->enabled;
        built->amplitude1_source = as_stored(in_file->amplitude1_source);
        built->amplitude2_source = as_stored(in_file->amplitude2_source);
        built->modulation_source = as_stored(in_file->modulation_source);
        require_equal(name, *in_file, *built);
    }
    require_equal("monitor_trace_visible", s.monitor_trace_visible, model.monitor_trace_visible);
    require_equal("monitor_subsampling_factor", s.monitor_subsampling_factor,
                  model.monitor_subsampling_factor);
    return flag_differs;
}

// Calls protocol.name(*args) built from `format` like Py_BuildValue; throws on failure.
template <class... Args>
Ref call(PyObject* object, const char* name, const char* format, Args... args) {
    return checked(PyObject_CallMethod(object, name, format, args...));
}

PyObject* flag(bool value) { return value ? Py_True : Py_False; }

}  // namespace

PyObject* to_protocol(const Settings& s, bool allow_target_machine) {
    const bool flag_differs = check_rebuildable(s, allow_target_machine);

    Ref pyqelm = checked(PyImport_ImportModule("pyqelm"));
    Ref protocol_class = checked(PyObject_GetAttrString(pyqelm.get(), "Protocol"));
    Ref coil_class = checked(PyObject_GetAttrString(pyqelm.get(), "Coil"));
    Ref channel_class = checked(PyObject_GetAttrString(pyqelm.get(), "Channel"));
    Ref p = checked(PyObject_CallNoArgs(protocol_class.get()));
    PyObject* q = p.get();

    double duration = 60.0;  // that of a new Protocol
    for (const protocols::Signal& signal : s.signals) {
        if (const auto* c = std::get_if<protocols::ConstantSignalParams>(&signal)) {
            call(q, "add_constant_signal", "(d)", c->value);
        } else if (const auto* sine = std::get_if<protocols::SineSignalParams>(&signal)) {
            call(q, "add_sine_signal", "(dddd)", sine->amplitude, sine->frequency, sine->phase,
                 sine->depth);
        } else if (const auto* ramp = std::get_if<protocols::RampSignalParams>(&signal)) {
            call(q, "add_ramp_signal", "(ddd)", ramp->peak, ramp->up_duration, ramp->down_duration);
        } else if (const auto* mixed = std::get_if<protocols::MixedSignalParams>(&signal)) {
            call(q, "add_mixed_signal", "(KK)", static_cast<unsigned long long>(mixed->a_idx),
                 static_cast<unsigned long long>(mixed->b_idx));
        } else {
            const auto& samples = std::get<protocols::ArbitrarySignalParams>(signal).samples;
            // The length was checked to be a reachable sample count before anything was built.
            const std::optional<double> needed = duration_for(samples.size());
            if (!needed) throw std::logic_error("a sample count that no session duration gives");
            if (*needed != duration) {
                call(q, "set_session_duration", "(d)", *needed);
                duration = *needed;
            }
            Ref values = checked(sample_values_array(samples));
            call(q, "add_arbitrary_signal", "(O)", values.get());
        }
    }
    call(q, "set_session_duration", "(d)", s.session_duration);
    call(q, "set_stimulation_intensity", "(d)", s.intensity);
    if (s.channel_b_settings.enabled) {
        Ref b = checked(PyObject_GetAttrString(channel_class.get(), "B"));
        call(q, "enable_channel", "(O)", b.get());
    }

    const SignalSourceSelection unset{};
    auto route = [&](const char* method, PyObject* cls, const char* target,
                     const SignalSourceSelection& source) {
        if (source == unset) return;
        Ref which = checked(PyObject_GetAttrString(cls, target));
        const std::uint64_t index = source.external_selected ? source.external : source.internal;
        call(q, method, "(OKO)", which.get(), static_cast<unsigned long long>(index),
             flag(source.external_selected));
    };
    route("set_amplitude_source", coil_class.get(), "A1", s.channel_a_settings.amplitude1_source);
    route("set_amplitude_source", coil_class.get(), "A2", s.channel_a_settings.amplitude2_source);
    route("set_amplitude_source", coil_class.get(), "B1", s.channel_b_settings.amplitude1_source);
    route("set_amplitude_source", coil_class.get(), "B2", s.channel_b_settings.amplitude2_source);
    route("set_modulation_source", channel_class.get(), "A",
          s.channel_a_settings.modulation_source);
    route("set_modulation_source", channel_class.get(), "B",
          s.channel_b_settings.modulation_source);
    if (flag_differs) {
        const std::string file_value = value_text(s.running_on_target_machine);
        const std::string built_value = value_text(!s.running_on_target_machine);
        const std::string message =
            "running_on_target_machine: the file has " + file_value +
            ", but the rebuilt Protocol has " + built_value + ", as Protocol() sets it in this " +
            "process (it records whether the environment holds " +
            protocols::TARGET_MACHINE_VARIABLE + "); its save differs from the file there";
        check(PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) == 0);
    }
    return p.release();
}

}  // namespace qelmfile
