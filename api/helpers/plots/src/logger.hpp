#pragma once

#include <spdlog/logger.h>

#include <memory>

namespace printsvc::plots::detail {

/// The module's logger "printsvc.plots" from spdlog's registry; created at info level when the
/// host has not registered one under that name.
std::shared_ptr<spdlog::logger> logger();

}  // namespace printsvc::plots::detail
