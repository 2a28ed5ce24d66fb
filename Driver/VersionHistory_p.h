#pragma once

// The pieces of the version history that its operations (VersionHistoryOperations.cpp) use.

#include "VersionHistory.h"

#include <tarvo/core.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace drive::history {

// One open item below the history, owned by its handle (DOKAN_FILE_INFO::Context, tagged, see
// StoreHandle) from the open to the cleanup.
struct HistoryHandle {
    enum class Kind {
        Folder,    // the history's root or a mirrored folder: lists the folder's items
        Document,  // a document shown as a folder: lists the document's versions
        Version,   // one version of a document, as a read-only file
    };

    HistoryHandle(Kind kind_, tarvo::IdPath ids_, tarvo::BrowserItemInfo record_)
        : kind(kind_), ids(std::move(ids_)), record(std::move(record_)) {}
    HistoryHandle(const HistoryHandle&) = delete;
    HistoryHandle& operator=(const HistoryHandle&) = delete;

    const Kind kind;
    // The mirrored folder or the document (its path when opened; every use needs only its id).
    const tarvo::IdPath ids;
    // The item as the drive shows it: its name, times, size and folder flag.
    const tarvo::BrowserItemInfo record;
    tarvo::VersionNumber version = 0;  // Version only

    // Guards what follows: the version's content, opened at the first read.
    std::mutex mutex;
    std::shared_ptr<tarvo::IDocument> document;
    std::shared_ptr<tarvo::IBlobReader> reader;  // null for a version without content
    bool contentOpened = false;
};

// --- Handles -------------------------------------------------------------------------------------

// A history handle is told from a FileContext by the lowest bit of DOKAN_FILE_INFO::Context, which
// no aligned address has: one look, no lookup in a table.
bool IsHistoryHandle(PDOKAN_FILE_INFO fileInfo);
HistoryHandle& HandleOf(PDOKAN_FILE_INFO fileInfo);
void StoreHandle(PDOKAN_FILE_INFO fileInfo, std::unique_ptr<HistoryHandle> handle);
// Frees the handle (and what it read with) and leaves the request without one.
void CloseHandle(PDOKAN_FILE_INFO fileInfo);

// --- Paths ---------------------------------------------------------------------------------------

// The path starts with one of the history's names (no question asked of the repository yet).
bool MayClaim(const std::wstring& path);

// The path lies in the history: it starts with one of its names, and the root holds no item of
// that name.
bool Claims(tarvo::IItemStore& store, const std::wstring& path);

// Opens a path that MayClaim. Nothing when the history does not claim it after all (a real item
// holds the name): the drive opens it as any other path. Otherwise the status, with the handle
// stored in `fileInfo` when it succeeds.
std::optional<NTSTATUS> Open(tarvo::IItemStore& store, const std::wstring& path, ACCESS_MASK access,
                             DWORD disposition, ULONG createOptions, PDOKAN_FILE_INFO fileInfo);

// --- What a handle serves ------------------------------------------------------------------------

void Describe(const HistoryHandle& handle, BY_HANDLE_FILE_INFORMATION& information);

// One repository query: the folder's items, or the document's versions.
NTSTATUS List(tarvo::IItemStore& store, const HistoryHandle& handle, PFillFindData fill,
              PDOKAN_FILE_INFO fileInfo);

// Reads from the version's content; nothing at or beyond its end.
NTSTATUS Read(tarvo::IItemStore& store, HistoryHandle& handle, LPVOID buffer, DWORD bufferLength,
              LPDWORD readLength, LONGLONG offset);

}  // namespace drive::history
