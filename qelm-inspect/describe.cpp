// Descriptions of signals and sources in words, shared by the summary and the plot so that both
// name things the same way.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "inspect.hpp"
#include "protocols/text.hpp"

namespace inspect {

using namespace protocols;

SampleStats sample_stats(const SampleVector& samples) {
    SampleStats stats;
    if (samples.empty()) return stats;
    std::int16_t lo = samples.front(), hi = samples.front();
    std::int64_t sum = 0;  // 2^31 samples of 32767 would still fit many times over
    for (std::int16_t s : samples) {
        if (s < lo) lo = s;
        if (s > hi) hi = s;
        sum += s;
    }
    stats.min = lo;
    stats.max = hi;
    stats.mean = static_cast<double>(sum) / static_cast<double>(samples.size());
    return stats;
}

std::string format_approx(double value) {
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
    return std::string(buffer, result.ptr);
}

std::string_view kind_name(const Signal& signal) { return signal_variant_names[signal.index()]; }

namespace {

std::string describe_position(const SignalList& signals, std::uint64_t position) {
    std::string text = "signal " + std::to_string(position) + " (";
    if (position < signals.size()) {
        text += signal_variant_names[signals.kind(static_cast<std::size_t>(position))];
    } else {
        text += "does not exist";
    }
    return text + ")";
}

std::string quoted_name(std::string_view name) {
    std::string text;
    append_quoted(text, name);
    return text;
}

std::string raw_and_fraction(std::string_view label, double raw) {
    return std::string(label) + " " + format_approx(sample_fraction(raw)) + " (raw " +
           format_approx(raw) + ")";
}

}  // namespace

// "coil 0 "Default", LC setting 0 (22.624434389140273 kHz)", or the position that is missing.
std::string describe_coil(const Settings& s, const ChannelSettings& channel) {
    std::string text = "coil " + std::to_string(channel.coil_idx);
    const auto& coils = s.machine_config.coils;
    if (channel.coil_idx >= coils.size()) {
        return text + " (does not exist), LC setting " + std::to_string(channel.coil_setting_idx);
    }
    const Coil& coil = coils[static_cast<std::size_t>(channel.coil_idx)];
    text +=
        " " + quoted_name(coil.name) + ", LC setting " + std::to_string(channel.coil_setting_idx);
    if (channel.coil_setting_idx >= coil.settings.size()) return text + " (does not exist)";
    const LCSetting& lc = coil.settings[static_cast<std::size_t>(channel.coil_setting_idx)];
    return text + " (" + format_float(lc.carrier_frequency) + " kHz)";
}

std::string describe_source(const SignalList& signals, const SignalSourceSelection& source) {
    if (source.external_selected) return "external input " + std::to_string(source.external);
    return describe_position(signals, source.internal);
}

std::string describe_source(const Settings& settings, const SignalSourceSelection& source) {
    return describe_source(VectorSignals(settings.signals), source);
}

namespace {

// One parameter as "name value", walked from the record's field declarations so that a field
// added to a signal's record shows up here by itself. Positions of other signals ("a_idx")
// read "a: signal 0 (Sine)"; the samples of an arbitrary signal read as their length and
// statistics, as fractions and raw values.
struct DescribeField {
    const SignalList& signals;
    std::string& text;

    void separate() {
        if (!text.empty()) text += ", ";
    }

    void operator()(std::string_view name, double value) {
        separate();
        text += name;
        text += ' ';
        text += format_float(value);
    }
    void operator()(std::string_view name, bool value) {
        separate();
        text += name;
        text += value ? " true" : " false";
    }
    void operator()(std::string_view name, std::uint64_t value) {
        separate();
        if (name.ends_with("_idx")) {
            name.remove_suffix(4);
            text += name;
            text += ": ";
            text += describe_position(signals, value);
        } else {
            text += name;
            text += ' ';
            text += std::to_string(value);
        }
    }
    void operator()(std::string_view, const SampleVector& samples) {
        separate();
        const std::size_t n = samples.size();
        text += std::to_string(n) + (n == 1 ? " sample" : " samples");
        if (n == 0) return;
        const SampleStats stats = sample_stats(samples);
        text += " (" + format_float(static_cast<double>(n) / SAMPLING_RATE) + " s), ";
        text += raw_and_fraction("min", stats.min) + ", ";
        text += raw_and_fraction("max", stats.max) + ", ";
        text += raw_and_fraction("mean", stats.mean);
    }
};

}  // namespace

std::string describe_parameters(const SignalList& signals, const Signal& signal) {
    std::string text;
    std::visit([&](const auto& params) { for_each_field(params, DescribeField{signals, text}); },
               signal);
    return text;
}

std::string describe_parameters(const Settings& settings, const Signal& signal) {
    return describe_parameters(VectorSignals(settings.signals), signal);
}

}  // namespace inspect
