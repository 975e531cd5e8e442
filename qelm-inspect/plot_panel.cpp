// --plot: one signal's panel. Its title gives the kind and the parameters with their units and
// what the signal drives; beneath, in red, what is wrong with it; then its levels over time, in
// seconds, as fractions of full intensity. Few samples are drawn one by one, each held for its
// sample period; many as a filled band between the lowest and highest level of each pixel
// column, so that every spike shows and a fast oscillation is a solid band, not stripes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "inspect.hpp"
#include "plot.hpp"

namespace inspect::plot {

using namespace protocols;

namespace {

constexpr double title_gap = 16;     // between the lines above the plot
constexpr double below_plot = 44;    // tick labels and the axis title
constexpr double placeholder = 36;   // the plot area's height when there is nothing to draw
constexpr double max_level = 4e307;  // the level axis' reach, either way
// A column is at least this many pixels thick, so a flat stretch still shows as a line.
constexpr double min_band = 1.5;

struct Axes {
    double y0 = 0;  // top of the plot area
    double lo = 0, hi = 1;
    double seconds = 0;  // the time axis' end

    double y_of(double level) const {
        return y0 + (hi - std::clamp(level, lo, hi)) / (hi - lo) * plot_height;
    }
};

void draw_axes(std::string& out, const Axes& a) {
    out += "<rect class=\"frame\" x=\"" + num(left) + "\" y=\"" + num(a.y0) + "\" width=\"" +
           num(plot_width) + "\" height=\"" + num(plot_height) +
           "\" fill=\"none\" stroke=\"#999\"/>\n";
    int decimals = 0;
    for (double v : nice_ticks(a.lo, a.hi, 4, decimals)) {
        const double y = a.y_of(v);
        out += "<line x1=\"" + num(left - 4) + "\" y1=\"" + num(y) + "\" x2=\"" +
               num(left + plot_width) + "\" y2=\"" + num(y) + "\" stroke=\"#ddd\"/>\n";
        text_line(out, left - 8, y + 4, tick_label(v, decimals), "text-anchor=\"end\"");
    }
    const double bottom = a.y0 + plot_height;
    if (a.seconds > 0) {
        for (double t : nice_ticks(0.0, a.seconds, 8, decimals)) {
            const double x = left + t / a.seconds * plot_width;
            out += "<line x1=\"" + num(x) + "\" y1=\"" + num(bottom) + "\" x2=\"" + num(x) +
                   "\" y2=\"" + num(bottom + 4) + "\" stroke=\"#333\"/>\n";
            text_line(out, x, bottom + 18, tick_label(t, decimals), "text-anchor=\"middle\"");
        }
    }
    text_line(out, left + plot_width / 2.0, bottom + 36, "time (s)", "text-anchor=\"middle\"");
    const double middle = a.y0 + plot_height / 2.0;
    text_line(
        out, 16, middle, "level (1 = full intensity)",
        "class=\"axis-title\" text-anchor=\"middle\" font-size=\"11\" transform=\"rotate(-90 16 " +
            num(middle) + ")\"");
}

// Few samples: each held for its sample period; a run of levels is one stroke.
std::string step_path(const Trace& trace, const Axes& a) {
    const double w = static_cast<double>(plot_width) / static_cast<double>(trace.axis_samples);
    std::string d;
    bool open = false;
    for (std::size_t k = 0; k < trace.lo.size(); ++k) {
        if (std::isnan(trace.lo[k])) {
            open = false;
            continue;
        }
        const double x = left + w * static_cast<double>(k);
        d += open ? "V" + num(a.y_of(trace.lo[k])) : "M" + num(x) + "," + num(a.y_of(trace.lo[k]));
        d += "H" + num(x + w);
        open = true;
    }
    return d;
}

// Many samples: each run of columns with levels is one filled outline, along the highest levels
// and back along the lowest. It is not stroked: an outline that climbs up and down every column
// draws the stripes it should prevent.
std::string band_path(const Trace& trace, const Axes& a) {
    const std::size_t columns = trace.lo.size();
    const double width = static_cast<double>(plot_width) / static_cast<double>(columns);
    auto x_at = [&](std::size_t c) { return left + width * static_cast<double>(c); };
    std::string d;
    for (std::size_t begin = 0; begin < columns;) {
        if (std::isnan(trace.lo[begin])) {
            ++begin;
            continue;
        }
        std::size_t end = begin;
        while (end < columns && !std::isnan(trace.lo[end])) ++end;
        auto edges = [&](std::size_t c) {
            double top = a.y_of(trace.hi[c]), bottom = a.y_of(trace.lo[c]);
            if (bottom - top < min_band) {
                const double middle = (top + bottom) / 2;
                top = middle - min_band / 2;
                bottom = middle + min_band / 2;
            }
            return std::pair{top, bottom};
        };
        d += "M" + num(x_at(begin)) + "," + num(edges(begin).first) + "H" + num(x_at(begin + 1));
        for (std::size_t c = begin + 1; c < end; ++c) {
            d += "V" + num(edges(c).first) + "H" + num(x_at(c + 1));
        }
        for (std::size_t c = end; c-- > begin;) {
            d += "V" + num(edges(c).second) + "H" + num(x_at(c));
        }
        d += "Z";
        begin = end;
    }
    return d;
}

// The stretch of the time axis a length problem concerns, shaded, with a line where the session
// ends if the signal runs past it.
void shade_length(std::string& out, const SignalCurve& curve, const Axes& a) {
    const auto x_of = [&](std::uint64_t k) {
        return left +
               static_cast<double>(k) / static_cast<double>(curve.trace.axis_samples) * plot_width;
    };
    const std::uint64_t axis = curve.trace.axis_samples;
    const std::uint64_t from = std::min(curve.defined, curve.session_samples);
    if (from < axis) {
        out += "<rect class=\"mismatch\" x=\"" + num(x_of(from)) + "\" y=\"" + num(a.y0) +
               "\" width=\"" + num(x_of(axis) - x_of(from)) + "\" height=\"" + num(plot_height) +
               "\" fill=\"" + problem_colour + "\" fill-opacity=\"0.12\"/>\n";
        if (from == curve.defined) {
            text_line(out, x_of(from) + 4, a.y0 + 14, "no level",
                      std::string("font-size=\"11\" fill=\"") + problem_colour + "\"");
        }
    }
    if (curve.session_samples < axis) {
        const double x = x_of(curve.session_samples);
        out += "<line class=\"session-end\" x1=\"" + num(x) + "\" y1=\"" + num(a.y0) + "\" x2=\"" +
               num(x) + "\" y2=\"" + num(a.y0 + plot_height) + "\" stroke=\"" + problem_colour +
               "\" stroke-width=\"1.5\" stroke-dasharray=\"5 3\"/>\n";
        text_line(out, x - 4, a.y0 + 14, "session end",
                  std::string("text-anchor=\"end\" font-size=\"11\" fill=\"") + problem_colour +
                      "\"");
    }
}

// The levels above full intensity and below zero, shaded.
void shade_range(std::string& out, const Axes& a) {
    for (const auto& [from, to] : {std::pair{a.hi, 1.0}, std::pair{0.0, a.lo}}) {
        if (!(from > to)) continue;
        out += "<rect class=\"out-of-range\" x=\"" + num(left) + "\" y=\"" + num(a.y_of(from)) +
               "\" width=\"" + num(plot_width) + "\" height=\"" + num(a.y_of(to) - a.y_of(from)) +
               "\" fill=\"" + problem_colour + "\" fill-opacity=\"0.08\"/>\n";
    }
}

}  // namespace

double draw_panel(std::string& out, double top, const Settings& s, std::size_t position,
                  std::string_view uses) {
    const Signal& signal = s.signals[position];
    const SignalCurve curve = signal_curve(s, position);
    const char* colour = kind_colour(signal);

    out += "<g class=\"panel\" data-signal=\"" + std::to_string(position) + "\" data-kind=\"" +
           std::string(kind_name(signal)) + "\">\n";
    double y = top + 16;
    out += "<rect x=\"10\" y=\"" + num(y - 10) + "\" width=\"10\" height=\"10\" fill=\"" + colour +
           "\"/>\n";
    text_line(out, 26, y,
              "signal " + std::to_string(position) + ": " + std::string(kind_name(signal)) + ", " +
                  parameters_with_units(s, signal),
              "class=\"title\" font-weight=\"bold\"");
    y += title_gap;
    text_line(out, 26, y, uses, "class=\"uses\" font-size=\"11\" fill=\"#555\"");

    // The problems' texts first, their marks on the plot once its place is known.
    const double lines_end =
        y + title_gap * static_cast<double>(curve.problems.size() + (curve.note.empty() ? 0 : 1));
    Axes a;
    a.y0 = lines_end + 10;
    const Trace& trace = curve.trace;
    bool any = false;
    for (std::size_t i = 0; i < trace.lo.size(); ++i) {
        if (std::isnan(trace.lo[i])) continue;
        a.lo = std::min(a.lo, trace.lo[i]);
        a.hi = std::max(a.hi, trace.hi[i]);
        any = true;
    }
    // Levels near the largest doubles are drawn at the edge, so that the range stays finite.
    a.lo = std::max(a.lo, -max_level);
    a.hi = std::min(a.hi, max_level);
    a.seconds = static_cast<double>(trace.axis_samples) / SAMPLING_RATE;

    bool shaded = false;
    for (const Problem& problem : curve.problems) {
        y += title_gap;
        out += "<g class=\"problem\" data-problem=\"" + problem.kind + "\">\n";
        text_line(out, 26, y, problem.text, std::string("fill=\"") + problem_colour + "\"");
        if (problem.kind == "length" && !shaded && curve.computed) {
            shade_length(out, curve, a);
            shaded = true;
        }
        if (problem.kind == "range") shade_range(out, a);
        out += "</g>\n";
    }
    if (!curve.note.empty()) {
        y += title_gap;
        text_line(out, 26, y, curve.note, "class=\"note\" font-style=\"italic\" fill=\"#555\"");
    }

    if (!curve.computed || trace.axis_samples == 0) {
        out += "<rect class=\"frame\" x=\"" + num(left) + "\" y=\"" + num(a.y0) + "\" width=\"" +
               num(plot_width) + "\" height=\"" + num(placeholder) +
               "\" fill=\"#f4f4f4\" stroke=\"#ccc\"/>\n";
        text_line(out, left + plot_width / 2.0, a.y0 + placeholder / 2 + 4,
                  curve.computed ? "no samples" : "no curve to draw",
                  "text-anchor=\"middle\" fill=\"#555\"");
        out += "</g>\n";
        return a.y0 + placeholder + 14 - top;
    }

    draw_axes(out, a);
    if (any) {
        if (trace.steps) {
            out += "<path class=\"samples\" d=\"" + step_path(trace, a) +
                   "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"1.5\"/>\n";
        } else {
            out += "<path class=\"envelope\" d=\"" + band_path(trace, a) + "\" fill=\"" + colour +
                   "\" fill-opacity=\"0.85\"/>\n";
        }
    }
    out += "</g>\n";
    return a.y0 + plot_height + below_plot - top;
}

}  // namespace inspect::plot
