// A process-wide logging facade. The library only emits records; the embedding program decides
// whether anyone receives them by installing a logger and raising the maximum level, which
// starts at Off. A record above the maximum level is dropped before its message is formatted.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace protocols::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

struct Record {
    Level level;
    std::string_view target;  // library and module path, e.g. "protocols::lcsettings"
    std::string message;
    std::string_view file;
    unsigned line;
};

class Logger {
public:
    virtual ~Logger() = default;
    virtual void log(const Record& record) = 0;
};

// Installs `logger` (not owned; nullptr removes it). Returns the previous one.
Logger* set_logger(Logger* logger) noexcept;
void set_max_level(Level level) noexcept;
Level max_level() noexcept;

// True when a record of `level` would reach an installed logger.
bool enabled(Level level) noexcept;

// Hands a finished record to the installed logger, if any.
void dispatch(const Record& record);

}  // namespace protocols::log

// Formats the message only when the level is admitted.
#define PROTOCOLS_LOG(level, target, ...)                                                      \
    do {                                                                                       \
        if (::protocols::log::enabled(level)) {                                                \
            ::protocols::log::dispatch(::protocols::log::Record{                               \
                (level), (target), (__VA_ARGS__), __FILE__, static_cast<unsigned>(__LINE__)}); \
        }                                                                                      \
    } while (false)
