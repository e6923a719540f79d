#include <clients/pg/named_params.hpp>

#include <clients/pg/errors.hpp>

#include <algorithm>

namespace clients::pg {
namespace {

bool is_ident_start(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u >= 0x80;
}
bool is_ident_char(char c) { return is_ident_start(c) || (c >= '0' && c <= '9') || c == '$'; }

class translator {
 public:
  explicit translator(std::string_view sql) : sql_(sql) { out_.text.reserve(sql.size() + 8); }

  translated_sql run() {
    while (i_ < sql_.size()) {
      const char c = sql_[i_];
      const char next = i_ + 1 < sql_.size() ? sql_[i_ + 1] : '\0';
      if (c == '\'') {
        copy_quoted('\'', is_escape_string_prefix());
      } else if (c == '"') {
        copy_quoted('"', false);
      } else if (c == '-' && next == '-') {
        copy_line_comment();
      } else if (c == '/' && next == '*') {
        copy_block_comment();
      } else if (c == '$' && try_copy_dollar_quoted()) {
      } else if (c == '\\' && next == ':') {
        out_.text += ':';
        i_ += 2;
      } else if (c == ':' && (next == ':' || next == '=')) {
        out_.text.append(sql_.substr(i_, 2));
        i_ += 2;
      } else if (c == ':' && is_ident_start(next) && !follows_word()) {
        replace_name();
      } else {
        out_.text += c;
        ++i_;
      }
    }
    return std::move(out_);
  }

 private:
  bool follows_word() const { return i_ > 0 && is_ident_char(sql_[i_ - 1]); }

  // E'...' (or e'...'): backslash escapes apply inside.
  bool is_escape_string_prefix() const {
    if (i_ == 0 || (sql_[i_ - 1] != 'E' && sql_[i_ - 1] != 'e')) return false;
    return i_ < 2 || !is_ident_char(sql_[i_ - 2]);
  }

  // Copies a '...' literal or "..." identifier; a doubled quote stays inside.
  void copy_quoted(char quote, bool backslash_escapes) {
    const std::size_t start = i_++;
    while (i_ < sql_.size()) {
      const char c = sql_[i_];
      if (backslash_escapes && c == '\\') {
        i_ += 2;
        continue;
      }
      ++i_;
      if (c == quote) {
        if (i_ < sql_.size() && sql_[i_] == quote) {
          ++i_;
          continue;
        }
        break;
      }
    }
    i_ = std::min(i_, sql_.size());
    out_.text.append(sql_.substr(start, i_ - start));
  }

  void copy_line_comment() {
    const std::size_t end = sql_.find('\n', i_);
    const std::size_t stop = end == std::string_view::npos ? sql_.size() : end;
    out_.text.append(sql_.substr(i_, stop - i_));
    i_ = stop;
  }

  // Block comments nest in PostgreSQL.
  void copy_block_comment() {
    const std::size_t start = i_;
    int depth = 0;
    while (i_ < sql_.size()) {
      if (sql_.compare(i_, 2, "/*") == 0) {
        ++depth;
        i_ += 2;
      } else if (sql_.compare(i_, 2, "*/") == 0) {
        i_ += 2;
        if (--depth == 0) break;
      } else {
        ++i_;
      }
    }
    i_ = std::min(i_, sql_.size());
    out_.text.append(sql_.substr(start, i_ - start));
  }

  // $tag$ ... $tag$ with an empty or identifier tag; `$1` and `a$b` are not quotes.
  bool try_copy_dollar_quoted() {
    if (i_ > 0 && is_ident_char(sql_[i_ - 1])) return false;
    std::size_t j = i_ + 1;
    if (j < sql_.size() && sql_[j] != '$') {
      if (!is_ident_start(sql_[j])) return false;
      while (j < sql_.size() && is_ident_char(sql_[j]) && sql_[j] != '$') ++j;
    }
    if (j >= sql_.size() || sql_[j] != '$') return false;
    const std::string_view tag = sql_.substr(i_, j + 1 - i_);
    const std::size_t close = sql_.find(tag, j + 1);
    const std::size_t stop = close == std::string_view::npos ? sql_.size() : close + tag.size();
    out_.text.append(sql_.substr(i_, stop - i_));
    i_ = stop;
    return true;
  }

  void replace_name() {
    std::size_t j = i_ + 1;
    while (j < sql_.size() && is_ident_char(sql_[j]) && sql_[j] != '$') ++j;
    const std::string_view name = sql_.substr(i_ + 1, j - i_ - 1);
    auto& names = out_.names;
    auto it = std::find(names.begin(), names.end(), name);
    if (it == names.end()) it = names.insert(names.end(), std::string(name));
    out_.text += '$';
    out_.text += std::to_string(it - names.begin() + 1);
    i_ = j;
  }

  std::string_view sql_;
  std::size_t i_ = 0;
  translated_sql out_;
};

}  // namespace

translated_sql translate_named_params(std::string_view sql) { return translator(sql).run(); }

std::vector<std::optional<std::string>> bind_params(const translated_sql& sql, const params& p) {
  std::vector<std::optional<std::string>> values;
  values.reserve(sql.names.size());
  for (const auto& name : sql.names) {
    auto it = std::find_if(p.begin(), p.end(), [&](const auto& kv) { return kv.first == name; });
    if (it == p.end()) throw statement_error("A value is required for bind parameter '" + name + "'");
    auto text = to_param_text(it->second);
    // Text parameters end at the first NUL: refuse rather than send a truncated value.
    if (text && text->find('\0') != std::string::npos)
      throw statement_error("bind parameter '" + name + "' contains a NUL byte");
    values.push_back(std::move(text));
  }
  if (values.size() > 65535) throw statement_error("too many bind parameters (at most 65535)");
  return values;
}

std::shared_ptr<const translated_sql> named_param_cache::get(std::string_view sql) {
  {
    std::lock_guard lock(mutex_);
    if (auto it = entries_.find(sql); it != entries_.end()) return it->second;
  }
  auto entry = std::make_shared<const translated_sql>(translate_named_params(sql));
  std::lock_guard lock(mutex_);
  if (entries_.size() >= capacity_) entries_.clear();
  entries_.emplace(std::string(sql), entry);
  return entry;
}

std::size_t named_param_cache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace clients::pg
