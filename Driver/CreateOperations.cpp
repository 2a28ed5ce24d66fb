// Opening and creating files and folders, the edit lock of writing handles, and the end of a
// handle.
#include "DriveOperations_p.h"
#include "DrivePaths.h"

#include <boost/uuid/uuid_io.hpp>

namespace drive {
namespace {

// One open request, with what the opener asked for in the user-mode terms.
struct OpenRequest {
    KelvoFileSystem& drive;
    tarvo::IItemStore& store;
    const std::wstring& path;
    DWORD disposition;
    bool writeAccess;
    bool contentAccess;  // reads or writes content, not only attributes
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

void GiveLockBack(tarvo::IItemStore& store, const tarvo::BrowserItemInfo& item);

// The steps an open of a file may take, in the order each disposition names them.
class FileOpen {
public:
    FileOpen(const OpenRequest& request, std::unique_ptr<FileContext> existing)
        : m_request(request), m_context(std::move(existing)) {}

    bool exists() const { return m_context != nullptr; }

    // Creates the document; false (with the status in `outcome`) when it could not be. When the
    // opener goes on as a writer, the document is created with its edit lock taken, in one step:
    // the writer's attach then finds the lock this link's already.
    bool create(OpenOutcome& outcome, bool truncates = false) {
        m_createdLocked = m_request.writeAccess || truncates;
        const NTSTATUS status =
            CreateDocument(m_request.store, m_request.path, m_context,
                           m_createdLocked ? CreateFor::Editing : CreateFor::Reading);
        if (status != STATUS_SUCCESS) {
            outcome = Refuse(status);
            return false;
        }
        return true;
    }

    // Joins the document's open state: as a writer (sharing its edit lock, taken when the
    // document has none yet) when the opener wants to write or truncate, as a reader when it
    // wants content. False (with the status in `outcome`) when refused.
    bool attach(OpenOutcome& outcome, bool truncates = false) {
        const bool writer = m_request.writeAccess || truncates;
        if (!writer && !m_request.contentAccess) {
            return true;
        }
        const NTSTATUS status =
            AttachDocument(m_request.drive, m_request.store, *m_context,
                           writer ? OpenDocuments::Role::Writer : OpenDocuments::Role::Reader);
        if (status != STATUS_SUCCESS) {
            if (m_createdLocked) {
                // No writer came to hold the lock that the creation took.
                GiveLockBack(m_request.store, m_context->info);
            }
            outcome = Refuse(status);
            return false;
        }
        return true;
    }

    // Cuts the document to nothing; false (with the status) when the cache file fails.
    bool truncate(OpenOutcome& outcome) {
        try {
            m_context->document->resize(0);
            m_context->changed = true;
            m_context->onlyCutAtOpen = true;
            return true;
        } catch (const std::system_error& error) {
            KELVO_DRIVE_LOG(logging::kError) << L"The drive's cache file failed: " << error.what();
            outcome = Refuse(StatusOf(error));
            return false;
        }
    }

    OpenOutcome keep(NTSTATUS status) { return {status, std::move(m_context)}; }

private:
    const OpenRequest& m_request;
    std::unique_ptr<FileContext> m_context;
    bool m_createdLocked = false;
};

OpenOutcome OpenFile(const OpenRequest& request, std::unique_ptr<FileContext> existing) {
    FileOpen open(request, std::move(existing));
    OpenOutcome refused{STATUS_SUCCESS, nullptr};
    switch (request.disposition) {
        case CREATE_NEW:
            if (open.exists()) {
                return Refuse(STATUS_OBJECT_NAME_COLLISION);
            }
            if (!open.create(refused) || !open.attach(refused)) {
                return refused;
            }
            return open.keep(STATUS_SUCCESS);
        case CREATE_ALWAYS: {
            const bool existed = open.exists();
            if ((!existed && !open.create(refused, true)) || !open.attach(refused, true) ||
                !open.truncate(refused)) {
                return refused;
            }
            return open.keep(existed ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS);
        }
        case OPEN_EXISTING:
            if (!open.exists()) {
                return Refuse(STATUS_OBJECT_NAME_NOT_FOUND);
            }
            if (!open.attach(refused)) {
                return refused;
            }
            return open.keep(STATUS_SUCCESS);
        case OPEN_ALWAYS: {
            const bool existed = open.exists();
            if ((!existed && !open.create(refused)) || !open.attach(refused)) {
                return refused;
            }
            return open.keep(existed ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS);
        }
        case TRUNCATE_EXISTING:
            if (!open.exists()) {
                return Refuse(STATUS_OBJECT_NAME_NOT_FOUND);
            }
            // The lock first: a refused opener must not cut what the others see.
            if (!open.attach(refused, true) || !open.truncate(refused)) {
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

// A handle opened for deletion deletes the item it opened, whatever lies at its path by now.
void DeleteOnClose(KelvoFileSystem& drive, const std::shared_ptr<tarvo::IItemStore>& store,
                   const FileContext& context, bool isDirectory) {
    try {
        const tarvo::IdPath ids = store->GetItemPath(context.info);
        if (ids.size() < 2) {
            return;  // the root stays
        }
        if (isDirectory) {
            DeleteFolderAt(*store, ids);
        } else {
            DeleteDocumentAt(drive, store, ids);
        }
    } catch (const tarvo::TarvoError& error) {
        if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
    }
}

void GiveLockBack(tarvo::IItemStore& store, const tarvo::BrowserItemInfo& item) {
    try {
        store.Unlock(store.GetItemPath(item));
    } catch (const tarvo::TarvoError& error) {
        // The lock went with a deleted document; otherwise only the lock stays behind: the
        // content was uploaded or kept already.
        if (error.GetErrorCode() != tarvo::errc::ItemNotFound) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
    }
}

void GiveLockBack(tarvo::IItemStore& store, const OpenDocument& document) {
    tarvo::BrowserItemInfo item;
    item.id = document.id();
    GiveLockBack(store, item);
}

// The end of a handle: its share of its document is given up; what changed through it (or what
// the last writer leaves) is uploaded, content that cannot be uploaded and that no writer remains
// to retry is kept in the recovery folder, and the last writer gives the edit lock back. A handle
// opened for deletion deletes its item first; the document is then not uploaded.
void EndHandle(KelvoFileSystem& drive, const std::shared_ptr<tarvo::IItemStore>& store,
               FileContext& context, bool deleteOnClose, bool isDirectory) {
    std::shared_ptr<OpenDocument> document;
    bool writer = false;
    bool changed = false;
    tarvo::BrowserItemInfo item;
    {
        std::lock_guard<std::mutex> lock(context.mutex);
        document = std::move(context.document);
        writer = context.writer;
        changed = context.changed;
        item = context.info;
    }
    // Left first, so that the delete fetches the content only for the handles that remain.
    const OpenDocument::Departure departure =
        document ? document->leave(writer) : OpenDocument::Departure{};
    if (deleteOnClose) {
        DeleteOnClose(drive, store, context, isDirectory);
    }
    if (!document) {
        return;
    }
    const bool lastToRetry = departure.writersLeft == 0;
    if (document->changes().any() && !document->deleted() &&
        (changed || lastToRetry || departure.handlesLeft == 0)) {
        std::wstring failure;
        if (UploadChanges(store, *document, item.name, &failure) != STATUS_SUCCESS && lastToRetry) {
            ReportUnsentContent(drive, store, *document, item, failure);
        }
    }
    if (departure.releasesLock) {
        // Also for a document replaced by a rename: it still exists, with this link's lock --
        // unless a newer state of it, opened for writing since, holds that same lock now.
        const std::shared_ptr<OpenDocument> newer = drive.openDocuments.find(document->id());
        if (!newer || newer == document || !newer->holdsLock()) {
            GiveLockBack(*store, *document);
        }
        document->lockReleased();
    }
    document.reset();
    drive.openDocuments.forget(item.id);
}

}  // namespace

NTSTATUS AttachDocument(KelvoFileSystem& drive, tarvo::IItemStore& store, FileContext& context,
                        OpenDocuments::Role role) {
    std::lock_guard<std::mutex> lock(context.mutex);
    const bool writer = role == OpenDocuments::Role::Writer;
    if (context.writer || (context.document && !writer)) {
        return STATUS_SUCCESS;
    }
    try {
        OpenDocuments::Opened opened = drive.openDocuments.open(store, context.info, role);
        if (opened.status != STATUS_SUCCESS) {
            if (!opened.holder.empty()) {
                drive.notify({DriveNotice::Kind::EditRefused, context.info.name, opened.holder});
            }
            return opened.status;
        }
        if (context.document) {
            context.document->leave(false);  // a reader until now
        }
        context.document = std::move(opened.document);
        context.writer = writer;
        return STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return error.GetErrorCode() == tarvo::errc::NotConnected ? StatusOf(error)
                                                                 : STATUS_ACCESS_DENIED;
    } catch (const std::system_error& error) {
        KELVO_DRIVE_LOG(logging::kError) << L"The drive's cache file failed: " << error.what();
        return StatusOf(error);
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
        const OpenRequest request{
            drive,
            *store,
            path,
            disposition,
            (desiredAccess & FILE_WRITE_DATA) != 0,
            (desiredAccess & (FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0,
            fileInfo};
        OpenOutcome outcome = Open(request, createOptions);
        if (outcome.context && (createOptions & FILE_WRITE_THROUGH) != 0) {
            outcome.context->writeThrough = true;  // set before any other thread can see it
        }
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
        const std::shared_ptr<tarvo::IItemStore> store = ItemStoreForCleanup(drive);
        // The handle gives its context up now, so that it is freed however the rest ends.
        std::unique_ptr<FileContext> context = TakeContext(fileInfo);
        const bool isDirectory = fileInfo->IsDirectory != 0;
        EndHandle(drive, store, *context, fileInfo->DeleteOnClose != 0, isDirectory);
        return STATUS_SUCCESS;
    });
}

void CloseFile(LPCWSTR, PDOKAN_FILE_INFO) {
    // Cleanup has already freed the context.
}

}  // namespace operations
}  // namespace drive
