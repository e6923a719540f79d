#include "host/helpers/logging.hpp"

#include <atomic>
#include <mutex>

#include <spdlog/sinks/stdout_sinks.h>

namespace host::helpers {
namespace {

constexpr const char* line_pattern = "%Y-%m-%d %H:%M:%S.%e %-7l %n: %v";
constexpr const char* line_pattern_with_pid = "%Y-%m-%d %H:%M:%S.%e %-7l [%P] %n: %v";

struct logging_state {
  std::mutex mutex;
  spdlog::sink_ptr sink;
  const char* pattern = line_pattern;
  spdlog::level::level_enum level = spdlog::level::info;
  bool configured = false;
};

logging_state& state() {
  static logging_state s;
  return s;
}

}  // namespace

std::shared_ptr<spdlog::logger> get_logger(const std::string& name) {
  if (auto existing = spdlog::get(name)) return existing;
  auto& s = state();
  std::lock_guard lock(s.mutex);
  if (auto existing = spdlog::get(name)) return existing;
  if (!s.sink) {
    s.sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
    s.sink->set_pattern(s.pattern);
  }
  auto logger = std::make_shared<spdlog::logger>(name, s.sink);
  logger->set_level(s.level);
  spdlog::register_logger(logger);
  return logger;
}

void configure_logging(spdlog::level::level_enum level) {
  auto& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (s.configured) return;
  }
  set_log_level(level);
}

void show_process_ids() {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.pattern = line_pattern_with_pid;
  if (s.sink) s.sink->set_pattern(s.pattern);
}

void set_log_level(spdlog::level::level_enum level) {
  auto& s = state();
  std::lock_guard lock(s.mutex);
  s.configured = true;
  s.level = level;
  spdlog::set_level(level);  // every registered logger
}

void reopen_log() {
  // Standard error belongs to whoever started us (a terminal, journald, a file the shell opened
  // for appending, which copytruncate rotation handles): nothing here to reopen.
  get_logger("mapsvc")->info("Asked to reopen the log: it goes to standard error, nothing to reopen");
}

}  // namespace host::helpers
