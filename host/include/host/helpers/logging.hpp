#pragma once
// Named loggers on one shared sink: one line per record with time, level, logger name, message.

#include <memory>
#include <string>

#include <spdlog/spdlog.h>

namespace host::helpers {

// The logger called `name`, created on first use at the process-wide level.
std::shared_ptr<spdlog::logger> get_logger(const std::string& name = "mapsvc");

// Sets the process-wide level once: later calls do nothing, like a basic logging
// configuration that only takes effect where nothing configured logging before.
void configure_logging(spdlog::level::level_enum level);

// Adds the process id to every line, for processes that log to one stream side by side
// (worker processes).
void show_process_ids();

// Sets the level unconditionally (the operator's choice, e.g. from MAPSVC_LOG_LEVEL).
void set_log_level(spdlog::level::level_enum level);

// Reopens the log's file, after log rotation moved it (SIGHUP). The log goes to standard
// error, which the process cannot reopen: this only says so.
void reopen_log();

}  // namespace host::helpers
