#pragma once

#include <host/database/pool.hpp>
#include <host/database/session.hpp>

namespace host::database {

// The per-request session provider. Does no I/O: the session connects on first use.
inline session get_db(pool& p) { return session(p); }

}  // namespace host::database
