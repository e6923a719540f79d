#pragma once
// One answer for a query that failed, whichever endpoint ran it: a statement that outlived its
// time-out is counted, logged and answered 408; a cancelled request and an answer already made
// pass unchanged; anything else is logged with its error and answered 500. Only the words differ
// between endpoints, and they are built only when a query fails.

#include <exception>
#include <string>
#include <utility>

#include <boost/asio/awaitable.hpp>

#include "host/database/session.hpp"
#include "mapsvc/tile_gateway/db_transaction.hpp"

namespace mapsvc::tile_gateway {

class tile_gateway_module;

struct query_failure_texts {
  std::string timeout_log;     // logged as it stands
  std::string timeout_answer;  // the 408's detail
  std::string error_log;       // logged followed by ": " and the error
  std::string error_answer;    // the 500's detail
  // Errors that did not come from the database (a fault of ours, memory). When empty they are
  // logged and answered with error_log / error_answer.
  std::string unexpected_log = {};
  std::string unexpected_answer = {};
};

// Throws the answer `failure` calls for (see above); never returns.
[[noreturn]] void answer_query_failure(tile_gateway_module& m, std::exception_ptr failure,
                                       const query_failure_texts& texts);

// Runs `block(db)` in one transaction (db_transaction) and answers its failure with the texts
// `describe()` gives.
template <class Block, class Describe>
auto query_or_answer_failure(tile_gateway_module& m, host::database::session& db, Block block, Describe describe)
    -> decltype(db_transaction(db, std::move(block))) {
  std::exception_ptr failure;
  try {
    co_return co_await db_transaction(db, std::move(block));
  } catch (...) {
    failure = std::current_exception();
  }
  answer_query_failure(m, failure, describe());
}

}  // namespace mapsvc::tile_gateway
