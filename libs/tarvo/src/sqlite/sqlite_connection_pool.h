#pragma once

#include "../connection_pool.h"
#include "sqlite_database.h"

#include <functional>
#include <string>

namespace tarvo::detail::sqlite {

// Connections to one database file, handed out one per concurrent operation. SQLite connections
// must not be shared between threads in the middle of a statement, and separate connections let
// readers go on (WAL) while another connection writes.
class ConnectionPool : public detail::ConnectionPool<Database> {
public:
    // `prepare` is called on every connection the pool opens.
    explicit ConnectionPool(std::string path, std::function<void(Database&)> prepare =
                                                  std::function<void(Database&)>());
};

}  // namespace tarvo::detail::sqlite
