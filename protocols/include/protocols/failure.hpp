// The one exception type for a refused operation: it carries the exact message the caller
// sees and where the refusal was made. The Python layer turns it into PanicException at a
// single boundary.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace protocols {

class Failure : public std::exception {
public:
    explicit Failure(std::string message,
                     std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// A violated precondition: "assertion failed: " followed by the condition as written.
#define PROTOCOLS_ENSURE(condition, text)                                        \
    do {                                                                         \
        if (!(condition)) throw ::protocols::Failure("assertion failed: " text); \
    } while (false)

// A failed internal operation, described by `description`.
inline Failure unwrap_failure(const std::string& description,
                              std::source_location where = std::source_location::current()) {
    return Failure("called `Result::unwrap()` on an `Err` value: " + description, where);
}

}  // namespace protocols
