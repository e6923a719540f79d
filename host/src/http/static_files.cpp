#include "host/http/static_files.hpp"

#include <fstream>
#include <iterator>
#include <system_error>

#include "host/http/errors.hpp"

namespace host::http {
namespace fs = std::filesystem;

std::optional<fs::path> resolve_static(const fs::path& root, std::string_view relative) {
  if (relative.empty() || relative.find('\0') != std::string_view::npos) return std::nullopt;
  const fs::path rel(relative);
  if (rel.is_absolute()) return std::nullopt;
  for (const auto& part : rel)
    if (part == "..") return std::nullopt;
  std::error_code ec;
  const fs::path base = fs::canonical(root, ec);
  if (ec) return std::nullopt;
  const fs::path file = fs::canonical(base / rel, ec);
  if (ec || !fs::is_regular_file(file, ec)) return std::nullopt;
  // Symbolic links must not lead out of the folder either.
  const auto [root_end, unused] = std::mismatch(base.begin(), base.end(), file.begin(), file.end());
  if (root_end != base.end()) return std::nullopt;
  return file;
}

std::string_view media_type_for(const fs::path& file) {
  const auto ext = file.extension().string();
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".json" || ext == ".map") return "application/json";
  if (ext == ".png") return "image/png";
  if (ext == ".svg") return "image/svg+xml";
  if (ext == ".ico") return "image/x-icon";
  if (ext == ".woff2") return "font/woff2";
  return "application/octet-stream";
}

namespace {

response serve_file(const fs::path& root, std::string_view relative) {
  const auto file = resolve_static(root, relative);
  if (!file) throw http_error(404, "Not Found");
  std::ifstream in(*file, std::ios::binary);
  if (!in) throw http_error(404, "Not Found");
  std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto r = raw_response(std::move(body), std::string(media_type_for(*file)));
  r.header("Cache-Control", "no-cache");
  return r;
}

handler file_handler(fs::path root, std::string relative) {
  return [root = std::move(root), relative = std::move(relative)](request_context&) -> boost::asio::awaitable<response> {
    co_return serve_file(root, relative);
  };
}

}  // namespace

router static_files_router(fs::path root) {
  router r;
  r.add({.path = "/", .name = "preview_page", .description = "Map preview page.", .media_type = "text/html",
         .include_in_schema = false},
        file_handler(root, "index.html"));
  r.add({.path = "/docs", .name = "api_docs", .description = "Interactive API documentation.",
         .media_type = "text/html", .include_in_schema = false},
        file_handler(root, "docs.html"));
  r.add({.path = "/web/{path:path}",
         .name = "web_file",
         .description = "Files of the preview page.",
         .params = {path_param("path", param_type::path)},
         .media_type = "application/octet-stream",
         .include_in_schema = false},
        [root](request_context& ctx) -> boost::asio::awaitable<response> {
          co_return serve_file(root, ctx.params.string("path"));
        });
  return r;
}

}  // namespace host::http
