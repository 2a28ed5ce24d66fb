#include "repository.h"

#include "item_store.h"

namespace tarvo::detail {

Repository::Repository(std::shared_ptr<Engine> engine) : m_engine(std::move(engine)) {}

std::shared_ptr<IItemStore> Repository::OpenItemStore() {
    return std::make_shared<ItemStore>(m_engine);
}

std::wstring Repository::GetRepositoryName() {
    return m_engine->RepositoryName();
}

void Repository::Sync() {
    m_engine->Sync();
}

}  // namespace tarvo::detail
