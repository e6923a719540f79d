#pragma once
// Translation of SQL with named parameters (`:name`) into the server's positional form
// (`$1`, `$2`, ...). Pure text processing, no I/O.

#include <clients/pg/value.hpp>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace clients::pg {

struct translated_sql {
  std::string text;                // the statement with $n placeholders
  std::vector<std::string> names;  // names[n - 1] is the parameter behind $n
};

// Replaces each `:name` (a letter or '_' followed by letters, digits or '_') by `$n`; the same
// name always maps to the same n. Left alone: `::type` casts, `:=`, a ':' right after a word
// character (array slices like a[lo:hi]), string literals ('...', E'...', $tag$...$tag$),
// quoted identifiers, and -- and /* */ comments. `\:` stands for a literal ':'.
translated_sql translate_named_params(std::string_view sql);

// Values in $n order for `sql`. Throws statement_error naming the first parameter that the
// statement uses but `p` does not give. Parameters the statement does not use are ignored.
std::vector<std::optional<std::string>> bind_params(const translated_sql& sql, const params& p);

// Remembers translations by SQL text: services run the same few statements over and over.
// Safe to share between connections (and threads). Bounded: when full it starts afresh.
class named_param_cache {
 public:
  explicit named_param_cache(std::size_t capacity = 1024) : capacity_(capacity) {}
  std::shared_ptr<const translated_sql> get(std::string_view sql);
  std::size_t size() const;

 private:
  struct hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  std::size_t capacity_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const translated_sql>, hash, std::equal_to<>> entries_;
};

}  // namespace clients::pg
