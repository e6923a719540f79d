#include "query_failure.hpp"

#include "clients/pg/errors.hpp"
#include "host/cancellation.hpp"
#include "host/http/errors.hpp"
#include "mapsvc/tile_gateway/module.hpp"

namespace mapsvc::tile_gateway {

void answer_query_failure(tile_gateway_module& m, std::exception_ptr failure, const query_failure_texts& texts) {
  try {
    std::rethrow_exception(failure);
  } catch (const clients::pg::timeout_error&) {
    m.count_statement_timeout();
    m.logger->error("{}", texts.timeout_log);
    throw host::http::http_error(408, texts.timeout_answer);
  } catch (const clients::pg::error& e) {
    m.logger->error("{}: {}", texts.error_log, e.what());
    throw host::http::http_error(500, texts.error_answer);
  } catch (const host::http::http_error&) {
    throw;
  } catch (const std::exception& e) {
    if (host::is_cancellation(e)) throw;
    const bool own_words = !texts.unexpected_log.empty();
    m.logger->error("{}: {}", own_words ? texts.unexpected_log : texts.error_log, e.what());
    throw host::http::http_error(500, own_words ? texts.unexpected_answer : texts.error_answer);
  }
}

}  // namespace mapsvc::tile_gateway
