// --check: the library's findings, one per line, so that scripts can count and grep them.
#include <string>
#include <vector>

#include "inspect.hpp"
#include "protocols/checks.hpp"

namespace inspect {

int run_check(const protocols::Settings& settings, const protocols::TextSink& sink) {
    const std::vector<protocols::Finding> findings = protocols::check_settings(settings);
    if (findings.empty()) {
        sink("ok\n");
        return exit_ok;
    }
    std::string out;
    for (const protocols::Finding& finding : findings) {
        out += finding.to_string();
        out += '\n';
        if (out.size() >= (std::size_t{1} << 16)) {
            sink(out);
            out.clear();
        }
    }
    sink(out);
    return exit_findings;
}

}  // namespace inspect
