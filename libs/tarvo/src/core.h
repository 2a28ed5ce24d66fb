#pragma once

#include <tarvo/core.h>

namespace tarvo::detail {

// Opens links: the local repository through the embedded SQLite engine; shared repositories on
// a server are refused until their engine exists.
class Core : public ICore {
public:
    std::shared_ptr<IRepository> Connect(const Endpoint& endpoint,
                                         const Credentials& credentials) override;
};

}  // namespace tarvo::detail
