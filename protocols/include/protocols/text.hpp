// The text form of the records: the multi-line, indented representation that str() of a
// Python Protocol returns.
#pragma once

#include <string>
#include <string_view>

#include "protocols/settings.hpp"

namespace protocols {

// Each renders the value at indentation level 0 (the first line carries no indentation).
std::string to_text(const Protocol& value);
std::string to_text(const Settings& value);
std::string to_text(const MachineConfig& value);
std::string to_text(const Coil& value);
std::string to_text(const LCSetting& value);
std::string to_text(const ChannelSettings& value);
std::string to_text(const SignalSourceSelection& value);
std::string to_text(const Signal& value);
std::string to_text(ErrorCode value);

// A 64-bit float: the shortest digits that read back as the same value, positional from
// 0.0001 up to (not including) 1e16 and for zero, scientific otherwise; "NaN", "inf", "-inf".
std::string format_float(double value);
void append_float(std::string& out, double value);

// A text field: double quotes around the UTF-8 text, with the escapes of the text form.
void append_quoted(std::string& out, std::string_view utf8);

}  // namespace protocols
