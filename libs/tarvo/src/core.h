#pragma once

#include <tarvo/core.h>

namespace tarvo::detail {

// Opens links: the local repository through the embedded SQLite engine, shared repositories
// through the PostgreSQL engine.
class Core : public ICore {
public:
    std::shared_ptr<IRepository> Connect(const Endpoint& endpoint,
                                         const Credentials& credentials) override;
};

}  // namespace tarvo::detail
