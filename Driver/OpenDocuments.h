#pragma once

#include "OpenDocument.h"

#include <tarvo/core.h>
#include <win_compat/wintypes.h>

#include <map>
#include <memory>
#include <mutex>

// The open documents of one drive, by item id: every handle that reads or writes a document
// shares the one state found here. An entry does not keep a state alive; the handles do.
class OpenDocuments {
public:
    enum class Role { Reader, Writer };

    struct Opened {
        NTSTATUS status = STATUS_SUCCESS;
        std::shared_ptr<OpenDocument> document;  // set when the status is success
        std::wstring holder;  // who holds the edit lock, when that refused the open
    };

    // The state for a new handle of the document. A writer takes the document's edit lock first
    // (0xC0000022 when someone else holds it; the holder is logged), unless the state holds it
    // already. The state the drive has is shared when its content is the repository's current
    // version, or when it has writers or unsent changes; otherwise the handle gets a new state of
    // the current version and handles that hold the old one keep it until they close. Throws
    // tarvo::TarvoError and std::system_error.
    Opened open(tarvo::IItemStore& store, const tarvo::BrowserItemInfo& item, Role role);

    // The state of the document while it is open; null when it is not.
    std::shared_ptr<OpenDocument> find(const tarvo::ItemId& id) const;
    // Drops the entry of a document whose last handle has gone.
    void forget(const tarvo::ItemId& id);
    std::size_t size() const;

    // Deleting (or replacing) a document that handles hold open, in two steps around the
    // repository's delete: first every byte of its content is fetched, so that the handles can
    // go on reading it; once the delete has succeeded, the state is marked deleted (nothing is
    // uploaded for it any more) and leaves the registry. A content that cannot be fetched is
    // logged and the delete goes on.
    void prepareDeletion(const std::shared_ptr<tarvo::IItemStore>& store, const tarvo::ItemId& id);
    void markDeleted(const tarvo::ItemId& id);

private:
    // The state the drive has, when a handle may join it, or a new one of the current version.
    std::shared_ptr<OpenDocument> stateFor(tarvo::IItemStore& store, const tarvo::IdPath& ids,
                                           const tarvo::BrowserItemInfo& item);

    mutable std::mutex m_mutex;
    std::map<tarvo::ItemId, std::weak_ptr<OpenDocument>> m_documents;
};
