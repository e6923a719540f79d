// SQL with named parameters, as any statement text a caller could pass. Besides crashes, a
// finding is a translation that
// - yields a name that is not one (empty, starting with a digit, holding '$') or yields one twice;
// - changes text it should only copy: a statement without ':' comes back byte for byte, and
//   one without a name or a backslash does too;
// - disagrees with itself through the translation cache, or binds a value count other than
//   the name count.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include <clients/pg/errors.hpp>
#include <clients/pg/named_params.hpp>

namespace {
namespace pg = clients::pg;

[[noreturn]] void finding(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "finding: %s: %.*s\n", what, static_cast<int>(std::min<std::size_t>(detail.size(), 400)),
               detail.data());
  std::abort();
}

bool is_letter(unsigned char c) { return c == '_' || c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_name(std::string_view name) {
  if (name.empty() || !is_letter(static_cast<unsigned char>(name.front()))) return false;
  for (const char c : name)
    if (!is_letter(static_cast<unsigned char>(c)) && !(c >= '0' && c <= '9')) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view sql(reinterpret_cast<const char*>(data), size);
  const pg::translated_sql out = pg::translate_named_params(sql);

  std::set<std::string_view> seen;
  for (const auto& name : out.names) {
    if (!is_name(name)) finding("not a parameter name", name);
    if (!seen.insert(name).second) finding("a name listed twice", name);
  }
  const bool has_colon = sql.find(':') != std::string_view::npos;
  const bool has_backslash = sql.find('\\') != std::string_view::npos;
  if ((!has_colon || (out.names.empty() && !has_backslash)) && out.text != sql) finding("text changed", out.text);
  if (out.names.empty() && out.text.size() > sql.size()) finding("text grew without a name", out.text);

  // A cache of two entries starts afresh often, so its refilling runs too.
  static pg::named_param_cache cache(2);
  const auto cached = cache.get(sql);
  if (cached->text != out.text || cached->names != out.names) finding("the cache disagrees", cached->text);

  pg::params values;
  for (std::size_t i = 0; i < out.names.size(); ++i) values.emplace_back(out.names[i], std::int64_t(i));
  if (pg::bind_params(out, values).size() != out.names.size()) finding("bound value count");
  if (!out.names.empty()) {
    values.pop_back();
    try {
      pg::bind_params(out, values);
      finding("a missing value was not noticed", out.names.back());
    } catch (const pg::statement_error&) {
    }
  }
  return 0;
}
