#include "FaultyItemStore.h"

#include <algorithm>

namespace drive_test {

FaultyItemStore::FaultyItemStore(std::shared_ptr<tarvo::IItemStore> inner)
    : m_inner(std::move(inner)) {}

void FaultyItemStore::fail(const std::string& method, tarvo::errc::Type code, int times) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults[method] = Fault{code, times};
}

void FaultyItemStore::clearFaults() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults.clear();
}

std::vector<std::string> FaultyItemStore::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

int FaultyItemStore::count(const std::string& method) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(std::count(m_calls.begin(), m_calls.end(), method));
}

void FaultyItemStore::clearCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.clear();
}

void FaultyItemStore::enter(const std::string& method) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(method);
    const auto fault = m_faults.find(method);
    if (fault == m_faults.end() || fault->second.remaining == 0) {
        return;
    }
    if (fault->second.remaining > 0) {
        --fault->second.remaining;
    }
    throw tarvo::TarvoError(fault->second.code,
                            L"Injected failure of " + std::wstring(method.begin(), method.end()));
}

tarvo::IdPath FaultyItemStore::ResolvePath(const tarvo::Names& names) {
    enter("ResolvePath");
    return m_inner->ResolvePath(names);
}

tarvo::IdPath FaultyItemStore::GetItemPath(const tarvo::BrowserItemInfo& item) {
    enter("GetItemPath");
    return m_inner->GetItemPath(item);
}

tarvo::BrowserItemInfo FaultyItemStore::GetItemInfo(const tarvo::IdPath& path) {
    enter("GetItemInfo");
    return m_inner->GetItemInfo(path);
}

std::shared_ptr<tarvo::IItemIterator> FaultyItemStore::ListChildren(const tarvo::IdPath& folder) {
    enter("ListChildren");
    return m_inner->ListChildren(folder);
}

bool FaultyItemStore::CanOpen(const tarvo::BrowserItemInfo& item) {
    enter("CanOpen");
    return m_inner->CanOpen(item);
}

void FaultyItemStore::CreateFolders(const tarvo::IdPath& parent, const tarvo::Names& names) {
    enter("CreateFolders");
    m_inner->CreateFolders(parent, names);
}

void FaultyItemStore::RenameItem(const tarvo::IdPath& path, const std::wstring& name) {
    enter("RenameItem");
    m_inner->RenameItem(path, name);
}

void FaultyItemStore::MoveItem(const tarvo::IdPath& path, const tarvo::IdPath& newParent) {
    enter("MoveItem");
    m_inner->MoveItem(path, newParent);
}

void FaultyItemStore::DeleteItem(const tarvo::IdPath& path) {
    enter("DeleteItem");
    m_inner->DeleteItem(path);
}

std::shared_ptr<tarvo::IDocument> FaultyItemStore::CreateDocument(const tarvo::IdPath& parent,
                                                                  const tarvo::FileCreateInfo& info,
                                                                  const std::wstring& comment) {
    enter("CreateDocument");
    return m_inner->CreateDocument(parent, info, comment);
}

std::shared_ptr<tarvo::IDocument> FaultyItemStore::OpenDocument(
    const tarvo::IdPath& path, std::optional<tarvo::VersionNumber> version) {
    enter("OpenDocument");
    return m_inner->OpenDocument(path, version);
}

std::shared_ptr<tarvo::IDocument> FaultyItemStore::BeginVersion(const tarvo::IdPath& path,
                                                                const std::wstring& comment) {
    enter("BeginVersion");
    return m_inner->BeginVersion(path, comment);
}

std::vector<tarvo::VersionNumber> FaultyItemStore::ListVersions(const tarvo::IdPath& path) {
    enter("ListVersions");
    return m_inner->ListVersions(path);
}

tarvo::VersionNumber FaultyItemStore::ReplaceDocument(const tarvo::IdPath& source,
                                                      const tarvo::IdPath& target,
                                                      const std::wstring& comment) {
    enter("ReplaceDocument");
    return m_inner->ReplaceDocument(source, target, comment);
}

std::vector<tarvo::VersionInfo> FaultyItemStore::ListVersionInfos(const tarvo::IdPath& path) {
    enter("ListVersionInfos");
    return m_inner->ListVersionInfos(path);
}

int FaultyItemStore::LockForEdit(const tarvo::IdPath& path, std::wstring& holder) {
    enter("LockForEdit");
    return m_inner->LockForEdit(path, holder);
}

void FaultyItemStore::Unlock(const tarvo::IdPath& path) {
    enter("Unlock");
    m_inner->Unlock(path);
}

void FaultyItemStore::SetItemAccess(const tarvo::IdPath& path, const tarvo::ItemAccess& access) {
    enter("SetItemAccess");
    m_inner->SetItemAccess(path, access);
}

}  // namespace drive_test
