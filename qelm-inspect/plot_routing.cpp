// --plot: the routing panel. For each coil's amplitude input and each channel's modulation
// input, what drives it: a signal with its kind and parameters, or an external input; a mixed
// signal with its two inputs beneath it. A signal or external input that does not exist is
// drawn in red with a word on what is wrong; a disabled channel is greyed and "not driven".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "inspect.hpp"
#include "plot.hpp"

namespace inspect::plot {

using namespace protocols;

namespace {

bool names_nothing(const Settings& s, const SignalSourceSelection& source) {
    return source.external_selected
               ? source.external >= s.machine_config.num_external_signal_sources
               : source.internal >= s.signals.size();
}

// "0..5", "0" or "none" for a count of positions.
std::string range_of(std::uint64_t count) {
    if (count == 0) return "none";
    if (count == 1) return "0";
    return "0.." + std::to_string(count - 1);
}

// "signal 4: MixedSignal, a: signal 0 (Sine), b: signal 3 (Arbitrary)", "external input 2" or
// "signal 9 does not exist (3 signals: 0..2)".
std::string route_text(const Settings& s, const SignalSourceSelection& source) {
    if (source.external_selected) {
        const std::uint64_t inputs = s.machine_config.num_external_signal_sources;
        std::string text = "external input " + std::to_string(source.external);
        if (source.external < inputs) return text;
        return text + " does not exist (the machine has " + std::to_string(inputs) +
               (inputs == 1 ? " input: " : " inputs: ") + range_of(inputs) + ")";
    }
    if (source.internal >= s.signals.size()) {
        const std::size_t n = s.signals.size();
        const std::string text = "signal " + std::to_string(source.internal) + " does not exist";
        if (n == 0) return text + " (the protocol has no signals)";
        return text + " (" + std::to_string(n) + (n == 1 ? " signal: " : " signals: ") +
               range_of(n) + ")";
    }
    const Signal& signal = s.signals[static_cast<std::size_t>(source.internal)];
    return "signal " + std::to_string(source.internal) + ": " + std::string(kind_name(signal)) +
           ", " + parameters_with_units(s, signal);
}

// The colour that marks a source: one per signal kind, one for external inputs and red for a
// source that names nothing.
const char* source_colour(const Settings& s, const SignalSourceSelection& source) {
    if (names_nothing(s, source)) return problem_colour;
    if (source.external_selected) return "#138d90";
    return kind_colour(s.signals[static_cast<std::size_t>(source.internal)]);
}

// A box with a line of text in it; the box is drawn dashed and grey for a channel that is not
// driven.
void text_box(std::string& out, double x, double y, std::string_view text, const char* stroke,
              bool enabled, std::string_view css_class, double width = 0, bool problem = false) {
    if (width == 0) {
        width = std::min(text_width(text) + 14, static_cast<double>(page_width) - 8 - x);
    }
    out += "<rect class=\"" + std::string(css_class) + "\" x=\"" + num(x) + "\" y=\"" +
           num(y - 12.5) + "\" width=\"" + num(width) + "\" height=\"17\" rx=\"3\" fill=\"" +
           (enabled ? std::string(stroke) : std::string("#aaa")) +
           "\" fill-opacity=\"0.1\" stroke=\"" + (enabled ? stroke : "#aaa") + "\"" +
           (enabled ? "" : " stroke-dasharray=\"4 3\"") + "/>\n";
    const std::string fill = problem ? problem_colour : (enabled ? "#000" : "#888");
    text_line(out, x + 7, y, text, "fill=\"" + fill + "\"");
}

// An arrow from x_from to x_to (pointing at x_to) on the line through y.
void arrow(std::string& out, double x_from, double x_to, double y, const char* colour) {
    const double dir = x_to < x_from ? 1.0 : -1.0;
    out += "<path d=\"M" + num(x_from) + "," + num(y) + "H" + num(x_to + 5 * dir) + "\" stroke=\"" +
           colour + "\" stroke-width=\"1.5\"/>\n";
    out += "<path d=\"M" + num(x_to) + "," + num(y) + "L" + num(x_to + 7 * dir) + "," + num(y - 4) +
           "V" + num(y + 4) + "Z\" fill=\"" + colour + "\"/>\n";
}

// A source's box, with an arrow to the input at x `arrow_to` if given, inside a group marked as
// a problem when it names nothing on a driven channel.
void source_box(std::string& out, double x, double y, const Settings& s,
                const SignalSourceSelection& source, bool enabled, std::string_view prefix = "",
                double arrow_to = 0) {
    const bool problem = enabled && names_nothing(s, source);
    if (problem) {
        out += "<g class=\"problem\" data-problem=\"";
        out += source.external_selected ? "external" : "missing";
        out += "\">\n";
    }
    if (arrow_to > 0) arrow(out, x, arrow_to, y - 4, enabled ? source_colour(s, source) : "#aaa");
    text_box(out, x, y, std::string(prefix) + route_text(s, source), source_colour(s, source),
             enabled, "source", 0, problem);
    if (problem) out += "</g>\n";
}

// The routing of one channel: its state and coil, then one row per input, each input boxed
// with an arrow from the box of what drives it; a mixed signal gets a row for each of its two
// inputs beneath it.
double draw_channel(std::string& out, double y, const Settings& s, char letter,
                    const ChannelSettings& channel) {
    const std::string name(1, letter);
    const bool on = channel.enabled;
    y += line_height + 2;
    text_line(out, 24, y,
              "channel " + name + ": " +
                  (on ? std::string("enabled") : std::string("disabled, not driven")) + ", " +
                  describe_coil(s, channel),
              on ? "font-weight=\"bold\"" : "font-weight=\"bold\" fill=\"#888\"");
    const struct {
        std::string label;
        const SignalSourceSelection& source;
    } inputs[] = {{"coil " + name + "1 amplitude", channel.amplitude1_source},
                  {"coil " + name + "2 amplitude", channel.amplitude2_source},
                  {"channel " + name + " modulation", channel.modulation_source}};
    constexpr double input_x = 40, input_width = 150, source_x = 230;
    for (const auto& input : inputs) {
        y += line_height + 4;
        const SignalSourceSelection& source = input.source;
        out += "<g class=\"route\" data-channel=\"" + name + "\">\n";
        text_box(out, input_x, y, input.label, "#333", on, "input", input_width);
        source_box(out, source_x, y, s, source, on, "", input_x + input_width + 2);
        if (!source.external_selected && source.internal < s.signals.size()) {
            const Signal& signal = s.signals[static_cast<std::size_t>(source.internal)];
            if (const auto* mixed = std::get_if<MixedSignalParams>(&signal)) {
                const double branch_top = y + 4.5;
                for (const auto& [part, position] :
                     {std::pair{"a: ", mixed->a_idx}, std::pair{"b: ", mixed->b_idx}}) {
                    y += line_height + 4;
                    SignalSourceSelection inner;
                    inner.internal = position;
                    out += "<path d=\"M" + num(source_x + 12) + "," + num(branch_top) + "V" +
                           num(y - 4) + "H" + num(source_x + 28) + "\" fill=\"none\" stroke=\"" +
                           (on ? "#8e44ad" : "#aaa") + "\"/>\n";
                    source_box(out, source_x + 30, y, s, inner, on, part);
                }
            }
        }
        out += "</g>\n";
    }
    return y;
}

}  // namespace

double draw_routing(std::string& out, double y, const Settings& s) {
    out += "<g class=\"routing\">\n";
    text_line(out, 10, y, "Routing", "font-weight=\"bold\"");
    y = draw_channel(out, y, s, 'A', s.channel_a_settings);
    y = draw_channel(out, y + 4, s, 'B', s.channel_b_settings);
    out += "</g>\n";
    return y;
}

}  // namespace inspect::plot
