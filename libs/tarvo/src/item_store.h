#pragma once

#include "engine.h"

#include <memory>

namespace tarvo::detail {

// The item store of one repository link: checks what the caller passes and hands the work to
// the link's storage engine, whichever engine that is.
class ItemStore : public IItemStore {
public:
    explicit ItemStore(std::shared_ptr<Engine> engine);

    IdPath ResolvePath(const Names& names) override;
    IdPath GetItemPath(const BrowserItemInfo& item) override;
    BrowserItemInfo GetItemInfo(const IdPath& path) override;
    std::shared_ptr<IItemIterator> ListChildren(const IdPath& folder) override;
    bool CanOpen(const BrowserItemInfo& item) override;

    void CreateFolders(const IdPath& parent, const Names& names) override;
    void RenameItem(const IdPath& path, const std::wstring& name) override;
    void MoveItem(const IdPath& path, const IdPath& newParent) override;
    void DeleteItem(const IdPath& path) override;

    std::shared_ptr<IDocument> CreateDocument(const IdPath& parent, const FileCreateInfo& info,
                                              const std::wstring& comment) override;
    std::shared_ptr<IDocument> OpenDocument(const IdPath& path,
                                            std::optional<VersionNumber> version) override;
    std::shared_ptr<IDocument> BeginVersion(const IdPath& path,
                                            const std::wstring& comment) override;
    std::vector<VersionNumber> ListVersions(const IdPath& path) override;
    VersionNumber ReplaceDocument(const IdPath& source, const IdPath& target,
                                  const std::wstring& comment) override;
    std::vector<VersionInfo> ListVersionInfos(const IdPath& path) override;

    int LockForEdit(const IdPath& path, std::wstring& holder) override;
    void Unlock(const IdPath& path) override;
    IdPath CreateDocumentForEdit(const IdPath& parent, const FileCreateInfo& info,
                                 const std::wstring& comment) override;

    void SetItemAccess(const IdPath& path, const ItemAccess& access) override;

private:
    const std::shared_ptr<Engine> m_engine;
};

}  // namespace tarvo::detail
