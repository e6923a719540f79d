#pragma once

#include <libpq-fe.h>

#include <memory>

namespace clients::pg::detail {

struct result_data {
  struct clear {
    void operator()(PGresult* r) const noexcept { PQclear(r); }
  };
  std::unique_ptr<PGresult, clear> res;
};

}  // namespace clients::pg::detail
