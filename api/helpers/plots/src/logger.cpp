#include "logger.hpp"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace printsvc::plots::detail {

namespace {
constexpr const char* logger_name = "printsvc.plots";
}

std::shared_ptr<spdlog::logger> logger() {
  if (auto existing = spdlog::get(logger_name)) return existing;
  try {
    auto created = spdlog::stderr_color_mt(logger_name);
    created->set_level(spdlog::level::info);
    return created;
  } catch (const spdlog::spdlog_ex&) {
    // Another thread registered it between our lookup and the creation.
    return spdlog::get(logger_name);
  }
}

}  // namespace printsvc::plots::detail
