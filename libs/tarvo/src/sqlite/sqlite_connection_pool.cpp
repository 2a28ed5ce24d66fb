#include "sqlite_connection_pool.h"

#include <memory>
#include <utility>

namespace tarvo::detail::sqlite {

ConnectionPool::ConnectionPool(std::string path, std::function<void(Database&)> prepare)
    : detail::ConnectionPool<Database>([path = std::move(path), prepare = std::move(prepare)] {
          auto db = std::make_unique<Database>(path, false);
          if (prepare) {
              prepare(*db);
          }
          return db;
      }) {}

}  // namespace tarvo::detail::sqlite
