// --check: the library's findings, one per line, so that scripts can count and grep them.
#include <string>
#include <vector>

#include "inspect.hpp"
#include "protocols/checks.hpp"

namespace inspect {

int run_check(const protocols::Settings& settings, std::string& out) {
    const std::vector<protocols::Finding> findings = protocols::check_settings(settings);
    if (findings.empty()) {
        out += "ok\n";
        return exit_ok;
    }
    for (const protocols::Finding& finding : findings) out += finding.to_string() + "\n";
    return exit_findings;
}

}  // namespace inspect
