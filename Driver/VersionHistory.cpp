// The version history's paths, handles, listings and reads.
#include "VersionHistory_p.h"

#include "DriveLog_p.h"
#include "DrivePaths.h"
#include "ItemRecords.h"
#include "VersionNames.h"

#include <algorithm>
#include <cstdint>

namespace drive::history {
namespace {

constexpr ULONG64 kHandleTag = 1;
static_assert(alignof(HistoryHandle) > kHandleTag, "the tag needs a free lowest address bit");

// Access rights that would change an item; whoever asks for one of them below the history is
// refused at the open already.
constexpr ACCESS_MASK kWriteDac = 0x00040000;
constexpr ACCESS_MASK kWriteOwner = 0x00080000;
constexpr ACCESS_MASK kChangingAccess = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                        FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                        kWriteDac | kWriteOwner | GENERIC_WRITE | GENERIC_ALL;

bool IsHistoryName(const std::wstring& name) {
    return name == kFolderName || name == kSpareFolderName;
}

// The root's id when the names lie in the history; nothing when they do not, or when a real item
// of the root holds the history's name.
std::optional<tarvo::IdPath> HistoryRoot(tarvo::IItemStore& store, const tarvo::Names& names) {
    if (names.size() < 2 || !IsHistoryName(names[1])) {
        return std::nullopt;
    }
    tarvo::IdPath ids = store.ResolvePath({std::wstring(), names[1]});
    if (ids.size() != 1) {
        return std::nullopt;
    }
    return ids;
}

// A version without any blob is the stand-in that a document is created with before its first
// content arrives: no save of the user's, so the history leaves it out.
bool Shown(const tarvo::VersionInfo& version) {
    return version.size.has_value();
}

// The mirrored item as a folder: a document becomes the folder of its versions.
std::unique_ptr<HistoryHandle> MirroredItem(tarvo::IItemStore& store, const tarvo::IdPath& ids) {
    tarvo::BrowserItemInfo record = store.GetItemInfo(ids);
    const auto kind =
        record.IsFolder() ? HistoryHandle::Kind::Folder : HistoryHandle::Kind::Document;
    record.folder = true;
    record.size.reset();
    return std::make_unique<HistoryHandle>(kind, ids, std::move(record));
}

// The version file `fileName` of the document at `ids` (named `documentName`); null when the
// item is no document or has no version of that name.
std::unique_ptr<HistoryHandle> VersionFile(tarvo::IItemStore& store, const tarvo::IdPath& ids,
                                           const std::wstring& documentName,
                                           const std::wstring& fileName) {
    const std::optional<tarvo::VersionNumber> number = version_names::NumberOf(fileName);
    if (!number) {
        return nullptr;
    }
    std::vector<tarvo::VersionInfo> versions;
    try {
        versions = store.ListVersionInfos(ids);
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() == tarvo::errc::NotADocument) {
            return nullptr;  // a folder has no versions: the name is simply not there
        }
        throw;
    }
    const auto found =
        std::find_if(versions.begin(), versions.end(), [&](const tarvo::VersionInfo& version) {
            return version.number == *number && Shown(version);
        });
    // Only the exact name opens it, so that every version has one name.
    if (found == versions.end() ||
        version_names::FileName(*found, documentName, version_names::NumberWidth(versions)) !=
            fileName) {
        return nullptr;
    }
    tarvo::BrowserItemInfo record;
    record.id = ids.back();
    record.name = fileName;
    record.creationTime = found->commitTime;
    record.modificationTime = found->commitTime;
    record.size = found->size;
    auto handle =
        std::make_unique<HistoryHandle>(HistoryHandle::Kind::Version, ids, std::move(record));
    handle->version = found->number;
    return handle;
}

// What a path below the history names (the names after the history's own); null when nothing.
std::unique_ptr<HistoryHandle> Locate(tarvo::IItemStore& store, const tarvo::IdPath& root,
                                      const tarvo::Names& names) {
    tarvo::Names mirrored{std::wstring()};
    mirrored.insert(mirrored.end(), names.begin() + 2, names.end());
    if (mirrored.size() == 1) {
        tarvo::BrowserItemInfo record = store.GetItemInfo(root);
        record.name = names[1];
        return std::make_unique<HistoryHandle>(HistoryHandle::Kind::Folder, root,
                                               std::move(record));
    }
    const tarvo::IdPath ids = store.ResolvePath(mirrored);
    if (ids.size() == mirrored.size()) {
        return MirroredItem(store, ids);
    }
    if (ids.size() >= 2 && ids.size() + 1 == mirrored.size()) {
        return VersionFile(store, ids, mirrored[mirrored.size() - 2], mirrored.back());
    }
    return nullptr;
}

// What an open below the history comes to by its disposition: the history has no item to create
// or cut, and whether the item exists decides the rest as on a write-protected medium.
struct Verdict {
    NTSTATUS status;
    bool opens;  // the item is opened, with `status` as the open's status
};

Verdict ByDisposition(DWORD disposition, bool exists) {
    switch (disposition) {
        case OPEN_EXISTING:
            return exists ? Verdict{STATUS_SUCCESS, true}
                          : Verdict{STATUS_OBJECT_NAME_NOT_FOUND, false};
        case OPEN_ALWAYS:
            // The driver's "opened the item that existed".
            return exists ? Verdict{STATUS_OBJECT_NAME_COLLISION, true} : Verdict{kReadOnly, false};
        case CREATE_NEW:
            return {exists ? STATUS_OBJECT_NAME_COLLISION : kReadOnly, false};
        case TRUNCATE_EXISTING:
            return {exists ? kReadOnly : STATUS_OBJECT_NAME_NOT_FOUND, false};
        default:
            return {kReadOnly, false};
    }
}

// Checks the handle against what the opener asked for; 0 when it may be kept.
NTSTATUS CheckOpen(tarvo::IItemStore& store, const HistoryHandle& handle, ULONG createOptions,
                   PDOKAN_FILE_INFO fileInfo) {
    if (handle.kind != HistoryHandle::Kind::Version) {
        if (createOptions & FILE_NON_DIRECTORY_FILE) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        fileInfo->IsDirectory = TRUE;
        return STATUS_SUCCESS;
    }
    if (fileInfo->IsDirectory) {
        return STATUS_NOT_A_DIRECTORY;
    }
    // Whoever may not open the document may not open its earlier versions either.
    return store.CanOpen(handle.record) ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

void ListEntry(const tarvo::BrowserItemInfo& item, PFillFindData fill, PDOKAN_FILE_INFO fileInfo) {
    WIN32_FIND_DATAW record{};
    FillCommon(item, record);
    std::copy(item.name.begin(), item.name.end(), record.cFileName);
    fill(&record, fileInfo);
}

void ListFolder(tarvo::IItemStore& store, const HistoryHandle& handle, PFillFindData fill,
                PDOKAN_FILE_INFO fileInfo) {
    const auto children = store.ListChildren(handle.ids);
    tarvo::BrowserItemInfo child;
    while (children->Next(child)) {
        if (!child.IsVisible() || child.name.size() > kMaxListedNameLength) {
            continue;
        }
        child.folder = true;  // a document is the folder of its versions
        child.size.reset();
        ListEntry(child, fill, fileInfo);
    }
}

void ListVersions(tarvo::IItemStore& store, const HistoryHandle& handle, PFillFindData fill,
                  PDOKAN_FILE_INFO fileInfo) {
    const std::vector<tarvo::VersionInfo> versions = store.ListVersionInfos(handle.ids);
    const std::size_t width = version_names::NumberWidth(versions);
    tarvo::BrowserItemInfo entry;
    for (const tarvo::VersionInfo& version : versions) {
        if (!Shown(version)) {
            continue;
        }
        entry.name = version_names::FileName(version, handle.record.name, width);
        entry.creationTime = version.commitTime;
        entry.modificationTime = version.commitTime;
        entry.size = version.size;
        ListEntry(entry, fill, fileInfo);
    }
}

// Opens the version's first blob for reading by range; a version without blobs has no content.
void OpenContent(tarvo::IItemStore& store, HistoryHandle& handle) {
    handle.document = store.OpenDocument(handle.ids, handle.version);
    tarvo::BlobInfo first;
    if (handle.document->ListBlobs()->Next(first)) {
        handle.reader = handle.document->OpenBlob(first.id);
    }
    handle.contentOpened = true;
}

}  // namespace

bool IsHistoryHandle(PDOKAN_FILE_INFO fileInfo) {
    return (fileInfo->Context & kHandleTag) != 0;
}

HistoryHandle& HandleOf(PDOKAN_FILE_INFO fileInfo) {
    return *reinterpret_cast<HistoryHandle*>(fileInfo->Context & ~kHandleTag);
}

void StoreHandle(PDOKAN_FILE_INFO fileInfo, std::unique_ptr<HistoryHandle> handle) {
    fileInfo->Context = reinterpret_cast<ULONG64>(handle.release()) | kHandleTag;
}

void CloseHandle(PDOKAN_FILE_INFO fileInfo) {
    std::unique_ptr<HistoryHandle> handle(&HandleOf(fileInfo));
    fileInfo->Context = 0;
    std::lock_guard<std::mutex> lock(handle->mutex);
    try {
        if (handle->reader) {
            handle->reader->Close();
        }
        if (handle->document) {
            handle->document->Close(false);
        }
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
    }
}

bool MayClaim(const std::wstring& path) {
    const tarvo::Names names = drive_paths::Split(path);
    return names.size() >= 2 && IsHistoryName(names[1]);
}

bool Claims(tarvo::IItemStore& store, const std::wstring& path) {
    return HistoryRoot(store, drive_paths::Split(path)).has_value();
}

std::optional<NTSTATUS> Open(tarvo::IItemStore& store, const std::wstring& path, ACCESS_MASK access,
                             DWORD disposition, ULONG createOptions, PDOKAN_FILE_INFO fileInfo) {
    try {
        const tarvo::Names names = drive_paths::Split(path);
        const std::optional<tarvo::IdPath> root = HistoryRoot(store, names);
        if (!root) {
            return std::nullopt;
        }
        if (path.size() > drive_paths::kMaxPathLength) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        std::unique_ptr<HistoryHandle> handle = Locate(store, *root, names);
        const Verdict verdict = ByDisposition(disposition, handle != nullptr);
        if (!verdict.opens) {
            return verdict.status;
        }
        if (access & kChangingAccess) {
            return kReadOnly;
        }
        if (const NTSTATUS refused = CheckOpen(store, *handle, createOptions, fileInfo);
            refused != STATUS_SUCCESS) {
            return refused;
        }
        StoreHandle(fileInfo, std::move(handle));
        return verdict.status;
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
}

void Describe(const HistoryHandle& handle, BY_HANDLE_FILE_INFORMATION& information) {
    information = BY_HANDLE_FILE_INFORMATION{};
    FillCommon(handle.record, information);
    information.nNumberOfLinks = 1;
}

NTSTATUS List(tarvo::IItemStore& store, const HistoryHandle& handle, PFillFindData fill,
              PDOKAN_FILE_INFO fileInfo) {
    try {
        switch (handle.kind) {
            case HistoryHandle::Kind::Folder:
                ListFolder(store, handle, fill, fileInfo);
                break;
            case HistoryHandle::Kind::Document:
                ListVersions(store, handle, fill, fileInfo);
                break;
            case HistoryHandle::Kind::Version:
                return STATUS_NOT_A_DIRECTORY;
        }
    } catch (const tarvo::TarvoError& error) {
        // What was listed before the error stands.
        if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Read(tarvo::IItemStore& store, HistoryHandle& handle, LPVOID buffer, DWORD bufferLength,
              LPDWORD readLength, LONGLONG offset) {
    *readLength = 0;
    if (handle.kind != HistoryHandle::Kind::Version) {
        return STATUS_FILE_IS_A_DIRECTORY;
    }
    if (offset < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    try {
        std::lock_guard<std::mutex> lock(handle.mutex);
        if (!handle.contentOpened) {
            OpenContent(store, handle);
        }
        if (handle.reader) {
            *readLength = static_cast<DWORD>(
                handle.reader->ReadAt(static_cast<std::uint64_t>(offset),
                                      static_cast<std::uint8_t*>(buffer), bufferLength));
        }
        return STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return STATUS_ACCESS_DENIED;
    }
}

}  // namespace drive::history
