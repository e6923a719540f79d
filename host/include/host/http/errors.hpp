#pragma once

#include <stdexcept>
#include <string>

namespace host::http {

// Thrown by handlers to answer with a status and {"detail": "..."}.
class http_error : public std::runtime_error {
 public:
  http_error(unsigned status, std::string detail)
      : std::runtime_error(detail), status_(status), detail_(std::move(detail)) {}

  unsigned status() const noexcept { return status_; }
  const std::string& detail() const noexcept { return detail_; }

 private:
  unsigned status_;
  std::string detail_;
};

}  // namespace host::http
