// Default construction of the settings record and the environment lookup it makes.
#include "protocols/settings.hpp"

#include <cstdlib>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#endif

namespace protocols {

std::string_view error_code_name(ErrorCode code) noexcept {
    static constexpr std::string_view names[] = {
        "OverCoilCurrent", "OverSupplyPower", "OverTemperature", "Underflow",
        "SPIError",        "GPIOError",       "I2cError",        "TCPError",
        "ConfigError",     "ProtocolError",   "Unintialized",
    };
    return names[static_cast<std::size_t>(code)];
}

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) lo = 0xA0;  // no overlongs
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) lo = 0x90;  // no overlongs
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (end - p <= extra) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (int i = 2; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += extra + 1;
    }
    return true;
}

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
    for (std::size_t i = 0; i < value.size(); ++i) {
        const unsigned unit = value[i];
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            const unsigned next = i + 1 < value.size() ? unsigned{value[i + 1]} : 0u;
            if (next < 0xDC00 || next > 0xDFFF) return false;
            ++i;
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
