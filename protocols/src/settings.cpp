// Default construction of the settings record and the environment lookup it makes.
#include "protocols/settings.hpp"

#include <cstdlib>

#ifdef _WIN32
#include <string>

#include "protocols/win32.hpp"
#endif

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
    // Read from the process environment block, where SetEnvironmentVariableW and Python's
    // os.environ put values, not from a C runtime's own copy, which another runtime in the
    // process (or a value set after start-up) can leave stale. The block holds UTF-16: a value
    // counts only if it has no unpaired surrogate.
    std::wstring value(64, L'\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD length = ::GetEnvironmentVariableW(L"QELM_TARGET_MACHINE", value.data(),
                                                       static_cast<DWORD>(value.size()));
        if (length == 0) {
            // 0 is also the length of a present, empty value.
            return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        }
        if (length < value.size()) {
            value.resize(length);
            break;
        }
        value.resize(length);  // too small: `length` counts the terminating NUL
    }
    // wchar_t is UTF-16 on Windows.
    return utf8::is_valid_utf16(std::u16string_view(reinterpret_cast<const char16_t*>(value.data()),
                                                    value.size()));
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
