// Default construction of the settings record and the environment lookup it makes.
#include "protocols/settings.hpp"

#include <cstdlib>

#include "protocols/utf8.hpp"

namespace protocols {

std::string_view error_code_name(ErrorCode code) noexcept {
    static constexpr std::string_view names[] = {
        "OverCoilCurrent", "OverSupplyPower", "OverTemperature", "Underflow",
        "SPIError",        "GPIOError",       "I2cError",        "TCPError",
        "ConfigError",     "ProtocolError",   "Unintialized",
    };
    return names[static_cast<std::size_t>(code)];
}

bool is_valid_utf8(std::string_view text) noexcept { return utf8::is_valid(text); }

#ifdef _WIN32
bool target_machine_from_environment() {
    // The Windows environment holds UTF-16: a value counts only if it has no unpaired surrogate.
    const wchar_t* value = _wgetenv(L"QELM_TARGET_MACHINE");
    if (value == nullptr) return false;
    for (const wchar_t* p = value; *p != 0; ++p) {
        const unsigned unit = static_cast<unsigned>(*p);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const unsigned next = static_cast<unsigned>(p[1]);
            if (next < 0xDC00 || next > 0xDFFF) return false;
            ++p;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}
#else
bool target_machine_from_environment() {
    // The POSIX environment holds bytes: a value counts only if it is text (valid UTF-8).
    const char* value = std::getenv(TARGET_MACHINE_VARIABLE);
    return value != nullptr && is_valid_utf8(value);
}
#endif

Settings Settings::make_default() {
    Settings settings;
    settings.running_on_target_machine = target_machine_from_environment();
    settings.machine_config = MachineConfig::make_default();
    settings.signals.emplace_back(ConstantSignalParams{0.0});
    settings.channel_a_settings.enabled = true;
    return settings;
}

}  // namespace protocols
