// Opening and creating files and folders, the edit lock of writing handles, and the end of a
// handle.
#include "DriveOperations_p.h"
#include "DrivePaths.h"
#include "RecoveryFolder.h"

#include <boost/uuid/uuid_io.hpp>

namespace drive {
namespace {

// One open request, with what the opener asked for in the user-mode terms.
struct OpenRequest {
    tarvo::IItemStore& store;
    const std::wstring& path;
    DWORD disposition;
    bool writeAccess;
    PDOKAN_FILE_INFO fileInfo;
};

// What an open ends with: its status, and the context the handle keeps (null when it keeps none;
// a context that is not kept is freed, so a failed open never leaves one behind).
struct OpenOutcome {
    NTSTATUS status;
    std::unique_ptr<FileContext> context;
};

OpenOutcome Refuse(NTSTATUS status) {
    return {status, nullptr};
}

OpenOutcome OpenDirectory(const OpenRequest& request, std::unique_ptr<FileContext> existing) {
    const bool exists = existing != nullptr;
    switch (request.disposition) {
        case CREATE_NEW:
        case OPEN_ALWAYS: {
            if (!exists) {
                auto created = CreateFolder(request.store, request.path);
                const NTSTATUS status = created ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
                return {status, std::move(created)};
            }
            if (request.disposition == CREATE_NEW) {
                return Refuse(STATUS_OBJECT_NAME_COLLISION);
            }
            // An open-always of an existing folder succeeds (with the driver's "it existed"
            // status); a document is not opened as a folder.
            if (!existing->info.IsFolder()) {
                return Refuse(STATUS_NOT_A_DIRECTORY);
            }
            return {STATUS_OBJECT_NAME_COLLISION, std::move(existing)};
        }
        default:
            if (!exists) {
                return Refuse(STATUS_OBJECT_NAME_NOT_FOUND);
            }
            if (!existing->info.IsFolder()) {
                return Refuse(STATUS_NOT_A_DIRECTORY);
            }
            return {STATUS_SUCCESS, std::move(existing)};
    }
}

// The steps an open of a file may take, in the order each disposition names them.
class FileOpen {
public:
    FileOpen(const OpenRequest& request, std::unique_ptr<FileContext> existing)
        : m_request(request), m_context(std::move(existing)) {}

    bool exists() const { return m_context != nullptr; }

    // Creates the document; false (with the status in `outcome`) when it could not be.
    bool create(OpenOutcome& outcome) {
        const NTSTATUS status = CreateDocument(m_request.store, m_request.path, m_context);
        if (status != STATUS_SUCCESS) {
            outcome = Refuse(status);
            return false;
        }
        return true;
    }

    // Takes the edit lock when the opener wants to write; false (with the status) when refused.
    bool lock(OpenOutcome& outcome) {
        if (!m_request.writeAccess) {
            return true;
        }
        const NTSTATUS status =
            AcquireEditLock(DriveOf(m_request.fileInfo), m_request.store, *m_context);
        if (status != STATUS_SUCCESS) {
            outcome = Refuse(status);
            return false;
        }
        return true;
    }

    void truncate() { m_context->pending.emplace(); }

    OpenOutcome keep(NTSTATUS status) { return {status, std::move(m_context)}; }

private:
    const OpenRequest& m_request;
    std::unique_ptr<FileContext> m_context;
};

OpenOutcome OpenFile(const OpenRequest& request, std::unique_ptr<FileContext> existing) {
    FileOpen open(request, std::move(existing));
    OpenOutcome refused{STATUS_SUCCESS, nullptr};
    switch (request.disposition) {
        case CREATE_NEW:
            if (open.exists()) {
                return Refuse(STATUS_OBJECT_NAME_COLLISION);
            }
            if (!open.create(refused) || !open.lock(refused)) {
                return refused;
            }
            return open.keep(STATUS_SUCCESS);
        case CREATE_ALWAYS: {
            const bool existed = open.exists();
            if ((!existed && !open.create(refused)) || !open.lock(refused)) {
                return refused;
            }
            open.truncate();
            return open.keep(existed ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS);
        }
        case OPEN_EXISTING:
            if (!open.exists()) {
                return Refuse(STATUS_OBJECT_NAME_NOT_FOUND);
            }
            if (!open.lock(refused)) {
                return refused;
            }
            return open.keep(STATUS_SUCCESS);
        case OPEN_ALWAYS: {
            const bool existed = open.exists();
            if ((!existed && !open.create(refused)) || !open.lock(refused)) {
                return refused;
            }
            return open.keep(existed ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS);
        }
        case TRUNCATE_EXISTING:
            if (!open.exists()) {
                return Refuse(STATUS_OBJECT_NAME_NOT_FOUND);
            }
            open.truncate();
            if (!open.lock(refused)) {
                return refused;
            }
            return open.keep(STATUS_SUCCESS);
        default:
            return open.keep(STATUS_SUCCESS);
    }
}

OpenOutcome Open(const OpenRequest& request, ULONG createOptions) {
    std::unique_ptr<FileContext> existing = Resolve(request.store, request.path);
    if (existing) {
        if (existing->info.IsFolder()) {
            if (createOptions & FILE_NON_DIRECTORY_FILE) {
                return Refuse(STATUS_FILE_IS_A_DIRECTORY);
            }
            request.fileInfo->IsDirectory = TRUE;
        } else {
            try {
                if (!request.store.CanOpen(existing->info)) {
                    return Refuse(STATUS_ACCESS_DENIED);
                }
            } catch (const tarvo::TarvoError& error) {
                KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
                return Refuse(STATUS_OBJECT_NAME_NOT_FOUND);
            }
        }
    }
    return request.fileInfo->IsDirectory ? OpenDirectory(request, std::move(existing))
                                         : OpenFile(request, std::move(existing));
}

// Content that could not be uploaded when its handle ended goes to the recovery folder, and the
// log says where.
void KeepUnsentContent(KelvoFileSystem& drive, FileContext& context) {
    std::lock_guard<std::mutex> lock(context.mutex);
    if (!context.pending) {
        return;
    }
    const std::wstring document =
        L"\"" + context.info.name + L"\" (" + boost::uuids::to_wstring(context.info.id) + L")";
    try {
        const std::filesystem::path saved =
            recovery_folder::Save(context.info, context.pending->data(), context.pending->size());
        KELVO_DRIVE_LOG(logging::kError)
            << L"The content written to " << document
            << L" could not be uploaded to the repository; it was saved to the file "
            << saved.wstring() << L"\n";
        drive.notify({DriveNotice::Kind::UploadFailed, context.info.name,
                      L"Копия сохранена в файле " + saved.wstring()});
    } catch (const std::exception& error) {
        KELVO_DRIVE_LOG(logging::kError)
            << L"The content written to " << document << L" (" << context.pending->size()
            << L" bytes) could not be uploaded to the repository, nor saved in "
            << recovery_folder::Location().wstring() << L": " << error.what() << L"\n";
        drive.notify({DriveNotice::Kind::UploadFailed, context.info.name,
                      L"Сохранить копию в папке " + recovery_folder::Location().wstring() +
                          L" тоже не удалось. Подробности в журнале программы."});
    }
}

// A handle opened for deletion deletes the item it opened, whatever lies at its path by now.
void DeleteOnClose(tarvo::IItemStore& store, const FileContext& context, bool isDirectory) {
    try {
        const tarvo::IdPath ids = store.GetItemPath(context.info);
        if (ids.size() < 2) {
            return;  // the root stays
        }
        if (isDirectory) {
            DeleteFolderAt(store, ids);
        } else {
            DeleteDocumentAt(store, ids);
        }
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
    }
}

}  // namespace

NTSTATUS AcquireEditLock(KelvoFileSystem& drive, tarvo::IItemStore& store, FileContext& context) {
    if (context.editLockHeld) {
        return STATUS_SUCCESS;
    }
    try {
        const tarvo::IdPath ids = store.GetItemPath(context.info);
        std::wstring holder;
        if (store.LockForEdit(ids, holder) == tarvo::lock_state::kHeldByOther) {
            // Who has it is what the refused user needs to know.
            KELVO_DRIVE_LOG(logging::kWarning)
                << L"Документ «" << context.info.name
                << L"» открыт для изменения другим пользователем: " << holder;
            drive.notify({DriveNotice::Kind::EditRefused, context.info.name, holder});
            return STATUS_ACCESS_DENIED;
        }
        context.editLockHeld = true;
        return STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return STATUS_ACCESS_DENIED;
    }
}

NTSTATUS ReleaseEditLock(tarvo::IItemStore& store, FileContext& context) {
    if (!context.editLockHeld) {
        return STATUS_SUCCESS;
    }
    try {
        store.Unlock(store.GetItemPath(context.info));
        context.editLockHeld = false;
        return STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() == tarvo::errc::ItemNotFound) {
            context.editLockHeld = false;  // the lock went with the document
            return STATUS_SUCCESS;
        }
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return STATUS_ACCESS_DENIED;
    }
}

namespace operations {

NTSTATUS ZwCreateFile(LPCWSTR fileName, PDOKAN_IO_SECURITY_CONTEXT, ACCESS_MASK desiredAccess,
                      ULONG fileAttributes, ULONG, ULONG createDisposition, ULONG createOptions,
                      PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"ZwCreateFile", STATUS_ACCESS_DENIED, [&] {
        DWORD disposition = 0;
        DokanMapKernelToUserCreateFileFlags(desiredAccess, fileAttributes, createOptions,
                                            createDisposition, nullptr, nullptr, &disposition);
        KelvoFileSystem& drive = DriveOf(fileInfo);
        if (!EnsureConnected(drive)) {
            // The link is gone for good: the drive takes itself down.
            DokanRemoveMountPoint(fileInfo->DokanOptions->MountPoint);
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        const std::wstring path = fileName ? fileName : L"";
        if (drive_paths::IsServiceFile(path)) {
            return STATUS_SUCCESS;
        }
        if (drive_paths::IsSystemFolder(path)) {
            return STATUS_NO_SUCH_FILE;
        }
        if (path.size() > drive_paths::kMaxPathLength) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const std::shared_ptr<tarvo::IItemStore> store = ItemStoreOf(drive);
        const OpenRequest request{*store, path, disposition, (desiredAccess & FILE_WRITE_DATA) != 0,
                                  fileInfo};
        OpenOutcome outcome = Open(request, createOptions);
        StoreContext(fileInfo, std::move(outcome.context));
        return outcome.status;
    });
}

void Cleanup(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo) {
    Guarded(L"Cleanup", STATUS_SUCCESS, [&] {
        if (drive_paths::IsServiceFile(fileName ? fileName : L"")) {
            fileInfo->Context = 0;
            return STATUS_SUCCESS;
        }
        if (!ContextOf(fileInfo)) {
            return STATUS_SUCCESS;
        }
        KelvoFileSystem& drive = DriveOf(fileInfo);
        const std::shared_ptr<tarvo::IItemStore> store = ItemStoreOf(drive);
        // The handle gives its context up now, so that it is freed however the rest ends.
        std::unique_ptr<FileContext> context = TakeContext(fileInfo);
        const bool isDirectory = fileInfo->IsDirectory != 0;
        if (!isDirectory) {
            UploadPending(drive, *store, *context);
            KeepUnsentContent(drive, *context);
            std::lock_guard<std::mutex> lock(context->mutex);
            ReleaseEditLock(*store, *context);
        }
        if (fileInfo->DeleteOnClose) {
            DeleteOnClose(*store, *context, isDirectory);
        }
        const tarvo::ItemId item = context->info.id;
        context.reset();
        if (!isDirectory) {
            PruneCacheEntry(drive, item);
        }
        return STATUS_SUCCESS;
    });
}

void CloseFile(LPCWSTR, PDOKAN_FILE_INFO) {
    // Cleanup has already freed the context.
}

}  // namespace operations
}  // namespace drive
