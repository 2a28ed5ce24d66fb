#include "item_store.h"

#include "document.h"
#include "errors_text.h"
#include "link_identity.h"
#include "vector_iterator.h"

namespace tarvo::detail {

namespace {

// Operations act on the last id of a path: the item itself. An item is found by its id wherever
// it is now, so a path that went stale through a move still reaches it.
const ItemId& Target(const IdPath& path) {
    if (path.empty()) {
        throw errors::EmptyPath();
    }
    return path.back();
}

// Backslash separates names in paths on the drive; a name holding one could never be reached.
void CheckName(const std::wstring& name) {
    if (name.empty() || name.find(L'\\') != std::wstring::npos ||
        name.find(L'\0') != std::wstring::npos) {
        throw errors::InvalidName(name);
    }
}

void CheckNewDocument(const FileCreateInfo& info) {
    CheckName(info.name);
    if (info.id.is_nil()) {
        throw errors::Invalid(
            L"У нового документа нет идентификатора. Получите его функцией "
            L"GenerateUuid.");
    }
}

}  // namespace

ItemStore::ItemStore(std::shared_ptr<Engine> engine) : m_engine(std::move(engine)) {}

IdPath ItemStore::ResolvePath(const Names& names) {
    return m_engine->ResolvePath(names);
}

IdPath ItemStore::GetItemPath(const BrowserItemInfo& item) {
    return m_engine->PathOf(item.id);
}

BrowserItemInfo ItemStore::GetItemInfo(const IdPath& path) {
    return m_engine->GetItem(Target(path)).ToBrowserItemInfo();
}

std::shared_ptr<IItemIterator> ItemStore::ListChildren(const IdPath& folder) {
    std::vector<BrowserItemInfo> children;
    for (const auto& record : m_engine->ListChildren(Target(folder))) {
        children.push_back(record.ToBrowserItemInfo());
    }
    return std::make_shared<VectorIterator<BrowserItemInfo>>(std::move(children));
}

bool ItemStore::CanOpen(const BrowserItemInfo& item) {
    return m_engine->GetItem(item.id).openable;
}

void ItemStore::CreateFolders(const IdPath& parent, const Names& names) {
    for (const auto& name : names) {
        CheckName(name);
    }
    m_engine->CreateFolders(Target(parent), names);
}

void ItemStore::RenameItem(const IdPath& path, const std::wstring& name) {
    CheckName(name);
    m_engine->Rename(Target(path), name);
}

void ItemStore::MoveItem(const IdPath& path, const IdPath& newParent) {
    m_engine->Move(Target(path), Target(newParent));
}

void ItemStore::DeleteItem(const IdPath& path) {
    m_engine->Delete(Target(path));
}

std::shared_ptr<IDocument> ItemStore::CreateDocument(const IdPath& parent,
                                                     const FileCreateInfo& info,
                                                     const std::wstring& comment) {
    CheckNewDocument(info);
    auto write = m_engine->StartDocument(Target(parent), info, comment);
    return std::make_shared<Document>(m_engine, info.id, std::move(write));
}

std::shared_ptr<IDocument> ItemStore::OpenDocument(const IdPath& path,
                                                   std::optional<VersionNumber> version) {
    const ItemId& id = Target(path);
    if (version) {
        m_engine->CheckVersion(id, *version);
        return std::make_shared<Document>(m_engine, id, *version);
    }
    return std::make_shared<Document>(m_engine, id, m_engine->CurrentVersion(id));
}

std::shared_ptr<IDocument> ItemStore::BeginVersion(const IdPath& path,
                                                   const std::wstring& comment) {
    const ItemId& id = Target(path);
    return std::make_shared<Document>(m_engine, id, m_engine->StartVersion(id, comment));
}

std::vector<VersionNumber> ItemStore::ListVersions(const IdPath& path) {
    return m_engine->ListVersions(Target(path));
}

VersionNumber ItemStore::ReplaceDocument(const IdPath& source, const IdPath& target,
                                         const std::wstring& comment) {
    if (Target(source) == Target(target)) {
        throw errors::Invalid(L"Документ нельзя сохранить поверх него самого.");
    }
    return m_engine->ReplaceDocument(Target(source), Target(target), comment);
}

std::vector<VersionInfo> ItemStore::ListVersionInfos(const IdPath& path) {
    std::vector<VersionInfo> versions;
    for (auto& record : m_engine->ListVersionRecords(Target(path))) {
        versions.push_back(VersionInfo{record.number, record.commitTime,
                                       UserOfHolderText(record.author), record.size});
    }
    return versions;
}

int ItemStore::LockForEdit(const IdPath& path, std::wstring& holder) {
    return m_engine->Lock(Target(path), holder);
}

void ItemStore::Unlock(const IdPath& path) {
    m_engine->Unlock(Target(path));
}

IdPath ItemStore::CreateDocumentForEdit(const IdPath& parent, const FileCreateInfo& info,
                                        const std::wstring& comment) {
    CheckNewDocument(info);
    m_engine->CreateDocumentForEdit(Target(parent), info, comment);
    return m_engine->PathOf(info.id);
}

void ItemStore::SetItemAccess(const IdPath& path, const ItemAccess& access) {
    m_engine->SetAccess(Target(path), access);
}

}  // namespace tarvo::detail
