// --check: the library's findings, one per line, so that scripts can count and grep them.
#include <cstddef>
#include <string>
#include <string_view>

#include "inspect.hpp"
#include "protocols/checks.hpp"
#include "protocols/signal_list.hpp"

namespace inspect {

int run_check(const protocols::Settings& settings, const protocols::TextSink& sink) {
    return run_check(settings, protocols::VectorSignals(settings.signals), sink);
}

int run_check(const protocols::Settings& settings, const protocols::SignalList& signals,
              const protocols::TextSink& sink) {
    std::string out;
    bool found = false;
    protocols::check_settings(settings, signals, [&](const protocols::Finding& finding) {
        found = true;
        out += finding.path;
        out += ": ";
        out += finding.message;
        out += '\n';
        if (out.size() >= (std::size_t{1} << 16)) {  // findings can run into the millions
            sink(out);
            out.clear();
        }
    });
    sink(found ? std::string_view(out) : std::string_view("ok\n"));
    return found ? exit_findings : exit_ok;
}

}  // namespace inspect
