// Setting and clearing QELM_TARGET_MACHINE from the suites. On Windows the variable goes into the
// process environment block, which is where the library reads it.
#pragma once

#ifdef _WIN32
#include "protocols/win32.hpp"
#else
#include <cstdlib>
#endif

#include <string>

#include "protocols/settings.hpp"

namespace protocols::test_env {

#ifdef _WIN32
// `value` as UTF-16 units, any of them (lone surrogates included); nullptr removes the variable.
inline void set_target_machine_utf16(const wchar_t* value) {
    ::SetEnvironmentVariableW(L"QELM_TARGET_MACHINE", value);
}
inline void set_target_machine(const char* ascii) {
    const std::string text(ascii);
    set_target_machine_utf16(std::wstring(text.begin(), text.end()).c_str());
}
inline void clear_target_machine() { set_target_machine_utf16(nullptr); }
#else
inline void set_target_machine(const char* bytes) { ::setenv(TARGET_MACHINE_VARIABLE, bytes, 1); }
inline void clear_target_machine() { ::unsetenv(TARGET_MACHINE_VARIABLE); }
#endif

}  // namespace protocols::test_env
