// The compact text form: the text form of the protocol, line for line, except that a sample list
// longer than compact_sample_limit is written on one line as its first and last three values
// around "...", followed by its length, minimum and maximum. A protocol without such lists
// reads exactly as its full text form.
//
// The walk is its own (the full form's writer keeps its layout to itself) but follows the same
// rules: four spaces per level, "name: value," per field, "Kind(" ... ")" around a signal's
// parameters, one entry per line in lists and "[]" for an empty one. Output goes to the sink in
// pieces of some tens of kilobytes; since no signal's compact text is longer than a few lines,
// a file of millions of signals or samples is never held as one text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "inspect.hpp"
#include "protocols/text.hpp"

namespace inspect {

using namespace protocols;

namespace {

constexpr std::size_t indent_width = 4;
constexpr std::size_t flush_size = std::size_t{1} << 16;
constexpr std::size_t shown_at_each_end = 3;

template <class T>
struct IsList : std::false_type {};
template <class T, class A>
struct IsList<std::vector<T, A>> : std::true_type {};
template <class T, std::size_t N>
struct IsList<std::array<T, N>> : std::true_type {};

class CompactWriter {
public:
    explicit CompactWriter(const TextSink& sink) : sink_(sink) {}

    void flush() {
        if (out_.empty()) return;
        sink_(out_);
        out_.clear();
    }

    // The protocol record around the settings, as str() of a Protocol shows it.
    void write_protocol(const Settings& settings) {
        out_ += "Protocol {";
        new_line(1);
        out_ += "settings: ";
        write(settings, 1);
        out_ += ',';
        new_line(0);
        out_ += '}';
    }

    template <class T>
    void write(const T& value, std::size_t level) {
        if constexpr (Record<T>) {
            out_ += T::record_name;
            out_ += " {";
            for_each_field(value, [&](std::string_view name, const auto& field) {
                new_line(level + 1);
                out_ += name;
                out_ += ": ";
                write(field, level + 1);
                out_ += ',';
                out_ += note_;  // what a shortened sample list leaves out, after its comma
                note_.clear();
            });
            new_line(level);
            out_ += '}';
        } else if constexpr (std::same_as<T, Signal>) {
            out_ += signal_variant_names[value.index()];
            out_ += '(';
            new_line(level + 1);
            std::visit([&](const auto& payload) { write(payload, level + 1); }, value);
            out_ += ',';
            new_line(level);
            out_ += ')';
        } else if constexpr (std::same_as<T, SampleVector>) {
            write_samples(value, level);
        } else if constexpr (IsList<T>::value) {
            if (value.empty()) {
                out_ += "[]";
                return;
            }
            out_ += '[';
            for (const auto& entry : value) {
                new_line(level + 1);
                write(entry, level + 1);
                out_ += ',';
            }
            new_line(level);
            out_ += ']';
        } else if constexpr (std::same_as<T, std::string>) {
            append_quoted(out_, value);
        } else if constexpr (std::same_as<T, ErrorCode>) {
            out_ += error_code_name(value);
        } else if constexpr (std::same_as<T, bool>) {
            out_ += value ? "true" : "false";
        } else if constexpr (std::same_as<T, double>) {
            append_float(out_, value);
        } else if constexpr (std::same_as<T, std::uint64_t> || std::same_as<T, std::int16_t>) {
            out_ += std::to_string(value);
        } else {
            static_assert(sizeof(T) == 0, "no text form for this field type");
        }
    }

private:
    void new_line(std::size_t level) {
        if (out_.size() >= flush_size) flush();
        out_ += '\n';
        out_.append(level * indent_width, ' ');
    }

    void write_samples(const SampleVector& samples, std::size_t level) {
        const std::size_t n = samples.size();
        if (n <= compact_sample_limit) {
            if (n == 0) {
                out_ += "[]";
                return;
            }
            out_ += '[';
            for (const std::int16_t sample : samples) {
                new_line(level + 1);
                out_ += std::to_string(sample);
                out_ += ',';
            }
            new_line(level);
            out_ += ']';
            return;
        }
        out_ += '[';
        for (std::size_t i = 0; i < shown_at_each_end; ++i) {
            out_ += std::to_string(samples[i]);
            out_ += ", ";
        }
        out_ += "...";
        for (std::size_t i = n - shown_at_each_end; i < n; ++i) {
            out_ += ", ";
            out_ += std::to_string(samples[i]);
        }
        out_ += ']';
        const SampleStats stats = sample_stats(samples);
        note_ = "  # " + std::to_string(n) + " samples, min " + std::to_string(stats.min) +
                ", max " + std::to_string(stats.max);
    }

    const TextSink& sink_;
    std::string out_;
    std::string note_;
};

}  // namespace

void write_compact(const Settings& settings, const TextSink& sink) {
    CompactWriter writer(sink);
    writer.write_protocol(settings);
    writer.flush();
}

}  // namespace inspect
