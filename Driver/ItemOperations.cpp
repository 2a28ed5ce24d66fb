// Information about items, folder listings, delete and move.
#include "DriveOperations_p.h"
#include "DrivePaths.h"
#include "ItemRecords.h"
#include "Utf8Text.h"

#include <algorithm>
#include <functional>

namespace drive {
namespace {

// Size of the service file: the repository's name in UTF-8, as ReadFile serves it.
std::uint64_t ServiceFileSize(const std::wstring& repositoryName) {
    try {
        return utf8_text::FromWide(repositoryName).size();
    } catch (const std::range_error&) {
        return 0;  // ReadFile serves an empty content then
    }
}

void ListServiceFile(KelvoFileSystem& drive, PFillFindData fill, PDOKAN_FILE_INFO fileInfo) {
    WIN32_FIND_DATAW record{};
    record.dwFileAttributes = FILE_ATTRIBUTE_HIDDEN;
    const std::uint64_t size = ServiceFileSize(RequireRepository(drive)->GetRepositoryName());
    record.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
    std::wcscpy(record.cFileName, drive_paths::kServiceFileName);
    fill(&record, fileInfo);
}

void ListChildren(KelvoFileSystem& drive, tarvo::IItemStore& store, const std::wstring& path,
                  PFillFindData fill, PDOKAN_FILE_INFO fileInfo) {
    const tarvo::Names names = drive_paths::Split(path);
    const tarvo::IdPath ids = store.ResolvePath(names);
    if (ids.size() != names.size()) {
        return;  // the folder is gone: it lists nothing rather than some folder above it
    }
    const auto children = store.ListChildren(ids);
    tarvo::BrowserItemInfo child;
    while (children->Next(child)) {
        if (!child.IsVisible() || child.name.size() > kMaxListedNameLength) {
            continue;
        }
        if (const auto open = drive.openDocuments.find(child.id)) {
            open->describe(child);  // what the handles see, not what was uploaded last
        }
        WIN32_FIND_DATAW record{};
        FillCommon(child, record);
        std::copy(child.name.begin(), child.name.end(), record.cFileName);
        fill(&record, fileInfo);
    }
}

// The item as every handle of the drive now sees it: an open document's size and times are those
// of its working state (also through a handle of a document deleted meanwhile).
tarvo::BrowserItemInfo LiveInfo(KelvoFileSystem& drive, FileContext& context) {
    std::shared_ptr<OpenDocument> document;
    tarvo::BrowserItemInfo item;
    {
        std::lock_guard<std::mutex> lock(context.mutex);
        item = context.info;
        document = context.document;
    }
    if (!document && !item.IsFolder()) {
        document = drive.openDocuments.find(item.id);
    }
    if (document) {
        document->describe(item);
    }
    return item;
}

NTSTATUS DeleteFolder(tarvo::IItemStore& store, const std::wstring& path) {
    try {
        const tarvo::Names names = drive_paths::Split(path);
        const tarvo::IdPath ids = store.ResolvePath(names);
        if (ids.size() != names.size()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (ids.size() < 2) {
            return STATUS_ACCESS_DENIED;  // the root stays
        }
        return DeleteFolderAt(store, ids);
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
        return STATUS_ACCESS_DENIED;
    }
}

NTSTATUS CheckFolderDeletable(tarvo::IItemStore& store, const std::wstring& path) {
    try {
        const tarvo::Names names = drive_paths::Split(path);
        const tarvo::IdPath ids = store.ResolvePath(names);
        if (ids.size() != names.size()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        tarvo::BrowserItemInfo child;
        if (ids.size() < 2) {
            return STATUS_ACCESS_DENIED;  // the root stays
        }
        return store.ListChildren(ids)->Next(child) ? STATUS_DIRECTORY_NOT_EMPTY : STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
        return STATUS_ACCESS_DENIED;
    }
}

void UndoRename(tarvo::IItemStore& store, const tarvo::IdPath& item, const std::wstring& name) {
    try {
        store.RenameItem(item, name);
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetErrorCode() << error.GetMessage();
    }
}

// Gives the item its new name and parent: rename first, then move. When the new name is taken in
// the item's present folder only, the move goes first. A step that fails undoes the one before.
void RenameAndMove(tarvo::IItemStore& store, const tarvo::IdPath& item, const std::wstring& oldName,
                   const std::wstring& newName, const tarvo::IdPath& newParent,
                   bool changesFolder) {
    const bool renames = newName != oldName;
    if (!changesFolder) {
        if (renames) {
            store.RenameItem(item, newName);
        }
        return;
    }
    if (renames) {
        try {
            store.RenameItem(item, newName);
        } catch (const tarvo::TarvoError& error) {
            if (error.GetErrorCode() != tarvo::errc::NameCollision) {
                throw;
            }
            const tarvo::IdPath oldParent(item.begin(), item.end() - 1);
            tarvo::IdPath moved = newParent;
            moved.push_back(item.back());
            store.MoveItem(item, newParent);
            try {
                store.RenameItem(moved, newName);
            } catch (const tarvo::TarvoError&) {
                try {
                    store.MoveItem(moved, oldParent);
                } catch (const tarvo::TarvoError& undo) {
                    KELVO_DRIVE_LOG(logging::kError) << undo.GetErrorCode() << undo.GetMessage();
                }
                throw;
            }
            return;
        }
    }
    try {
        store.MoveItem(item, newParent);
    } catch (const tarvo::TarvoError&) {
        if (renames) {
            UndoRename(store, item, oldName);
        }
        throw;
    }
}

// A save by renaming over a document: the target keeps its id, versions, record and place and
// gains the source's content as its newest version; the source goes. One step in the repository,
// so that no half-done state is ever visible.
// Handles that hold either document open keep what they have (the target's old content, the
// source's content), and nothing is uploaded for them any more.
NTSTATUS SaveOver(KelvoFileSystem& drive, const std::shared_ptr<tarvo::IItemStore>& storeHolder,
                  FileContext& context, const tarvo::IdPath& source, const tarvo::IdPath& target,
                  const std::wstring& targetName) {
    tarvo::IItemStore& store = *storeHolder;
    std::wstring sourceName;
    {
        std::lock_guard<std::mutex> lock(context.mutex);
        sourceName = context.info.name;
    }
    // What the source's handles changed and did not upload yet is part of the save: the cut of a
    // truncating open that nothing followed, a change whose handle's end has not reached us.
    if (const std::shared_ptr<OpenDocument> changed = drive.openDocuments.find(source.back())) {
        const NTSTATUS uploaded = UploadChanges(storeHolder, *changed, sourceName);
        if (uploaded != STATUS_SUCCESS) {
            return uploaded;
        }
    }
    tarvo::VersionNumber version = 0;
    try {
        drive.openDocuments.prepareDeletion(storeHolder, target.back());
        drive.openDocuments.prepareDeletion(storeHolder, source.back());
        version = store.ReplaceDocument(source, target, L"");
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() != tarvo::errc::LockedByOther) {
            throw;
        }
        // The message names the holder: what the refused user needs to know.
        KELVO_DRIVE_LOG(logging::kWarning) << L"«" << sourceName << L"» was not saved over «"
                                           << targetName << L"»: " << error.GetMessage();
        return STATUS_ACCESS_DENIED;
    }
    drive.openDocuments.markDeleted(target.back());
    drive.openDocuments.markDeleted(source.back());
    KELVO_DRIVE_LOG(logging::kInfo) << L"«" << sourceName << L"» was saved over «" << targetName
                                    << L"» as its version " << version;
    // The handle now stands for the document it was saved into; the source's edit lock went with
    // the source.
    try {
        tarvo::BrowserItemInfo saved = store.GetItemInfo(target);
        std::lock_guard<std::mutex> lock(context.mutex);
        context.info = std::move(saved);
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
    }
    return STATUS_SUCCESS;
}

// Renames and moves the item into the place of an empty folder, which goes. Should the move fail,
// an empty folder of that name is put back.
NTSTATUS ReplaceEmptyFolder(tarvo::IItemStore& store, const tarvo::IdPath& folder,
                            const std::function<void()>& moveItem, const tarvo::IdPath& parent,
                            const std::wstring& name) {
    const NTSTATUS status = DeleteFolderAt(store, folder);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    try {
        moveItem();
    } catch (const tarvo::TarvoError&) {
        try {
            store.CreateFolders(parent, {name});
        } catch (const tarvo::TarvoError& undo) {
            KELVO_DRIVE_LOG(logging::kError) << undo.GetErrorCode() << undo.GetMessage();
        }
        throw;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Move(KelvoFileSystem& drive, const std::shared_ptr<tarvo::IItemStore>& storeHolder,
              FileContext& context, const std::wstring& newPath, bool replaceIfExisting) {
    tarvo::IItemStore& store = *storeHolder;
    const tarvo::Names names = drive_paths::Split(newPath);
    if (names.size() < 2) {
        return STATUS_ACCESS_DENIED;  // nothing takes the root's place
    }
    if (drive_paths::IsServiceFile(newPath)) {
        return STATUS_CANNOT_DELETE;  // nor the service file's
    }
    const tarvo::IdPath resolved = store.ResolvePath(names);
    const bool targetExists = resolved.size() == names.size();
    if (targetExists && !replaceIfExisting) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (resolved.size() + 1 < names.size()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;  // the new parent folder does not exist
    }
    const tarvo::IdPath source = store.GetItemPath(context.info);
    if (source.size() < 2) {
        return STATUS_ACCESS_DENIED;  // the root does not move
    }
    if (targetExists && resolved.back() == source.back()) {
        return STATUS_SUCCESS;  // already there under that name
    }
    const tarvo::IdPath sourceParent(source.begin(), source.end() - 1);
    const tarvo::IdPath targetParent(resolved.begin(), resolved.begin() + (names.size() - 1));
    if (std::find(targetParent.begin(), targetParent.end(), source.back()) != targetParent.end()) {
        return STATUS_ACCESS_DENIED;  // a folder does not move into itself
    }
    std::wstring oldName;
    {
        std::lock_guard<std::mutex> lock(context.mutex);
        oldName = context.info.name;
    }
    const auto moveItem = [&] {
        RenameAndMove(store, source, oldName, names.back(), targetParent,
                      targetParent != sourceParent);
    };
    if (targetExists) {
        const bool targetIsFolder = store.GetItemInfo(resolved).IsFolder();
        if (targetIsFolder != context.info.IsFolder()) {
            return targetIsFolder ? STATUS_FILE_IS_A_DIRECTORY : STATUS_NOT_A_DIRECTORY;
        }
        if (!targetIsFolder) {
            return SaveOver(drive, storeHolder, context, source, resolved, names.back());
        }
        const NTSTATUS status =
            ReplaceEmptyFolder(store, resolved, moveItem, targetParent, names.back());
        if (status != STATUS_SUCCESS) {
            return status;
        }
    } else {
        moveItem();
    }
    std::lock_guard<std::mutex> lock(context.mutex);
    context.info.name = names.back();
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS DeleteFolderAt(tarvo::IItemStore& store, const tarvo::IdPath& folder) {
    try {
        tarvo::BrowserItemInfo child;
        if (store.ListChildren(folder)->Next(child)) {
            return STATUS_DIRECTORY_NOT_EMPTY;
        }
        store.DeleteItem(folder);
        return STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
        return STATUS_ACCESS_DENIED;
    }
}

void DeleteDocumentAt(KelvoFileSystem& drive, const std::shared_ptr<tarvo::IItemStore>& store,
                      const tarvo::IdPath& document) {
    try {
        drive.openDocuments.prepareDeletion(store, document.back());
        store->DeleteItem(document);
        drive.openDocuments.markDeleted(document.back());
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
    }
}

namespace operations {

NTSTATUS GetFileInformation(LPCWSTR fileName, LPBY_HANDLE_FILE_INFORMATION buffer,
                            PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"GetFileInformation", STATUS_ACCESS_DENIED, [&] {
        if (drive_paths::IsServiceFile(fileName ? fileName : L"")) {
            std::uint64_t size = 0;
            try {
                size = ServiceFileSize(RequireRepository(DriveOf(fileInfo))->GetRepositoryName());
            } catch (const tarvo::TarvoError& error) {
                // Described as the empty content that ReadFile serves then.
                KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
            }
            *buffer = BY_HANDLE_FILE_INFORMATION{};
            buffer->dwFileAttributes = FILE_ATTRIBUTE_HIDDEN;
            buffer->nFileSizeHigh = static_cast<DWORD>(size >> 32);
            buffer->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
            buffer->nNumberOfLinks = 1;
            return STATUS_SUCCESS;
        }
        FileContext* context = ContextOf(fileInfo);
        if (!context) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        *buffer = BY_HANDLE_FILE_INFORMATION{};
        FillCommon(LiveInfo(DriveOf(fileInfo), *context), *buffer);
        buffer->dwVolumeSerialNumber = 0;
        buffer->nNumberOfLinks = 1;
        buffer->nFileIndexHigh = 0;
        buffer->nFileIndexLow = 0;
        return STATUS_SUCCESS;
    });
}

NTSTATUS FindFiles(LPCWSTR pathName, PFillFindData fillFindData, PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"FindFiles", STATUS_SUCCESS, [&] {
        KelvoFileSystem& drive = DriveOf(fileInfo);
        const std::shared_ptr<tarvo::IItemStore> store = ItemStoreOf(drive);
        const std::wstring path = pathName ? pathName : L"";
        try {
            if (drive_paths::IsRoot(path)) {
                ListServiceFile(drive, fillFindData, fileInfo);
            }
            ListChildren(drive, *store, path, fillFindData, fileInfo);
        } catch (const tarvo::TarvoError& error) {
            // What was listed before the error stands.
            if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
                KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
            }
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS DeleteFile(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"DeleteFile", STATUS_ACCESS_DENIED, [&] {
        if (drive_paths::IsServiceFile(fileName ? fileName : L"")) {
            return STATUS_CANNOT_DELETE;
        }
        FileContext* context = ContextOf(fileInfo);
        if (!context) {
            return STATUS_SUCCESS;
        }
        if (context->info.IsFolder()) {
            return STATUS_ACCESS_DENIED;
        }
        // A document that another link is editing is refused now, while the program can still be
        // told; holding its edit lock until cleanup keeps anyone from taking it meanwhile.
        KelvoFileSystem& drive = DriveOf(fileInfo);
        return AttachDocument(drive, *ItemStoreOf(drive), *context, OpenDocuments::Role::Writer);
    });
}

NTSTATUS DeleteDirectory(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"DeleteDirectory", STATUS_ACCESS_DENIED, [&] {
        tarvo::IItemStore& store = *ItemStoreOf(DriveOf(fileInfo));
        const std::wstring path = fileName ? fileName : L"";
        if (fileInfo->DeleteOnClose) {
            return DeleteFolder(store, path);
        }
        // Asked before the handle is marked for deletion (the FUSE layer marks it only after a
        // successful answer): say whether the delete could be carried out, so that a folder
        // that is not empty is refused here rather than silently kept at cleanup.
        return CheckFolderDeletable(store, path);
    });
}

NTSTATUS MoveFile(LPCWSTR fileName, LPCWSTR newFileName, BOOL replaceIfExisting,
                  PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"MoveFile", STATUS_ACCESS_DENIED, [&] {
        if (drive_paths::IsServiceFile(fileName ? fileName : L"")) {
            return STATUS_CANNOT_DELETE;
        }
        FileContext* context = ContextOf(fileInfo);
        if (!context) {
            return STATUS_ACCESS_DENIED;
        }
        const std::shared_ptr<tarvo::IItemStore> store = ItemStoreOf(DriveOf(fileInfo));
        try {
            return Move(DriveOf(fileInfo), store, *context, newFileName ? newFileName : L"",
                        replaceIfExisting != 0);
        } catch (const tarvo::TarvoError& error) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetErrorCode() << error.GetMessage();
            return error.GetErrorCode() == tarvo::errc::NameCollision ? STATUS_OBJECT_NAME_COLLISION
                                                                      : STATUS_ACCESS_DENIED;
        }
    });
}

}  // namespace operations
}  // namespace drive
