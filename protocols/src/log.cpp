// The logging facade's process-wide state: one installed logger and the maximum level.
#include "protocols/log.hpp"

namespace protocols::log {
namespace {
std::atomic<Logger*> installed{nullptr};
std::atomic<int> maximum{static_cast<int>(Level::Off)};
}  // namespace

Logger* set_logger(Logger* logger) noexcept { return installed.exchange(logger); }

void set_max_level(Level level) noexcept { maximum.store(static_cast<int>(level)); }

Level max_level() noexcept { return static_cast<Level>(maximum.load()); }

bool enabled(Level level) noexcept {
    return level != Level::Off &&
           static_cast<int>(level) <= maximum.load(std::memory_order_relaxed);
}

void dispatch(const Record& record) {
    if (Logger* logger = installed.load()) logger->log(record);
}

}  // namespace protocols::log
