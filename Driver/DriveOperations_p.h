#pragma once

// What the drive's operations share: finding the drive and the file context of a request, the
// repository link, item resolution and creation, content transfer, and the guard that keeps every
// exception inside an operation.

#include "DriveLog_p.h"
#include "FSDriver.h"
#include "FileContext.h"

#include <dokan/dokan.h>
#include <tarvo/core.h>

#include <exception>
#include <memory>
#include <string>
#include <system_error>

namespace drive {

inline KelvoFileSystem& DriveOf(PDOKAN_FILE_INFO fileInfo) {
    return *reinterpret_cast<KelvoFileSystem*>(fileInfo->DokanOptions->GlobalContext);
}

// Null also for a handle of the version history (tagged in its lowest bit, VersionHistory_p.h),
// which is no FileContext.
inline FileContext* ContextOf(PDOKAN_FILE_INFO fileInfo) {
    if (fileInfo->Context & 1) {
        return nullptr;
    }
    return reinterpret_cast<FileContext*>(fileInfo->Context);
}

// Hands the context to the handle (or clears it when null).
inline void StoreContext(PDOKAN_FILE_INFO fileInfo, std::unique_ptr<FileContext> context) {
    fileInfo->Context = reinterpret_cast<ULONG64>(context.release());
}

// Takes the context back from the handle, which is left without one.
inline std::unique_ptr<FileContext> TakeContext(PDOKAN_FILE_INFO fileInfo) {
    std::unique_ptr<FileContext> context(ContextOf(fileInfo));
    fileInfo->Context = 0;
    return context;
}

// --- The repository link (FSDriver.cpp) --------------------------------------------------------

// Connects with the drive's connection record and stores the link and its item store. Throws what
// the core throws.
void Connect(KelvoFileSystem& drive);

// Probes the link and re-establishes it when it broke. Null when the drive has no link: it could
// not be re-established, or the storage cleared it (the drive is being unmounted) -- a cleared link
// is never brought back from here.
std::shared_ptr<tarvo::IRepository> EnsureConnected(KelvoFileSystem& drive);

// The drive's current item store, taken once at the entry of an operation. A drive without a link
// (the storage cleared it while the drive is still mounted) answers as a lost link does: the store
// returned then throws TarvoError(NotConnected) from every call, which each operation handles as
// any library error.
std::shared_ptr<tarvo::IItemStore> ItemStoreOf(KelvoFileSystem& drive);
// The item store for the end of a handle: the drive's store while the drive has one, also when
// the storage has already cleared the link (the drive is being unmounted), so that what open
// handles hold is still uploaded and their locks given back.
std::shared_ptr<tarvo::IItemStore> ItemStoreForCleanup(KelvoFileSystem& drive);
// The drive's current link; throws TarvoError(NotConnected) when there is none.
std::shared_ptr<tarvo::IRepository> RequireRepository(KelvoFileSystem& drive);

// --- Exceptions ---------------------------------------------------------------------------------

// Logs an exception that an operation did not expect (severity 4). Never throws.
void LogUnexpected(const wchar_t* operation, const std::exception_ptr& error) noexcept;

// Runs the body of an operation; an exception that escapes it is logged and answered with
// `fallback`. Library errors with a status of their own are handled inside the bodies.
template <class Body>
NTSTATUS Guarded(const wchar_t* operation, NTSTATUS fallback, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        LogUnexpected(operation, std::current_exception());
        return fallback;
    }
}

// --- Items (ItemCreation.cpp) ------------------------------------------------------------------

// A context for the item at the path, or null when the path does not resolve completely or the
// library fails (logged).
std::unique_ptr<FileContext> Resolve(tarvo::IItemStore& store, const std::wstring& path);

// For Editing, the document is created with this link's edit lock taken, in one step.
enum class CreateFor { Reading, Editing };

// Creates a document at the path. 0 with the new context; 0xC0000034 when the parent folder does
// not exist; 0xC0000022 when the library fails (logged).
NTSTATUS CreateDocument(tarvo::IItemStore& store, const std::wstring& path,
                        std::unique_ptr<FileContext>& created, CreateFor purpose);

// Creates a folder at the path when its parent exists and it does not; null otherwise or when the
// library fails (logged).
std::unique_ptr<FileContext> CreateFolder(tarvo::IItemStore& store, const std::wstring& path);

// --- Open documents (CreateOperations.cpp) ---------------------------------------------------

// Makes the handle one of its document's readers, or one of its writers (taking the edit lock
// when the drive does not hold it yet; a reader becomes a writer). 0; 0xC0000022 when someone
// else holds the lock or the library fails (logged).
NTSTATUS AttachDocument(KelvoFileSystem& drive, tarvo::IItemStore& store, FileContext& context,
                        OpenDocuments::Role role);

// --- Content (ContentTransfer.cpp) -------------------------------------------------------------

// The one place where failures of content transfer become statuses (and so the errno a program
// gets): disk full 0xC000007F (ENOSPC), edit lock taken or lost 0xC0000022 (EACCES), link lost
// 0xC000020C (EIO), too large 0xC0000904 (EFBIG), anything else 0xC00000E9 (EIO).
NTSTATUS StatusOf(const tarvo::TarvoError& error);
// The same for a failure of the drive's own cache file.
NTSTATUS StatusOf(const std::system_error& error);

// The handle's open document; a handle that has none yet (it opened without asking for content)
// joins it as a reader. 0, or the failure's status (logged).
NTSTATUS DocumentOf(KelvoFileSystem& drive, tarvo::IItemStore& store, FileContext& context,
                    std::shared_ptr<OpenDocument>& document);

// Uploads the document's working content as one new version when it has changes and was not
// deleted. 0 when there was nothing to upload or the upload succeeded; otherwise the
// failure's status, logged, with `failure` (when given) set to its text and the changes kept for
// a later upload. A version once committed counts as uploaded, whatever fails after it.
// Returns once everything the repository link has committed would survive a power loss (what
// fsync, fdatasync and writes through a handle opened with O_SYNC or O_DSYNC wait for); a
// failure gives the status of the library's error.
NTSTATUS MakeDurable(KelvoFileSystem& drive);

NTSTATUS UploadChanges(const std::shared_ptr<tarvo::IItemStore>& store, OpenDocument& document,
                       const std::wstring& name, std::wstring* failure = nullptr);

// Content that could not be uploaded: saved whole to a recovery file, or its loss logged with
// the reason; the user hears of it through the drive's notices. The one place that knows both an
// upload failure and where the content went.
void ReportUnsentContent(KelvoFileSystem& drive, const std::shared_ptr<tarvo::IItemStore>& store,
                         OpenDocument& document, const tarvo::BrowserItemInfo& item,
                         const std::wstring& failure);

// --- Delete (ItemOperations.cpp) ---------------------------------------------------------------

// Deletes the folder at the id path when it is empty: 0, 0xC0000101 when it has children,
// 0xC0000022 when the library fails (code 17 silently, others logged).
NTSTATUS DeleteFolderAt(tarvo::IItemStore& store, const tarvo::IdPath& folder);
// Deletes the document at the id path; library errors are logged. Handles that hold it open keep
// reading and writing what they had (see OpenDocuments::prepareDeletion).
void DeleteDocumentAt(KelvoFileSystem& drive, const std::shared_ptr<tarvo::IItemStore>& store,
                      const tarvo::IdPath& document);

// --- The operations of the table --------------------------------------------------------------

namespace operations {
// CreateOperations.cpp
NTSTATUS ZwCreateFile(LPCWSTR fileName, PDOKAN_IO_SECURITY_CONTEXT securityContext,
                      ACCESS_MASK desiredAccess, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PDOKAN_FILE_INFO fileInfo);
void Cleanup(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo);
void CloseFile(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo);
// ContentOperations.cpp
NTSTATUS ReadFile(LPCWSTR fileName, LPVOID buffer, DWORD bufferLength, LPDWORD readLength,
                  LONGLONG offset, PDOKAN_FILE_INFO fileInfo);
NTSTATUS WriteFile(LPCWSTR fileName, LPCVOID buffer, DWORD numberOfBytesToWrite,
                   LPDWORD numberOfBytesWritten, LONGLONG offset, PDOKAN_FILE_INFO fileInfo);
NTSTATUS FlushFileBuffers(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo);
NTSTATUS SetEndOfFile(LPCWSTR fileName, LONGLONG byteOffset, PDOKAN_FILE_INFO fileInfo);
NTSTATUS SetAllocationSize(LPCWSTR fileName, LONGLONG allocSize, PDOKAN_FILE_INFO fileInfo);
// ItemOperations.cpp
NTSTATUS GetFileInformation(LPCWSTR fileName, LPBY_HANDLE_FILE_INFORMATION buffer,
                            PDOKAN_FILE_INFO fileInfo);
NTSTATUS FindFiles(LPCWSTR pathName, PFillFindData fillFindData, PDOKAN_FILE_INFO fileInfo);
NTSTATUS DeleteFile(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo);
NTSTATUS DeleteDirectory(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo);
NTSTATUS MoveFile(LPCWSTR fileName, LPCWSTR newFileName, BOOL replaceIfExisting,
                  PDOKAN_FILE_INFO fileInfo);
}  // namespace operations

}  // namespace drive
