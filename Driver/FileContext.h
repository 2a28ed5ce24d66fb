#pragma once

#include "FSDriver.h"

#include <tarvo/core.h>

#include <boost/uuid/uuid.hpp>

#include <memory>
#include <mutex>
#include <optional>

// What one open handle of the drive knows about its item. Created by a successful open, owned by
// the handle (DOKAN_FILE_INFO::Context) and destroyed at the handle's cleanup.
struct FileContext {
    explicit FileContext(tarvo::BrowserItemInfo item) : info(std::move(item)) {}
    FileContext(const FileContext&) = delete;
    FileContext& operator=(const FileContext&) = delete;

    // The item's record as it was at open time (its name follows renames made through the handle).
    tarvo::BrowserItemInfo info;
    // Downloaded content, shared with the other handles that read the same document.
    std::shared_ptr<KelvoFileSystem::Content> content;
    // Content written through this handle and not uploaded yet.
    std::optional<KelvoFileSystem::Content> pending;
    // Category of the document's first blob, learnt at upload.
    std::optional<boost::uuids::uuid> blobCategory;
    // Guards content, pending, blobCategory and the upload.
    std::mutex mutex;
    // This handle holds the document's edit lock.
    bool editLockHeld = false;
};
