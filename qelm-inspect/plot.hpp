// --plot, the pieces its files share: the page geometry, the SVG text primitives, the levels of a
// signal over the session and the per-column band they are drawn as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocols/settings.hpp"

namespace inspect::plot {

// --- page geometry -----------------------------------------------------------------------------

inline constexpr int plot_width = 1000;  // pixel columns of a panel, one band column each
inline constexpr int plot_height = 160;
inline constexpr int left = 80;  // room for the level ticks and the axis title
inline constexpr int right = 30;
inline constexpr int page_width = left + plot_width + right;
inline constexpr int line_height = 18;

// Text longer than this (a coil name can be anything) is cut, so every line stays readable.
inline constexpr std::size_t max_text_chars = 180;
// Below this many pixels per sample, neighbouring samples are too close to draw one by one.
inline constexpr double min_step_width = 4.0;

// What is wrong is drawn in this colour and nothing else is.
inline constexpr const char* problem_colour = "#d62728";

// The colour of a signal's kind, in the routing and for its curve.
const char* kind_colour(const protocols::Signal& signal);

// --- SVG text (plot_svg.cpp) -------------------------------------------------------------------

// Coordinates to one decimal place, without a trailing ".0".
std::string num(double v);

// Text content and attribute values: escaped, control characters dropped, cut after
// max_text_chars characters; text that is not UTF-8 becomes "?".
std::string xml_escaped(std::string_view text);

// <text x y [extra]>content</text>
void text_line(std::string& out, double x, double y, std::string_view content,
               std::string_view extra = "");

// A rough width of a line of text in the 12-pixel sans-serif face.
double text_width(std::string_view text, double font_size = 12.0);

// Tick values k * step within [lo, hi], step 1, 2 or 5 times a power of ten, about `target` of
// them; `decimals` receives the places a label needs.
std::vector<double> nice_ticks(double lo, double hi, int target, int& decimals);
std::string tick_label(double value, int decimals);

// --- signals (plot_signals.cpp) ----------------------------------------------------------------

// Something wrong with what a panel shows, drawn in red with this text. `kind` names it for
// the reader of the SVG: "length", "missing", "cycle", "not-finite", "session", "external".
struct Problem {
    std::string kind;
    std::string text;
};

// The levels of one signal as drawn: over `axis_samples` sample periods, either one value per
// sample (`steps`, when there are few) or the lowest and highest level of each pixel column.
// NaN marks a sample or column with nothing to draw.
struct Trace {
    std::uint64_t axis_samples = 0;
    bool steps = false;
    std::vector<double> lo, hi;
    std::uint64_t non_finite = 0;  // levels that are NaN or infinite, left out
};

struct SignalCurve {
    Trace trace;
    std::uint64_t session_samples = 0;  // the session's sample count
    // The samples [0, defined) have a level; from there to the axis' end there is none (an
    // arbitrary signal, or an input of a mixed one, shorter than the session).
    std::uint64_t defined = 0;
    bool computed = false;  // false: no curve (a missing input, a cycle, an unusable session)
    std::vector<Problem> problems;
    std::string note;  // a remark in grey, not a fault ("mixes 20 signals: not computed")
};

// Largest session whose levels are computed sample by sample: the longest the module allows.
std::uint64_t max_computed_samples();

// The levels of signal `position` over the session, sampled at SAMPLING_RATE, with what is wrong
// about them. Memory stays within the pixel columns whatever the length.
SignalCurve signal_curve(const protocols::Settings& settings, std::size_t position);

// Parameters with their units: "amplitude 1.0, frequency 10.0 Hz, phase 0.25 rad, depth 0.5";
// mixed and arbitrary signals as --summary shows them.
std::string parameters_with_units(const protocols::Settings& settings,
                                  const protocols::Signal& signal);

// --- drawing (plot_routing.cpp, plot_panel.cpp) -------------------------------------------------

// The routing of both channels from y on; returns the y of its last line.
double draw_routing(std::string& out, double y, const protocols::Settings& settings);

// One signal's panel with its top at `top`; returns the panel's height. `uses` says what the
// signal drives ("drives coil A1 amplitude").
double draw_panel(std::string& out, double top, const protocols::Settings& settings,
                  std::size_t position, std::string_view uses);

}  // namespace inspect::plot
