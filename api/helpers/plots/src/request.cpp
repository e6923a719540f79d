// Plan and batch bodies read by nlohmann's SAX parser straight from their text. A stack of
// frames follows the path to each value and decides by where it stands whether it is kept: a
// body is read twice, first for the few top-level members that decide what the records must
// keep (the selection key, the selected value, the sheet's fields), then for the records.

#include "excerpt.hpp"
#include "py_text.hpp"
#include "utf8.hpp"

#include <printsvc/plots/request.hpp>

#include <cstddef>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace printsvc::plots {

namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t max_depth = 64;
// Values kept besides the coordinates of positions: selection keys, labels, a bounding box. A
// plan within every limit keeps under 50000; the bound stops a body that puts its bulk inside a
// kept member (a selection key of a million numbers) from growing a document of it.
constexpr std::size_t max_kept_values = 250'000;
// Members of one kept object found by a scan; more get an index, so that a key given twice
// replaces the first (as a document parser does) without a scan per member.
constexpr std::size_t members_scanned = 16;
constexpr std::size_t max_message_chars = 200;

[[noreturn]] void refuse(const std::string& message) { throw plan_input_error(message); }

std::string not_json(const std::string& why) { return "the request body is not valid JSON: " + why; }

// A pointer into the text that tells how far the parser has read, so that a value's extent in
// the text is known when its closing bracket has been read.
class tracking_iterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  tracking_iterator(const char* at, const char** read) : at_(at), read_(read) {}
  reference operator*() const { return *at_; }
  tracking_iterator& operator++() {
    *read_ = ++at_;
    return *this;
  }
  tracking_iterator operator++(int) {
    tracking_iterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const tracking_iterator& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  const char** read_;
};

// What a value is to the plan, by where it stands in the body.
enum class role : unsigned char {
  skip,        // parsed, never read: not kept
  value,       // kept as it is, counted against max_kept_values
  coordinate,  // one of the first two numbers of a ring's or line's position: kept, not counted
  root,
  parcels,
  parcel,
  geometry,
  rings,
  ring,
  position,
  roads,
  road,
  road_geometry,
  line,
  boundary,
  entry,
  entry_geometry,
  ids,
  plans,
  plan_text,  // a batch's plan: only its extent in the text is kept
};

bool expects_array(role r) {
  switch (r) {
    case role::parcels:
    case role::rings:
    case role::ring:
    case role::line:
    case role::position:
    case role::roads:
    case role::boundary:
    case role::ids:
    case role::plans: return true;
    default: return false;
  }
}

// The role of a container that arrives where `r` stands: a container of the other kind than the
// plan expects is kept as it is, for the plan's reader to refuse with its own message.
role as_container(role r, bool array) {
  if (r == role::skip || r == role::value || r == role::plan_text) return r;
  if (r == role::coordinate) return role::value;
  return array == expects_array(r) ? r : role::value;
}

// Which body is read, and on which pass.
enum class pass { head, records, batch };

constexpr std::string_view deciding_members[] = {"parcel_data", "selected_parcel_number", "ids", "plans"};

struct frame {
  frame(role r, bool is_array, json* built, std::size_t at) : kind(r), array(is_array), target(built), start(at) {}

  role kind;
  bool array;
  json* target;           // the container built here; null when nothing is kept
  std::size_t start;      // offset of the opening bracket in the text
  std::size_t index = 0;  // arrays: elements so far
  std::string key;        // objects: the member being read
  bool in_member = false;
  // Parcel records: kept values when the record opened, and those of its selection key, so
  // that what a record not selected drops is no longer counted.
  std::size_t values_before = 0;
  std::size_t key_mark = 0;
  std::size_t key_values = 0;
  std::size_t boundary_entries = 0;
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> members;
};

class body_handler {
 public:
  // For the records pass, what the head pass found.
  struct selection {
    std::string columnname;
    json selected;
    std::vector<std::string> sheet_fields;
  };

  body_handler(pass p, std::string_view text, const char* const* read, const selection* select = nullptr)
      : pass_(p), text_(text), read_(read), select_(select) {}

  // The kept top-level members.
  json& root() { return root_; }
  // Whether the body has one of the members whose presence decides what it is (kept or not).
  bool seen(std::string_view key) const {
    for (std::size_t i = 0; i < std::size(deciding_members); ++i)
      if (key == deciding_members[i]) return seen_[i];
    return false;
  }
  std::vector<std::string_view>& plans() { return plans_; }
  std::size_t entries_given() const { return entries_; }

  // After a records pass: the selected record's boundary, whose checks wait until then so that
  // they come after those of the rings and lines, as plan_layout makes them.
  void check_selected_boundary() const {
    if (!selected_) return;
    const std::string where = "parcel_data[" + std::to_string(*selected_) + "].boundary";
    if (selected_boundary_ > max_boundary_entries)
      refuse(where + ": at most " + std::to_string(max_boundary_entries) + " entries, got " +
             std::to_string(selected_boundary_));
    if (selected_boundary_ > max_total_positions - positions_)
      refuse(where + ": more than " + std::to_string(max_total_positions) + " positions in all the records");
  }

  bool null() {
    return scalar([] { return json(nullptr); });
  }
  bool boolean(bool v) {
    return scalar([v] { return json(v); });
  }
  bool number_integer(json::number_integer_t v) {
    return scalar([v] { return json(v); });
  }
  bool number_unsigned(json::number_unsigned_t v) {
    return scalar([v] { return json(v); });
  }
  bool number_float(json::number_float_t v, const std::string&) {
    return scalar([v] { return json(v); });
  }
  bool string(std::string& v) {
    return scalar([&v] { return json(std::move(v)); });
  }
  bool binary(json::binary_t&) { return true; }  // JSON text holds none

  bool start_object(std::size_t) { return open(false); }
  bool start_array(std::size_t) { return open(true); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(std::string& k) {
    frame& f = frames_.back();
    f.key = std::move(k);
    f.in_member = true;
    if (frames_.size() == 1)
      for (std::size_t i = 0; i < std::size(deciding_members); ++i) seen_[i] = seen_[i] || f.key == deciding_members[i];
    if (f.kind == role::parcel && select_ && f.key == select_->columnname) f.key_mark = kept_values_;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    const std::string where = current_path();
    const std::string why = detail::escape_unprintable(detail::leading_chars(e.what(), max_message_chars));
    refuse(not_json(where.empty() ? why : where + ": " + why));
  }

 private:
  std::size_t offset() const { return static_cast<std::size_t>(*read_ - text_.data()); }

  // The path of the container at `depth` of the stack: parcel_data[3].geometry.
  std::string path(std::size_t depth) const {
    std::string out;
    for (std::size_t i = 0; i < depth; ++i) {
      const frame& f = frames_[i];
      if (f.array)
        out += "[" + std::to_string(f.index) + "]";
      else
        out += (i == 0 ? "" : ".") + detail::excerpt_text(f.key);
    }
    return out;
  }

  // The value being read: past a member's key, that member; between members, their object.
  std::string current_path() const {
    if (frames_.empty()) return {};
    const frame& f = frames_.back();
    return path(frames_.size() - (f.array || f.in_member ? 0 : 1));
  }

  role root_member(const std::string& key) const {
    switch (pass_) {
      case pass::head:
        return key == "columnname" || key == "selected_parcel_number" || key == "sheet" || key == "sheet_fields"
                   ? role::value
                   : role::skip;
      case pass::records:
        if (key == "parcel_data") return role::parcels;
        if (key == "road_data") return role::roads;
        return key == "bounding_box" ? role::value : role::skip;
      case pass::batch:
        if (key == "ids") return role::ids;
        if (key == "plans") return role::plans;
        return key == "all_or_nothing" || key == "sheet" || key == "sheet_fields" ? role::value : role::skip;
    }
    return role::skip;
  }

  // A parcel record keeps its selection key and ring; while it may be the selected one, also
  // what the plan and the sheet print of it.
  role parcel_member(const std::string& key) const {
    if (key == select_->columnname) return role::value;
    if (key == "geometry") return role::geometry;
    if (selected_) return role::skip;
    if (key == "boundary") return role::boundary;
    if (key == "name" || key == "area" || key == "land_use") return role::value;
    for (const auto& field : select_->sheet_fields)
      if (key == field) return role::value;
    return role::skip;
  }

  static role entry_member(const std::string& key) {
    if (key == "geometry") return role::entry_geometry;
    return key == "beacon_name" || key == "distance_to_next" || key == "bearing_deg_to_next" ||
                   key == "bearing_min_to_next"
               ? role::value
               : role::skip;
  }

  role child_role(const frame& p) const {
    switch (p.kind) {
      case role::skip:
      case role::plan_text: return role::skip;
      case role::value:
      case role::coordinate:
      case role::ids: return role::value;
      case role::root: return root_member(p.key);
      case role::parcels: return role::parcel;
      case role::parcel: return parcel_member(p.key);
      case role::geometry: return p.key == "coordinates" ? role::rings : role::skip;
      case role::rings: return p.index == 0 ? role::ring : role::skip;  // holes are not drawn
      case role::ring:
      case role::line: return role::position;
      case role::position: return p.index < 2 ? role::coordinate : role::skip;  // heights are not drawn
      case role::roads: return role::road;
      case role::road: return p.key == "geometry" ? role::road_geometry : role::skip;
      case role::road_geometry: return p.key == "coordinates" ? role::line : role::skip;
      case role::boundary: return role::entry;
      case role::entry: return entry_member(p.key);
      case role::entry_geometry: return p.key == "coordinates" ? role::value : role::skip;
      case role::plans: return role::plan_text;
    }
    return role::skip;
  }

  // The role of the next value in `p`, holding the counts of limits.hpp: past a limit values are
  // counted but not kept, and the array's end refuses them with the count.
  role admit(const frame& p) {
    std::size_t limit = 0;
    switch (p.kind) {
      case role::parcels: limit = max_parcels; break;
      case role::roads: limit = max_roads; break;
      case role::boundary: limit = max_boundary_entries; break;
      case role::ids:
      case role::plans: limit = max_batch_plans; break;
      case role::ring:
      case role::line:
        if (p.index >= max_line_positions) return role::skip;
        if (++positions_ > max_total_positions)
          refuse(path(frames_.size() - 1) + ": more than " + std::to_string(max_total_positions) +
                 " positions in all the records");
        return role::position;
      default: return child_role(p);
    }
    return p.index < limit ? child_role(p) : role::skip;
  }

  void count_kept(role r) {
    if (r != role::value) return;
    if (++kept_values_ > max_kept_values)
      refuse(current_path() + ": more than " + std::to_string(max_kept_values) +
             " values in the members a plan reads, besides the positions");
  }

  // Puts `v` where the next value of `p` goes and returns it there.
  json& place(frame& p, json&& v) {
    if (p.array) {
      p.target->push_back(std::move(v));
      return p.target->back();
    }
    auto& members = p.target->get_ref<json::object_t&>();
    if (members.size() < members_scanned) return (*p.target)[p.key] = std::move(v);
    if (!p.members) {
      p.members = std::make_unique<std::unordered_map<std::string, std::size_t>>();
      for (std::size_t i = 0; i < members.size(); ++i) p.members->emplace((members.begin() + i)->first, i);
    }
    const auto [at, added] = p.members->try_emplace(p.key, members.size());
    if (!added) return (members.begin() + static_cast<std::ptrdiff_t>(at->second))->second = std::move(v);
    members.emplace_back(p.key, std::move(v));
    return members.back().second;
  }

  // A value has ended in `p`.
  void value_done(frame& p) {
    if (p.array) {
      ++p.index;
      return;
    }
    if (p.kind == role::parcel && p.key == select_->columnname) p.key_values += kept_values_ - p.key_mark;
    p.in_member = false;
  }

  template <typename Make>
  bool scalar(Make make) {
    if (frames_.empty()) refuse("the request body must be a JSON object");
    frame& p = frames_.back();
    const role r = admit(p);
    if (r == role::plan_text) {
      plans_.push_back("null");  // not a body: its page says so
    } else if (r != role::skip) {
      count_kept(r);
      place(p, make());
    }
    value_done(p);
    return true;
  }

  bool open(bool array) {
    if (frames_.size() >= max_depth)
      refuse(not_json("JSON nested deeper than " + std::to_string(max_depth) + " levels"));
    const std::size_t start = offset() - 1;
    if (frames_.empty()) {
      if (array) refuse("the request body must be a JSON object");
      frames_.emplace_back(role::root, false, &root_, start);
      return true;
    }
    frame& p = frames_.back();
    const role r = as_container(admit(p), array);
    json* target = nullptr;
    if (r != role::skip && r != role::plan_text) {
      count_kept(r);
      target = &place(p, array ? json::array() : json::object());
    }
    frames_.emplace_back(r, array, target, start).values_before = kept_values_;
    return true;
  }

  bool close() {
    frame f = std::move(frames_.back());
    frames_.pop_back();
    finish(f);
    if (!frames_.empty()) value_done(frames_.back());
    return true;
  }

  void refuse_count(const frame& f, std::size_t limit, const std::string& what) const {
    if (f.index > limit)
      refuse(path(frames_.size()) + ": at most " + std::to_string(limit) + " " + what + ", got " +
             std::to_string(f.index));
  }

  // Checks at the end of a container, which is no longer on the stack (its path is that of the
  // value being read in its parent).
  void finish(frame& f) {
    switch (f.kind) {
      case role::parcels: refuse_count(f, max_parcels, "records"); break;
      case role::roads: refuse_count(f, max_roads, "roads"); break;
      case role::ring: refuse_count(f, max_line_positions, "positions in a ring"); break;
      case role::line: refuse_count(f, max_line_positions, "positions in a line"); break;
      case role::boundary: frames_.back().boundary_entries = f.index; break;
      case role::parcel: select_or_drop(f); break;
      case role::ids:
      case role::plans: entries_ = f.index; break;
      case role::plan_text: plans_.push_back(text_.substr(f.start, offset() - f.start)); break;
      default: break;
    }
  }

  // The first record whose key equals the selected value is the plan's (as plan_layout picks
  // it); every other one keeps only its key and ring.
  void select_or_drop(frame& f) {
    json& record = *f.target;
    const auto key = record.find(select_->columnname);
    if (!selected_ && key != record.end() && detail::python_equal(*key, select_->selected)) {
      selected_ = frames_.back().index;
      selected_boundary_ = f.boundary_entries;
      return;
    }
    auto& members = record.get_ref<json::object_t&>();
    for (auto it = members.begin(); it != members.end();) {
      if (it->first == select_->columnname || it->first == "geometry")
        ++it;
      else
        it = members.erase(it);
    }
    kept_values_ = f.values_before + f.key_values;
  }

  pass pass_;
  std::string_view text_;
  const char* const* read_;
  const selection* select_;
  std::vector<frame> frames_;
  json root_ = json::object();
  bool seen_[std::size(deciding_members)] = {};
  std::vector<std::string_view> plans_;
  std::size_t entries_ = 0;
  std::size_t positions_ = 0;
  std::size_t kept_values_ = 0;
  std::optional<std::size_t> selected_;
  std::size_t selected_boundary_ = 0;
};

void parse(std::string_view text, body_handler& handler, const char** read) {
  *read = text.data();
  tracking_iterator first(text.data(), read), last(text.data() + text.size(), read);
  json::sax_parse(first, last, &handler, nlohmann::detail::input_format_t::json, /*strict=*/true);
}

// "sheet" and "sheet_fields" of a body, as its top-level members hold them.
std::optional<sheet_options> read_sheet_members(json& members) {
  std::vector<std::string> fields;
  if (const auto it = members.find("sheet_fields"); it != members.end() && !it->is_null()) {
    const json& list = *it;
    if (!list.is_array()) refuse("\"sheet_fields\" must be an array of record keys");
    if (list.size() > max_sheet_fields)
      refuse("\"sheet_fields\": at most " + std::to_string(max_sheet_fields) + " fields, got " +
             std::to_string(list.size()));
    for (const auto& key : list) {
      if (!key.is_string()) refuse("\"sheet_fields\" must be an array of record keys");
      fields.push_back(key.get<std::string>());
    }
  }
  const auto sheet = members.find("sheet");
  if (sheet == members.end() || sheet->is_null()) return std::nullopt;
  if (!sheet->is_string()) refuse("\"sheet\" must be full or figure");
  const std::string& wanted = sheet->get_ref<const std::string&>();
  if (wanted.empty() || wanted == "figure") return std::nullopt;
  if (wanted != "full") refuse("\"sheet\" must be full or figure");
  return sheet_options{std::move(fields), {}};
}

}  // namespace

plan_request read_plan_request(std::string_view body, const std::vector<std::string>& more_sheet_fields) {
  const char* read = nullptr;
  body_handler head(pass::head, body, &read);
  parse(body, head, &read);
  for (const char* key : {"parcel_data", "selected_parcel_number"})
    if (!head.seen(key)) refuse(std::string("missing \"") + key + "\"");

  plan_request request;
  json& members = head.root();
  body_handler::selection select;
  if (const auto it = members.find("columnname"); it != members.end() && !it->is_null()) {
    if (!it->is_string()) refuse("\"columnname\" must be text");
    request.columnname = it->get<std::string>();
  }
  request.sheet = read_sheet_members(members);
  select.columnname = request.columnname;
  select.selected = std::move(members["selected_parcel_number"]);
  if (request.sheet) select.sheet_fields = request.sheet->fields;
  select.sheet_fields.insert(select.sheet_fields.end(), more_sheet_fields.begin(), more_sheet_fields.end());

  body_handler records(pass::records, body, &read, &select);
  parse(body, records, &read);
  records.check_selected_boundary();
  json& kept = records.root();
  request.parcel_data = std::move(kept["parcel_data"]);
  if (const auto it = kept.find("road_data"); it != kept.end()) request.road_data = std::move(*it);
  if (const auto it = kept.find("bounding_box"); it != kept.end()) request.bounding_box = std::move(*it);
  request.selected_parcel_number = std::move(select.selected);
  return request;
}

batch_request read_batch_request(std::string_view body) {
  const char* read = nullptr;
  body_handler handler(pass::batch, body, &read);
  parse(body, handler, &read);
  json& members = handler.root();
  batch_request batch;
  const bool ids = handler.seen("ids"), plans = handler.seen("plans");
  if (ids == plans) refuse("give either \"ids\" or \"plans\"");
  batch.by_id = ids;
  const char* key = ids ? "\"ids\"" : "\"plans\"";
  if (handler.entries_given() == 0) refuse(std::string(key) + " must be a non-empty array");
  if (handler.entries_given() > max_batch_plans)
    refuse(std::string(key) + ": at most " + std::to_string(max_batch_plans) + " plans in a batch, got " +
           std::to_string(handler.entries_given()));
  if (ids)
    for (auto& id : members["ids"]) batch.ids.push_back(std::move(id));
  else
    batch.plans = std::move(handler.plans());
  if (const auto it = members.find("all_or_nothing"); it != members.end()) {
    if (!it->is_boolean()) refuse("\"all_or_nothing\" must be true or false");
    batch.all_or_nothing = it->get<bool>();
  }
  batch.sheet = read_sheet_members(members);
  return batch;
}

}  // namespace printsvc::plots
