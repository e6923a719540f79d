#include "wire.hpp"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "clients/redis/errors.hpp"

namespace clients::redis::detail {

wire_command format_command(std::span<const std::string_view> args) {
  if (args.empty()) throw std::invalid_argument("a Redis command needs at least one argument");
  std::size_t size = 16;
  for (const auto& a : args) size += a.size() + 24;
  wire_command out;
  out.reserve(size);
  out.append("*").append(std::to_string(args.size())).append("\r\n");
  for (const auto& a : args) out.append("$").append(std::to_string(a.size())).append("\r\n").append(a).append("\r\n");
  return out;
}

namespace {

// hiredis builds the reply tree through these callbacks, so each payload is copied once, from
// the read buffer into our string. A child is stored in its parent's pre-sized element vector
// and its address handed back; only the root is heap-allocated (and freed by freeObject).
// They are called from C: nothing may be thrown through them, a null return means "no memory".

reply* place(const redisReadTask* task, reply&& value) {
  try {
    if (task->parent != nullptr) {
      auto* parent = static_cast<reply*>(task->parent->obj);
      // Elements arrive in order; growing the array as they do keeps a dozen bytes announcing a
      // huge array from reserving gigabytes. hiredis holds no pointer to a finished sibling.
      const auto index = static_cast<std::size_t>(task->idx);
      if (parent->elements.size() <= index) parent->elements.resize(index + 1);
      auto& slot = parent->elements[index];
      slot = std::move(value);
      return &slot;
    }
    return new reply(std::move(value));
  } catch (...) {
    return nullptr;
  }
}

reply_type type_of(int hiredis_type) {
  switch (hiredis_type) {
    case REDIS_REPLY_STATUS: return reply_type::status;
    case REDIS_REPLY_ERROR: return reply_type::error;
    default: return reply_type::string;
  }
}

void* create_string(const redisReadTask* task, char* str, std::size_t len) {
  try {
    reply r;
    r.type = type_of(task->type);
    r.str.assign(str, len);
    return place(task, std::move(r));
  } catch (...) {
    return nullptr;
  }
}

void* create_array(const redisReadTask* task, int elements) {
  try {
    reply r;
    r.type = reply_type::array;
    r.elements.reserve(std::min<std::size_t>(static_cast<std::size_t>(elements), 1024));
    return place(task, std::move(r));
  } catch (...) {
    return nullptr;
  }
}

void* create_integer(const redisReadTask* task, long long value) {
  reply r;
  r.type = reply_type::integer;
  r.integer = value;
  return place(task, std::move(r));
}

void* create_nil(const redisReadTask* task) { return place(task, reply{}); }

void free_object(void* root) { delete static_cast<reply*>(root); }

const redisReplyObjectFunctions reply_functions{create_string, create_array, create_integer, create_nil,
                                                free_object};

}  // namespace

reply_parser::reply_parser()
    // hiredis takes a non-const pointer but never writes through it.
    : reader_(redisReaderCreateWithFunctions(const_cast<redisReplyObjectFunctions*>(&reply_functions))) {
  if (reader_ == nullptr) throw std::bad_alloc();
}

reply_parser::~reply_parser() { redisReaderFree(reader_); }

void reply_parser::feed(const char* data, std::size_t size) {
  if (redisReaderFeed(reader_, data, size) != REDIS_OK)
    throw connection_error(std::string("Redis protocol error: ") + reader_->errstr);
}

std::optional<reply> reply_parser::next() {
  void* out = nullptr;
  if (redisReaderGetReply(reader_, &out) != REDIS_OK)
    throw connection_error(std::string("Redis protocol error: ") + reader_->errstr);
  if (out == nullptr) return std::nullopt;
  std::unique_ptr<reply> root(static_cast<reply*>(out));
  return std::move(*root);
}

}  // namespace clients::redis::detail
