#pragma once

#include <tarvo/core.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace drive_test {

// Passes every call to a real item store, records the names of the calls, and makes the calls a
// test picks fail with a library error of a chosen code.
class FaultyItemStore final : public tarvo::IItemStore {
public:
    explicit FaultyItemStore(std::shared_ptr<tarvo::IItemStore> inner);

    // The next `times` calls of `method` throw TarvoError(code); -1 for every call from now on.
    void fail(const std::string& method, tarvo::errc::Type code, int times = 1);
    void clearFaults();

    std::vector<std::string> calls() const;
    int count(const std::string& method) const;
    void clearCalls();

    tarvo::IdPath ResolvePath(const tarvo::Names& names) override;
    tarvo::IdPath GetItemPath(const tarvo::BrowserItemInfo& item) override;
    tarvo::BrowserItemInfo GetItemInfo(const tarvo::IdPath& path) override;
    std::shared_ptr<tarvo::IItemIterator> ListChildren(const tarvo::IdPath& folder) override;
    bool CanOpen(const tarvo::BrowserItemInfo& item) override;
    void CreateFolders(const tarvo::IdPath& parent, const tarvo::Names& names) override;
    void RenameItem(const tarvo::IdPath& path, const std::wstring& name) override;
    void MoveItem(const tarvo::IdPath& path, const tarvo::IdPath& newParent) override;
    void DeleteItem(const tarvo::IdPath& path) override;
    std::shared_ptr<tarvo::IDocument> CreateDocument(const tarvo::IdPath& parent,
                                                     const tarvo::FileCreateInfo& info,
                                                     const std::wstring& comment) override;
    std::shared_ptr<tarvo::IDocument> OpenDocument(
        const tarvo::IdPath& path, std::optional<tarvo::VersionNumber> version) override;
    std::shared_ptr<tarvo::IDocument> BeginVersion(const tarvo::IdPath& path,
                                                   const std::wstring& comment) override;
    std::vector<tarvo::VersionNumber> ListVersions(const tarvo::IdPath& path) override;
    tarvo::VersionNumber ReplaceDocument(const tarvo::IdPath& source, const tarvo::IdPath& target,
                                         const std::wstring& comment) override;
    std::vector<tarvo::VersionInfo> ListVersionInfos(const tarvo::IdPath& path) override;
    int LockForEdit(const tarvo::IdPath& path, std::wstring& holder) override;
    void Unlock(const tarvo::IdPath& path) override;
    void SetItemAccess(const tarvo::IdPath& path, const tarvo::ItemAccess& access) override;

private:
    void enter(const std::string& method);

    std::shared_ptr<tarvo::IItemStore> m_inner;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
    struct Fault {
        tarvo::errc::Type code;
        int remaining;
    };
    std::map<std::string, Fault> m_faults;
};

}  // namespace drive_test
