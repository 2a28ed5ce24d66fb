#include "pg_connection_pool.h"

#include <memory>
#include <utility>

namespace tarvo::detail::postgres {

ConnectionPool::ConnectionPool(ConnectionSettings settings)
    : detail::ConnectionPool<Connection>(
          [settings = std::move(settings)] { return std::make_unique<Connection>(settings); },
          [](Connection& connection) { return connection.IsAlive(); }) {}

}  // namespace tarvo::detail::postgres
