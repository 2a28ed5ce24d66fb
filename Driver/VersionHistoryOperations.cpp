// The version history in front of the drive's operations: each operation on a history path or
// handle is served here, every other one goes on to the drive's own operation unchanged.
#include "DriveOperations_p.h"
#include "VersionHistory_p.h"

#include <mutex>

namespace drive::history {
namespace {

// The drive's own operations; written once by Around, before any front can be called.
DOKAN_OPERATIONS g_drive{};
std::once_flag g_driveTaken;

const DOKAN_OPERATIONS& Drive() {
    return g_drive;
}

// An operation that would change an item: refused on a history handle.
bool Refused(PDOKAN_FILE_INFO fileInfo) {
    return fileInfo != nullptr && IsHistoryHandle(fileInfo);
}

NTSTATUS ZwCreateFile(LPCWSTR fileName, PDOKAN_IO_SECURITY_CONTEXT securityContext,
                      ACCESS_MASK desiredAccess, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PDOKAN_FILE_INFO fileInfo) {
    const std::wstring path = fileName ? fileName : L"";
    if (MayClaim(path)) {
        bool claimed = true;
        const NTSTATUS status = Guarded(L"ZwCreateFile", STATUS_ACCESS_DENIED, [&] {
            KelvoFileSystem& drive = DriveOf(fileInfo);
            // Without a link the drive's own open decides (it takes the drive down).
            claimed = EnsureConnected(drive) != nullptr;
            if (!claimed) {
                return STATUS_SUCCESS;
            }
            DWORD disposition = 0;
            DokanMapKernelToUserCreateFileFlags(desiredAccess, fileAttributes, createOptions,
                                                createDisposition, nullptr, nullptr, &disposition);
            const std::optional<NTSTATUS> opened = Open(*ItemStoreOf(drive), path, desiredAccess,
                                                        disposition, createOptions, fileInfo);
            claimed = opened.has_value();
            return opened.value_or(STATUS_SUCCESS);
        });
        if (claimed) {
            return status;
        }
    }
    return Drive().ZwCreateFile(fileName, securityContext, desiredAccess, fileAttributes,
                                shareAccess, createDisposition, createOptions, fileInfo);
}

void Cleanup(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo) {
    if (IsHistoryHandle(fileInfo)) {
        Guarded(L"Cleanup", STATUS_SUCCESS, [&] {
            CloseHandle(fileInfo);
            return STATUS_SUCCESS;
        });
        return;
    }
    Drive().Cleanup(fileName, fileInfo);
}

NTSTATUS ReadFile(LPCWSTR fileName, LPVOID buffer, DWORD bufferLength, LPDWORD readLength,
                  LONGLONG offset, PDOKAN_FILE_INFO fileInfo) {
    if (IsHistoryHandle(fileInfo)) {
        *readLength = 0;
        return Guarded(L"ReadFile", STATUS_ACCESS_DENIED, [&] {
            return Read(*ItemStoreOf(DriveOf(fileInfo)), HandleOf(fileInfo), buffer, bufferLength,
                        readLength, offset);
        });
    }
    return Drive().ReadFile(fileName, buffer, bufferLength, readLength, offset, fileInfo);
}

NTSTATUS WriteFile(LPCWSTR fileName, LPCVOID buffer, DWORD numberOfBytesToWrite,
                   LPDWORD numberOfBytesWritten, LONGLONG offset, PDOKAN_FILE_INFO fileInfo) {
    if (Refused(fileInfo)) {
        *numberOfBytesWritten = 0;
        return kReadOnly;
    }
    return Drive().WriteFile(fileName, buffer, numberOfBytesToWrite, numberOfBytesWritten, offset,
                             fileInfo);
}

NTSTATUS FlushFileBuffers(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo) {
    if (IsHistoryHandle(fileInfo)) {
        return STATUS_SUCCESS;  // every close() flushes, also of a handle that only read
    }
    return Drive().FlushFileBuffers(fileName, fileInfo);
}

NTSTATUS GetFileInformation(LPCWSTR fileName, LPBY_HANDLE_FILE_INFORMATION buffer,
                            PDOKAN_FILE_INFO fileInfo) {
    if (IsHistoryHandle(fileInfo)) {
        Describe(HandleOf(fileInfo), *buffer);
        return STATUS_SUCCESS;
    }
    return Drive().GetFileInformation(fileName, buffer, fileInfo);
}

NTSTATUS FindFiles(LPCWSTR pathName, PFillFindData fillFindData, PDOKAN_FILE_INFO fileInfo) {
    if (IsHistoryHandle(fileInfo)) {
        return Guarded(L"FindFiles", STATUS_SUCCESS, [&] {
            return List(*ItemStoreOf(DriveOf(fileInfo)), HandleOf(fileInfo), fillFindData,
                        fileInfo);
        });
    }
    return Drive().FindFiles(pathName, fillFindData, fileInfo);
}

NTSTATUS SetFileAttributes(LPCWSTR fileName, DWORD fileAttributes, PDOKAN_FILE_INFO fileInfo) {
    return Refused(fileInfo) ? kReadOnly
                             : Drive().SetFileAttributes(fileName, fileAttributes, fileInfo);
}

NTSTATUS SetFileTime(LPCWSTR fileName, const FILETIME* creationTime, const FILETIME* lastAccessTime,
                     const FILETIME* lastWriteTime, PDOKAN_FILE_INFO fileInfo) {
    return Refused(fileInfo) ? kReadOnly
                             : Drive().SetFileTime(fileName, creationTime, lastAccessTime,
                                                   lastWriteTime, fileInfo);
}

NTSTATUS DeleteFile(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo) {
    return Refused(fileInfo) ? kReadOnly : Drive().DeleteFile(fileName, fileInfo);
}

NTSTATUS DeleteDirectory(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo) {
    return Refused(fileInfo) ? kReadOnly : Drive().DeleteDirectory(fileName, fileInfo);
}

NTSTATUS MoveFile(LPCWSTR fileName, LPCWSTR newFileName, BOOL replaceIfExisting,
                  PDOKAN_FILE_INFO fileInfo) {
    if (Refused(fileInfo)) {
        return kReadOnly;
    }
    const std::wstring target = newFileName ? newFileName : L"";
    if (MayClaim(target)) {
        // Nothing moves into the history either.
        const NTSTATUS status = Guarded(L"MoveFile", STATUS_ACCESS_DENIED, [&] {
            try {
                return Claims(*ItemStoreOf(DriveOf(fileInfo)), target) ? kReadOnly : STATUS_SUCCESS;
            } catch (const tarvo::TarvoError& error) {
                KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
                return STATUS_ACCESS_DENIED;
            }
        });
        if (status != STATUS_SUCCESS) {
            return status;
        }
    }
    return Drive().MoveFile(fileName, newFileName, replaceIfExisting, fileInfo);
}

NTSTATUS SetEndOfFile(LPCWSTR fileName, LONGLONG byteOffset, PDOKAN_FILE_INFO fileInfo) {
    return Refused(fileInfo) ? kReadOnly : Drive().SetEndOfFile(fileName, byteOffset, fileInfo);
}

NTSTATUS SetAllocationSize(LPCWSTR fileName, LONGLONG allocSize, PDOKAN_FILE_INFO fileInfo) {
    return Refused(fileInfo) ? kReadOnly : Drive().SetAllocationSize(fileName, allocSize, fileInfo);
}

// Puts `front` in place of an operation the drive has; one it leaves out stays out.
template <class Operation>
void Replace(Operation& operation, Operation front) {
    if (operation != nullptr) {
        operation = front;
    }
}

}  // namespace

DOKAN_OPERATIONS Around(const DOKAN_OPERATIONS& operations) {
    std::call_once(g_driveTaken, [&] { g_drive = operations; });
    DOKAN_OPERATIONS table = operations;
    Replace(table.ZwCreateFile, &ZwCreateFile);
    Replace(table.Cleanup, &Cleanup);
    Replace(table.ReadFile, &ReadFile);
    Replace(table.WriteFile, &WriteFile);
    Replace(table.FlushFileBuffers, &FlushFileBuffers);
    Replace(table.GetFileInformation, &GetFileInformation);
    Replace(table.FindFiles, &FindFiles);
    Replace(table.SetFileAttributes, &SetFileAttributes);
    Replace(table.SetFileTime, &SetFileTime);
    Replace(table.DeleteFile, &DeleteFile);
    Replace(table.DeleteDirectory, &DeleteDirectory);
    Replace(table.MoveFile, &MoveFile);
    Replace(table.SetEndOfFile, &SetEndOfFile);
    Replace(table.SetAllocationSize, &SetAllocationSize);
    return table;
}

}  // namespace drive::history
