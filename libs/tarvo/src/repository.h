#pragma once

#include "engine.h"

#include <memory>

namespace tarvo::detail {

// One link to a repository (one Connect). The link's engine, and with it the link's edit
// locks, lives until the repository object and every item store and document taken from it
// are gone; then the locks are released.
class Repository : public IRepository {
public:
    explicit Repository(std::shared_ptr<Engine> engine);

    std::shared_ptr<IItemStore> OpenItemStore() override;
    std::wstring GetRepositoryName() override;
    void Sync() override;

private:
    const std::shared_ptr<Engine> m_engine;
};

}  // namespace tarvo::detail
