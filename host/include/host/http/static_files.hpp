#pragma once
// The map preview page and API documentation page, served from a folder of the repository.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "host/http/router.hpp"

namespace host::http {

// GET / -> index.html, GET /docs -> docs.html, GET /web/{path} -> any file under `root`.
router static_files_router(std::filesystem::path root);

// The file under `root` that `relative` names, or none when it escapes `root` or is missing.
std::optional<std::filesystem::path> resolve_static(const std::filesystem::path& root, std::string_view relative);
std::string_view media_type_for(const std::filesystem::path& file);

}  // namespace host::http
