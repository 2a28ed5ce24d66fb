#pragma once

#include "OpenDocument.h"

#include <tarvo/core.h>

#include <memory>
#include <mutex>

// What one open handle of the drive knows about its item. Created by a successful open, owned by
// the handle (DOKAN_FILE_INFO::Context) and destroyed at the handle's cleanup.
struct FileContext {
    explicit FileContext(tarvo::BrowserItemInfo item) : info(std::move(item)) {}
    FileContext(const FileContext&) = delete;
    FileContext& operator=(const FileContext&) = delete;

    // The item's record as it was at open time (its name follows renames made through the
    // handle). Size and times of an open document come from `document`.
    tarvo::BrowserItemInfo info;
    // The document's working state, shared with every other handle of it on the drive: set at
    // an open that reads or writes content, else at the first read or write.
    std::shared_ptr<OpenDocument> document;
    // The handle counts as one of the document's writers (it holds a share of the edit lock).
    bool writer = false;
    // Content or size was changed through this handle since its last upload.
    bool changed = false;
    // The only change so far is the cut of a truncating open: a shell closes such a descriptor
    // (after duplicating it) before the command writes, and that close must not save an empty
    // version.
    bool onlyCutAtOpen = false;
    // Opened for writes that are durable when they return (O_SYNC, O_DSYNC: FILE_WRITE_THROUGH).
    bool writeThrough = false;
    // Guards info.name, document, writer, changed and onlyCutAtOpen.
    std::mutex mutex;
};
