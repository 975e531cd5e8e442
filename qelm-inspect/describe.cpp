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

std::string describe_position(const Settings& settings, std::uint64_t position) {
    std::string text = "signal " + std::to_string(position) + " (";
    if (position < settings.signals.size()) {
        text += kind_name(settings.signals[static_cast<std::size_t>(position)]);
    } else {
        text += "does not exist";
    }
    return text + ")";
}

std::string raw_and_fraction(std::string_view label, double raw) {
    return std::string(label) + " " + format_approx(sample_fraction(raw)) + " (raw " +
           format_approx(raw) + ")";
}

}  // namespace

std::string describe_source(const Settings& settings, const SignalSourceSelection& source) {
    if (source.external_selected) return "external input " + std::to_string(source.external);
    return describe_position(settings, source.internal);
}

std::string describe_parameters(const Settings& settings, const Signal& signal) {
    struct Describe {
        const Settings& settings;
        std::string operator()(const ConstantSignalParams& p) const {
            return "value " + format_float(p.value);
        }
        std::string operator()(const SineSignalParams& p) const {
            return "amplitude " + format_float(p.amplitude) + ", frequency " +
                   format_float(p.frequency) + ", phase " + format_float(p.phase) + ", depth " +
                   format_float(p.depth);
        }
        std::string operator()(const RampSignalParams& p) const {
            return "peak " + format_float(p.peak) + ", up_duration " + format_float(p.up_duration) +
                   ", down_duration " + format_float(p.down_duration);
        }
        std::string operator()(const MixedSignalParams& p) const {
            return "a: " + describe_position(settings, p.a_idx) +
                   ", b: " + describe_position(settings, p.b_idx);
        }
        std::string operator()(const ArbitrarySignalParams& p) const {
            const std::size_t n = p.samples.size();
            std::string text = std::to_string(n) + (n == 1 ? " sample" : " samples");
            if (n == 0) return text;
            const SampleStats stats = sample_stats(p.samples);
            text += " (" + format_float(static_cast<double>(n) / SAMPLING_RATE) + " s), ";
            text += raw_and_fraction("min", stats.min) + ", ";
            text += raw_and_fraction("max", stats.max) + ", ";
            text += raw_and_fraction("mean", stats.mean);
            return text;
        }
    };
    return std::visit(Describe{settings}, signal);
}

}  // namespace inspect
