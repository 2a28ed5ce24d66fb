#pragma once

#include "../connection_pool.h"
#include "pg_connection.h"

namespace tarvo::detail::postgres {

// Connections of one repository link: a libpq connection serves one thread at a time, and separate
// connections let reads go on while another connection uploads a version. An idle connection that
// no longer answers (after a server restart) is replaced by a new one.
class ConnectionPool : public detail::ConnectionPool<Connection> {
public:
    explicit ConnectionPool(ConnectionSettings settings);
};

}  // namespace tarvo::detail::postgres
