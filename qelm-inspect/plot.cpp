// --plot: an SVG document of the protocol as a researcher checks it before a session: the
// routing of both channels (what drives each coil's amplitude and each channel's modulation),
// one panel per arbitrary signal, and the other signals listed with their parameters.
//
// A signal with more samples than a few per pixel is drawn as the band between its minimum and
// maximum in each pixel column, so the file stays small for any length, every spike still
// shows, and a fast oscillation is a solid band rather than stripes. Past a readable number of
// panels and list lines the rest is counted, not drawn, so the document's size is bounded
// whatever the file holds.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "inspect.hpp"
#include "protocols/text.hpp"

namespace inspect {

using namespace protocols;

namespace {

constexpr int plot_width = 1000;  // pixel columns of a panel, one envelope column each
constexpr int plot_height = 160;
constexpr int left = 70;
constexpr int right = 30;
constexpr int page_width = left + plot_width + right;
constexpr int line_height = 18;
constexpr int panel_height = 24 + plot_height + 44;  // title, plot, tick labels and axis title

// Beyond these the picture says how many more there are (--summary lists every signal).
constexpr std::size_t max_panels = 12;
constexpr std::size_t max_listed = 40;
// Text longer than this (a coil name can be anything) is cut, so every line stays readable.
constexpr std::size_t max_text_chars = 180;
// Below this many pixels per sample, neighbouring samples are too close to draw one by one.
constexpr double min_step_width = 4.0;

// Coordinates to one decimal place, without a trailing ".0".
std::string num(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", v);
    std::string text(buffer);
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ".0") == 0)
        text.resize(text.size() - 2);
    if (text == "-0") text = "0";
    return text;
}

// Text content and attribute values; control characters, which XML cannot hold, are dropped,
// and text that is not UTF-8 (a file name can be anything) is left out entirely.
std::string xml_escaped(std::string_view text) {
    if (!is_valid_utf8(text)) return "?";
    std::string out;
    std::size_t chars = 0;
    for (char c : text) {
        // Counts characters by their first byte; a cut falls between two characters.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++chars > max_text_chars) {
            out += "\u2026";
            break;
        }
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20) out += c;
        }
    }
    return out;
}

void text_line(std::string& out, double x, double y, std::string_view content,
               std::string_view extra = "") {
    out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"";
    if (!extra.empty()) {
        out += ' ';
        out += extra;
    }
    out += ">" + xml_escaped(content) + "</text>\n";
}

// Tick values k * step within [lo, hi], step 1, 2 or 5 times a power of ten, about `target`
// of them; `decimals` receives the places a label needs.
std::vector<double> nice_ticks(double lo, double hi, int target, int& decimals) {
    const double rough = (hi - lo) / target;
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10.0 * magnitude;
    for (double factor : {1.0, 2.0, 5.0}) {
        if (factor * magnitude >= rough) {
            step = factor * magnitude;
            break;
        }
    }
    decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
    std::vector<double> ticks;
    const double first = std::ceil(lo / step - 1e-9), last = std::floor(hi / step + 1e-9);
    for (double k = first; k <= last; k += 1.0) ticks.push_back(k * step);
    return ticks;
}

std::string tick_label(double value, int decimals) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text(buffer);
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) {
        text.erase(0, 1);  // a rounded tiny negative is shown as zero, not "-0.00"
    }
    return text;
}

void draw_panel(std::string& out, double top, std::size_t position, const Settings& s,
                const SampleVector& samples) {
    const std::size_t n = samples.size();
    text_line(out, left, top + 16,
              "signal " + std::to_string(position) + ": Arbitrary, " +
                  describe_parameters(s, s.signals[position]),
              "font-weight=\"bold\"");
    const double y0 = top + 24;  // top edge of the plot area
    const SampleStats stats = sample_stats(samples);
    // The range a value can have is 0..1; a damaged file may hold negative samples, and they
    // are shown rather than clipped.
    const double lo = std::min(0.0, sample_fraction(stats.min));
    const double hi = std::max(1.0, sample_fraction(stats.max));
    auto y_of = [&](double raw) {
        return y0 + (hi - sample_fraction(raw)) / (hi - lo) * plot_height;
    };
    const double duration = static_cast<double>(n) / SAMPLING_RATE;

    out += "<g class=\"panel\" data-signal=\"" + std::to_string(position) + "\">\n";
    out += "<rect x=\"" + num(left) + "\" y=\"" + num(y0) + "\" width=\"" + num(plot_width) +
           "\" height=\"" + num(plot_height) + "\" fill=\"none\" stroke=\"#999\"/>\n";

    int decimals = 0;
    for (double v : nice_ticks(lo, hi, 4, decimals)) {
        const double y = y0 + (hi - v) / (hi - lo) * plot_height;
        out += "<line x1=\"" + num(left - 4) + "\" y1=\"" + num(y) + "\" x2=\"" +
               num(left + plot_width) + "\" y2=\"" + num(y) + "\" stroke=\"#ddd\"/>\n";
        text_line(out, left - 8, y + 4, tick_label(v, decimals), "text-anchor=\"end\"");
    }
    if (n > 0) {
        for (double t : nice_ticks(0.0, duration, 8, decimals)) {
            const double x = left + t / duration * plot_width;
            out += "<line x1=\"" + num(x) + "\" y1=\"" + num(y0 + plot_height) + "\" x2=\"" +
                   num(x) + "\" y2=\"" + num(y0 + plot_height + 4) + "\" stroke=\"#333\"/>\n";
            text_line(out, x, y0 + plot_height + 18, tick_label(t, decimals),
                      "text-anchor=\"middle\"");
        }
    }
    text_line(out, left + plot_width / 2.0, y0 + plot_height + 36, "time (s)",
              "text-anchor=\"middle\"");
    text_line(out, 16, y0 + plot_height / 2.0, "value",
              "text-anchor=\"middle\" transform=\"rotate(-90 16 " + num(y0 + plot_height / 2.0) +
                  ")\"");

    if (n == 0) {
        text_line(out, left + plot_width / 2.0, y0 + plot_height / 2.0, "no samples",
                  "text-anchor=\"middle\"");
    } else if (static_cast<double>(plot_width) / static_cast<double>(n) >= min_step_width) {
        // Few samples: each one held for its sample period.
        const double w = static_cast<double>(plot_width) / static_cast<double>(n);
        std::string d = "M" + num(left) + "," + num(y_of(samples[0])) + "H" + num(left + w);
        for (std::size_t i = 1; i < n; ++i) {
            d += "V" + num(y_of(samples[i])) + "H" + num(left + w * static_cast<double>(i + 1));
        }
        out += "<path class=\"samples\" d=\"" + d +
               "\" fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"1.5\"/>\n";
    } else {
        // Many samples: the band between the minimum and the maximum of each column, filled and
        // not outlined (an outline that climbs up and down every column draws the stripes it
        // should prevent). A column takes at least three samples and also the last sample of the
        // column before it, so the band covers the line from each sample to the next, and an
        // oscillation of four samples per period or faster fills its whole range in every
        // column instead of beating against the column grid. Each column is at least `min_band`
        // pixels thick, so a flat stretch still shows as a line.
        constexpr double min_band = 1.5;
        const std::size_t columns = std::clamp<std::size_t>(n / 3, 1, plot_width);
        const double column_width = static_cast<double>(plot_width) / static_cast<double>(columns);
        std::vector<double> tops(columns), bottoms(columns);
        for (std::size_t c = 0; c < columns; ++c) {
            std::size_t begin = c * n / columns;
            const std::size_t end = std::max(begin + 1, (c + 1) * n / columns);
            if (begin > 0) --begin;
            const auto [lo_it, hi_it] =
                std::minmax_element(samples.begin() + static_cast<std::ptrdiff_t>(begin),
                                    samples.begin() + static_cast<std::ptrdiff_t>(end));
            double top_y = y_of(*hi_it), bottom_y = y_of(*lo_it);
            if (bottom_y - top_y < min_band) {
                const double middle = (top_y + bottom_y) / 2;
                top_y = middle - min_band / 2;
                bottom_y = middle + min_band / 2;
            }
            tops[c] = top_y;
            bottoms[c] = bottom_y;
        }
        auto x_at = [&](std::size_t c) { return left + column_width * static_cast<double>(c); };
        std::string d = "M" + num(left) + "," + num(tops[0]) + "H" + num(x_at(1));
        for (std::size_t c = 1; c < columns; ++c) d += "V" + num(tops[c]) + "H" + num(x_at(c + 1));
        for (std::size_t c = columns; c-- > 0;) d += "V" + num(bottoms[c]) + "H" + num(x_at(c));
        d += "Z";
        out += "<path class=\"envelope\" d=\"" + d + "\" fill=\"#1f5fa8\" fill-opacity=\"0.8\"/>\n";
    }
    out += "</g>\n";
}

}  // namespace

namespace {

// "signal 4: MixedSignal, a: signal 0 (Sine), b: signal 3 (Arbitrary)", "external input 2" or
// "signal 9 (does not exist)".
std::string route_text(const Settings& s, const SignalSourceSelection& source) {
    if (source.external_selected || source.internal >= s.signals.size()) {
        return describe_source(s, source);
    }
    const Signal& signal = s.signals[static_cast<std::size_t>(source.internal)];
    return "signal " + std::to_string(source.internal) + ": " + std::string(kind_name(signal)) +
           ", " + describe_parameters(s, signal);
}

// The colour that marks a source: one per signal kind, one for external inputs and one for a
// position that names no signal.
const char* source_colour(const Settings& s, const SignalSourceSelection& source) {
    static constexpr const char* kinds[] = {"#6b6b6b", "#1f77b4", "#d9730d", "#8e44ad", "#2c9a2c"};
    static_assert(std::size(kinds) == std::variant_size_v<Signal>);
    if (source.external_selected) return "#8c564b";
    if (source.internal >= s.signals.size()) return "#d62728";
    return kinds[s.signals[static_cast<std::size_t>(source.internal)].index()];
}

// A rough width of a line of text in the 12-pixel sans-serif face, for the box around it.
double text_width(std::string_view text) {
    std::size_t chars = 0;
    for (char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return 6.8 * static_cast<double>(std::min(chars, max_text_chars + 1)) + 14;
}

// A box with a line of text in it; the box is drawn dashed and grey for a channel that is not
// driven.
void text_box(std::string& out, double x, double y, std::string_view text, const char* stroke,
              bool enabled, std::string_view css_class, double width = 0) {
    if (width == 0) width = std::min(text_width(text), static_cast<double>(page_width) - 8 - x);
    out += "<rect class=\"" + std::string(css_class) + "\" x=\"" + num(x) + "\" y=\"" +
           num(y - 12.5) + "\" width=\"" + num(width) + "\" height=\"17\" rx=\"3\" fill=\"" +
           (enabled ? std::string(stroke) : std::string("#aaa")) +
           "\" fill-opacity=\"0.1\" stroke=\"" + (enabled ? stroke : "#aaa") + "\"" +
           (enabled ? "" : " stroke-dasharray=\"4 3\"") + "/>\n";
    text_line(out, x + 7, y, text, enabled ? "fill=\"#000\"" : "fill=\"#888\"");
}

// An arrow from x_from to x_to (pointing at x_to) on the line through y.
void arrow(std::string& out, double x_from, double x_to, double y, const char* colour) {
    const double dir = x_to < x_from ? 1.0 : -1.0;
    out += "<path d=\"M" + num(x_from) + "," + num(y) + "H" + num(x_to + 5 * dir) + "\" stroke=\"" +
           colour + "\" stroke-width=\"1.5\"/>\n";
    out += "<path d=\"M" + num(x_to) + "," + num(y) + "L" + num(x_to + 7 * dir) + "," + num(y - 4) +
           "V" + num(y + 4) + "Z\" fill=\"" + colour + "\"/>\n";
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
        const char* colour = on ? source_colour(s, source) : "#aaa";
        out += "<g class=\"route\" data-channel=\"" + name + "\">\n";
        text_box(out, input_x, y, input.label, "#333", on, "input", input_width);
        arrow(out, source_x, input_x + input_width + 2, y - 4, colour);
        text_box(out, source_x, y, route_text(s, source), source_colour(s, source), on, "source");
        if (!source.external_selected && source.internal < s.signals.size()) {
            const Signal& signal = s.signals[static_cast<std::size_t>(source.internal)];
            if (const auto* mixed = std::get_if<MixedSignalParams>(&signal)) {
                const double branch_top = y + 4.5;
                for (const auto& [part, position] :
                     {std::pair{"a", mixed->a_idx}, std::pair{"b", mixed->b_idx}}) {
                    y += line_height + 4;
                    SignalSourceSelection inner;
                    inner.internal = position;
                    out += "<path d=\"M" + num(source_x + 12) + "," + num(branch_top) + "V" +
                           num(y - 4) + "H" + num(source_x + 28) + "\" fill=\"none\" stroke=\"" +
                           (on ? "#8e44ad" : "#aaa") + "\"/>\n";
                    text_box(out, source_x + 30, y, std::string(part) + ": " + route_text(s, inner),
                             source_colour(s, inner), on, "source");
                }
            }
        }
        out += "</g>\n";
    }
    return y;
}

// Which signals drive an enabled channel, directly or as an input of a mixed signal that does
// (followed through any depth of mixing, without recursion).
std::vector<bool> driving_signals(const Settings& s) {
    const std::size_t n = s.signals.size();
    std::vector<bool> driving(n, false);
    std::vector<std::uint64_t> pending;
    for (const ChannelSettings* channel : {&s.channel_a_settings, &s.channel_b_settings}) {
        if (!channel->enabled) continue;
        for (const SignalSourceSelection* source :
             {&channel->amplitude1_source, &channel->amplitude2_source,
              &channel->modulation_source}) {
            if (!source->external_selected) pending.push_back(source->internal);
        }
    }
    while (!pending.empty()) {
        const std::uint64_t position = pending.back();
        pending.pop_back();
        if (position >= n || driving[static_cast<std::size_t>(position)]) continue;
        driving[static_cast<std::size_t>(position)] = true;
        if (const auto* mixed =
                std::get_if<MixedSignalParams>(&s.signals[static_cast<std::size_t>(position)])) {
            pending.push_back(mixed->a_idx);
            pending.push_back(mixed->b_idx);
        }
    }
    return driving;
}

}  // namespace

std::string plot_svg(const Settings& s, std::string_view file_name) {
    const std::string omitted_note =
        " are shown, those that drive an enabled channel first; qelm-inspect --summary lists "
        "every signal)";
    // What fits is chosen among the signals that drive an enabled channel first, then among
    // the rest, each group in position order, and shown in position order.
    const std::vector<bool> driving = driving_signals(s);
    std::vector<std::size_t> drawn, listed;
    std::size_t more_drawn = 0, more_listed = 0;
    for (const bool wanted : {true, false}) {
        for (std::size_t i = 0; i < s.signals.size(); ++i) {
            if (driving[i] != wanted) continue;
            const bool arbitrary = std::holds_alternative<ArbitrarySignalParams>(s.signals[i]);
            std::vector<std::size_t>& chosen = arbitrary ? drawn : listed;
            if (chosen.size() < (arbitrary ? max_panels : max_listed)) {
                chosen.push_back(i);
            } else {
                ++(arbitrary ? more_drawn : more_listed);
            }
        }
    }
    std::sort(drawn.begin(), drawn.end());
    std::sort(listed.begin(), listed.end());

    std::string body;
    text_line(body, 10, line_height, std::string(file_name),
              "font-size=\"14\" font-weight=\"bold\"");
    text_line(body, 10, 2.0 * line_height,
              "session " + format_float(s.session_duration) + " s (" +
                  std::to_string(num_samples_for(s.session_duration)) + " samples at " +
                  format_approx(SAMPLING_RATE) + " per second), intensity " +
                  format_float(s.intensity) + ", " + std::to_string(s.signals.size()) +
                  (s.signals.size() == 1 ? " signal" : " signals"));

    double y = 3.0 * line_height + 6;
    body += "<g class=\"routing\">\n";
    text_line(body, 10, y, "Routing", "font-weight=\"bold\"");
    y = draw_channel(body, y, s, 'A', s.channel_a_settings);
    y = draw_channel(body, y + 4, s, 'B', s.channel_b_settings);
    body += "</g>\n";

    if (!listed.empty()) {
        y += 1.5 * line_height;
        body += "<g class=\"parameters\">\n";
        text_line(body, 10, y, "Signals not drawn:", "font-weight=\"bold\"");
        for (std::size_t i : listed) {
            y += line_height;
            text_line(body, 24, y,
                      "signal " + std::to_string(i) + ": " + std::string(kind_name(s.signals[i])) +
                          ", " + describe_parameters(s, s.signals[i]));
        }
        if (more_listed > 0) {
            y += line_height;
            text_line(body, 24, y,
                      "\u2026 and " + std::to_string(more_listed) + " more, not listed (" +
                          std::to_string(max_listed) + omitted_note,
                      "class=\"omitted\" font-style=\"italic\"");
        }
        body += "</g>\n";
    }
    double top = y + 10;
    for (std::size_t i : drawn) {
        draw_panel(body, top, i, s, std::get<ArbitrarySignalParams>(s.signals[i]).samples);
        top += panel_height;
    }
    if (more_drawn > 0) {
        top += line_height;
        text_line(body, 10, top,
                  "\u2026 and " + std::to_string(more_drawn) + " more arbitrary " +
                      (more_drawn == 1 ? "signal" : "signals") + ", not drawn (" +
                      std::to_string(max_panels) + omitted_note,
                  "class=\"omitted\" font-style=\"italic\"");
        top += 8;
    }
    const double height = top + 8;

    std::string out;
    out.reserve(body.size() + 400);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(page_width) + "\" height=\"" +
           num(height) + "\" viewBox=\"0 0 " + num(page_width) + " " + num(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out += body;
    out += "</svg>\n";
    return out;
}

}  // namespace inspect
