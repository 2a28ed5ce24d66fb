#include "OpenDocuments.h"

#include "DriveLog_p.h"

#include <system_error>

namespace {

tarvo::VersionNumber CurrentVersion(tarvo::IItemStore& store, const tarvo::IdPath& ids) {
    const std::vector<tarvo::VersionNumber> versions = store.ListVersions(ids);
    return versions.empty() ? 0 : versions.back();
}

// The item's record as of `version`: size and times of that version. The record a handle got at
// its open may be older (a save came between, by another handle or user); a state made of it
// would have the size of one version and the content of another. Read again until the version
// stays the same around the read (a few times; then the download adopts the real size).
tarvo::BrowserItemInfo RecordOf(tarvo::IItemStore& store, const tarvo::IdPath& ids,
                                tarvo::VersionNumber& version) {
    tarvo::BrowserItemInfo record = store.GetItemInfo(ids);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const tarvo::VersionNumber after = CurrentVersion(store, ids);
        if (after == version) {
            break;
        }
        version = after;
        record = store.GetItemInfo(ids);
    }
    return record;
}

// Whether a handle joins the state the drive has: it holds the current version, or changes and
// writers that a newer version must not bypass.
bool Shareable(const OpenDocument& held, tarvo::VersionNumber current) {
    return held.baseVersion() == current || held.busy();
}

}  // namespace

OpenDocuments::Opened OpenDocuments::open(tarvo::IItemStore& store,
                                          const tarvo::BrowserItemInfo& item, Role role) {
    for (;;) {
        if (role == Role::Writer) {
            const std::shared_ptr<OpenDocument> existing = find(item.id);
            if (existing && existing->joinWritersHoldingLock()) {
                return {STATUS_SUCCESS, existing, {}};
            }
        }
        const tarvo::IdPath ids = store.GetItemPath(item);
        int lockState = -1;
        if (role == Role::Writer) {
            std::wstring holder;
            lockState = store.LockForEdit(ids, holder);
            if (lockState == tarvo::lock_state::kHeldByOther) {
                // Who has it is what the refused user needs to know.
                KELVO_DRIVE_LOG(logging::kWarning)
                    << L"Документ «" << item.name
                    << L"» открыт для изменения другим пользователем: " << holder;
                return {STATUS_ACCESS_DENIED, nullptr, holder};
            }
        }
        try {
            // Read after the lock is taken: no other link can commit a newer one meanwhile.
            const std::shared_ptr<OpenDocument> document = stateFor(store, ids, item);
            if (role == Role::Reader) {
                document->addReader();
                return {STATUS_SUCCESS, document, {}};
            }
            if (document->addWriterWithLock()) {
                return {STATUS_SUCCESS, document, {}};
            }
            // Its last writer is giving the lock back: take it again once that is done.
        } catch (...) {
            if (lockState == tarvo::lock_state::kTaken) {
                try {
                    store.Unlock(ids);
                } catch (const tarvo::TarvoError& error) {
                    KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
                }
            }
            throw;
        }
    }
}

std::shared_ptr<OpenDocument> OpenDocuments::stateFor(tarvo::IItemStore& store,
                                                      const tarvo::IdPath& ids,
                                                      const tarvo::BrowserItemInfo& item) {
    tarvo::VersionNumber current = CurrentVersion(store, ids);
    if (std::shared_ptr<OpenDocument> held = find(item.id); held && Shareable(*held, current)) {
        return held;
    }
    const tarvo::BrowserItemInfo record = RecordOf(store, ids, current);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::weak_ptr<OpenDocument>& entry = m_documents[item.id];
    if (std::shared_ptr<OpenDocument> held = entry.lock(); held && Shareable(*held, current)) {
        return held;  // made or changed meanwhile
    }
    auto document = std::make_shared<OpenDocument>(record, current);
    entry = document;
    return document;
}

std::shared_ptr<OpenDocument> OpenDocuments::find(const tarvo::ItemId& id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto entry = m_documents.find(id);
    return entry != m_documents.end() ? entry->second.lock() : nullptr;
}

void OpenDocuments::forget(const tarvo::ItemId& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto entry = m_documents.find(id);
    if (entry != m_documents.end() && entry->second.expired()) {
        m_documents.erase(entry);
    }
}

std::size_t OpenDocuments::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_documents.size();
}

void OpenDocuments::prepareDeletion(const std::shared_ptr<tarvo::IItemStore>& store,
                                    const tarvo::ItemId& id) {
    const std::shared_ptr<OpenDocument> document = find(id);
    if (!document || !document->hasHandles()) {
        return;  // nobody will read it any more
    }
    try {
        document->completeDownload(store);
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError)
            << L"The open handles of a deleted document cannot read all of it: "
            << error.GetMessage();
    } catch (const std::system_error& error) {
        KELVO_DRIVE_LOG(logging::kError)
            << L"The open handles of a deleted document cannot read all of it: " << error.what();
    }
}

void OpenDocuments::markDeleted(const tarvo::ItemId& id) {
    std::shared_ptr<OpenDocument> document;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto entry = m_documents.find(id);
        if (entry == m_documents.end()) {
            return;
        }
        document = entry->second.lock();
        m_documents.erase(entry);
    }
    if (document) {
        document->markDeleted();
    }
}
