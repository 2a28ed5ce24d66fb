#pragma once

// The user-mode file-system driver API (version 1.4 of its interface) that the drive is written
// against. On Linux it is served by FUSE 3: DokanMain mounts the mount point's folder and calls the
// operations below for every request the kernel makes there.
//
// As on Windows: every open starts with ZwCreateFile (kernel disposition and options; the file
// system maps them with DokanMapKernelToUserCreateFileFlags) and ends with Cleanup and CloseFile;
// one DOKAN_FILE_INFO lives for the whole handle, so Context persists between its calls.
// IsDirectory is set before ZwCreateFile when the opener asked for a folder, and the file system
// sets it when the item is one. DeleteOnClose is set after DeleteFile/DeleteDirectory agreed, and
// Cleanup carries the delete out. STATUS_OBJECT_NAME_COLLISION from OPEN_ALWAYS or CREATE_ALWAYS
// means "opened an existing item". A ZwCreateFile that fails but leaves a Context behind still gets
// Cleanup and CloseFile (with DeleteOnClose clear), so that the file system can free it.
// Operations run on up to ThreadCount threads at once; Mounted and Unmounted run on the thread of
// DokanMain.

#include <win_compat/wintypes.h>

constexpr USHORT DOKAN_VERSION = 140;

// DOKAN_OPTIONS::Options bits.
constexpr ULONG DOKAN_OPTION_DEBUG = 1;
constexpr ULONG DOKAN_OPTION_STDERR = 2;
constexpr ULONG DOKAN_OPTION_ALT_STREAM = 4;
constexpr ULONG DOKAN_OPTION_WRITE_PROTECT = 8;
constexpr ULONG DOKAN_OPTION_NETWORK = 16;
constexpr ULONG DOKAN_OPTION_REMOVABLE = 32;
constexpr ULONG DOKAN_OPTION_MOUNT_MANAGER = 64;
constexpr ULONG DOKAN_OPTION_CURRENT_SESSION = 128;
constexpr ULONG DOKAN_OPTION_FILELOCK_USER_MODE = 256;

// DokanMain results.
constexpr int DOKAN_SUCCESS = 0;
constexpr int DOKAN_ERROR = -1;
constexpr int DOKAN_DRIVE_LETTER_ERROR = -2;
constexpr int DOKAN_DRIVER_INSTALL_ERROR = -3;  // FUSE is not available
constexpr int DOKAN_START_ERROR = -4;
constexpr int DOKAN_MOUNT_ERROR = -5;
constexpr int DOKAN_MOUNT_POINT_ERROR = -6;  // the mount point is occupied or unusable
constexpr int DOKAN_VERSION_ERROR = -7;

struct DOKAN_OPTIONS {
    USHORT Version;
    USHORT ThreadCount;
    ULONG Options;
    ULONG64 GlobalContext;
    LPCWSTR MountPoint;
    LPCWSTR UNCName;
    ULONG Timeout;
    ULONG AllocationUnitSize;
    ULONG SectorSize;
};
using PDOKAN_OPTIONS = DOKAN_OPTIONS*;

struct DOKAN_FILE_INFO {
    ULONG64 Context;       // the file system's own per-open record
    ULONG64 DokanContext;  // reserved for the driver layer
    PDOKAN_OPTIONS DokanOptions;
    ULONG ProcessId;
    UCHAR IsDirectory;
    UCHAR DeleteOnClose;
    UCHAR PagingIo;
    UCHAR SynchronousIo;
    UCHAR Nocache;
    UCHAR WriteToEndOfFile;
    // This platform only: set for the FlushFileBuffers that a close() of a descriptor brings (so
    // that a failure to store the content reaches close()); clear for fsync and fdatasync, which
    // also ask for the content to be durable, as FlushFileBuffers does on Windows.
    UCHAR FlushForClose;
};
using PDOKAN_FILE_INFO = DOKAN_FILE_INFO*;

// Not used on this platform; kept so the operation signatures stay those of the driver.
struct DOKAN_IO_SECURITY_CONTEXT {
    void* AccessState;
    ACCESS_MASK DesiredAccess;
};
using PDOKAN_IO_SECURITY_CONTEXT = DOKAN_IO_SECURITY_CONTEXT*;
using SECURITY_INFORMATION = DWORD;
using PSECURITY_INFORMATION = SECURITY_INFORMATION*;
using PSECURITY_DESCRIPTOR = void*;

struct WIN32_FIND_STREAM_DATA {
    LONGLONG StreamSize;
    WCHAR cStreamName[MAX_PATH + 36];
};
using PWIN32_FIND_STREAM_DATA = WIN32_FIND_STREAM_DATA*;

using PFillFindData = int (*)(PWIN32_FIND_DATAW findData, PDOKAN_FILE_INFO dokanFileInfo);
using PFillFindStreamData = int (*)(PWIN32_FIND_STREAM_DATA findStreamData,
                                    PDOKAN_FILE_INFO dokanFileInfo);

// The operations a file system supplies. A null entry is answered by the driver layer itself:
// STATUS_NOT_IMPLEMENTED, or a harmless default (Cleanup, CloseFile, FlushFileBuffers,
// SetFileAttributes, SetFileTime and the notifications do nothing; GetDiskFreeSpace reports an
// unknown capacity). FindFilesWithPattern is used with "*" when FindFiles is null.
struct DOKAN_OPERATIONS {
    NTSTATUS(*ZwCreateFile)
    (LPCWSTR FileName, PDOKAN_IO_SECURITY_CONTEXT SecurityContext, ACCESS_MASK DesiredAccess,
     ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions,
     PDOKAN_FILE_INFO DokanFileInfo);
    void (*Cleanup)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
    void (*CloseFile)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*ReadFile)
    (LPCWSTR FileName, LPVOID Buffer, DWORD BufferLength, LPDWORD ReadLength, LONGLONG Offset,
     PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*WriteFile)
    (LPCWSTR FileName, LPCVOID Buffer, DWORD NumberOfBytesToWrite, LPDWORD NumberOfBytesWritten,
     LONGLONG Offset, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS (*FlushFileBuffers)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*GetFileInformation)
    (LPCWSTR FileName, LPBY_HANDLE_FILE_INFORMATION Buffer, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*FindFiles)
    (LPCWSTR PathName, PFillFindData FillFindData, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*FindFilesWithPattern)
    (LPCWSTR PathName, LPCWSTR SearchPattern, PFillFindData FillFindData,
     PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*SetFileAttributes)
    (LPCWSTR FileName, DWORD FileAttributes, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*SetFileTime)
    (LPCWSTR FileName, const FILETIME* CreationTime, const FILETIME* LastAccessTime,
     const FILETIME* LastWriteTime, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS (*DeleteFile)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS (*DeleteDirectory)(LPCWSTR FileName, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*MoveFile)
    (LPCWSTR FileName, LPCWSTR NewFileName, BOOL ReplaceIfExisting, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS (*SetEndOfFile)(LPCWSTR FileName, LONGLONG ByteOffset, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*SetAllocationSize)
    (LPCWSTR FileName, LONGLONG AllocSize, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*LockFile)
    (LPCWSTR FileName, LONGLONG ByteOffset, LONGLONG Length, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*UnlockFile)
    (LPCWSTR FileName, LONGLONG ByteOffset, LONGLONG Length, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*GetDiskFreeSpace)
    (PULONGLONG FreeBytesAvailable, PULONGLONG TotalNumberOfBytes,
     PULONGLONG TotalNumberOfFreeBytes, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*GetVolumeInformation)
    (LPWSTR VolumeNameBuffer, DWORD VolumeNameSize, LPDWORD VolumeSerialNumber,
     LPDWORD MaximumComponentLength, LPDWORD FileSystemFlags, LPWSTR FileSystemNameBuffer,
     DWORD FileSystemNameSize, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS (*Mounted)(PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS (*Unmounted)(PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*GetFileSecurity)
    (LPCWSTR FileName, PSECURITY_INFORMATION SecurityInformation,
     PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG BufferLength, PULONG LengthNeeded,
     PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*SetFileSecurity)
    (LPCWSTR FileName, PSECURITY_INFORMATION SecurityInformation,
     PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG BufferLength, PDOKAN_FILE_INFO DokanFileInfo);
    NTSTATUS(*FindStreams)
    (LPCWSTR FileName, PFillFindStreamData FillFindStreamData, PDOKAN_FILE_INFO DokanFileInfo);
};
using PDOKAN_OPERATIONS = DOKAN_OPERATIONS*;

// Mounts DokanOptions->MountPoint ("Z:\" is the folder Z in win_compat::DrivesFolder()) and
// serves it until it is unmounted; returns DOKAN_SUCCESS after a normal unmount, or one of the
// negative DOKAN_* results: DOKAN_DRIVE_LETTER_ERROR for a text that names no drive letter,
// DOKAN_DRIVER_INSTALL_ERROR when FUSE is not usable here, DOKAN_MOUNT_POINT_ERROR when the folder
// is occupied, DOKAN_START_ERROR / DOKAN_MOUNT_ERROR when FUSE refuses the session or the mount,
// DOKAN_VERSION_ERROR for a Version outside 100..DOKAN_VERSION. A dead mount left on the folder
// by a crashed process is cleared first. The caller's options must outlive the call.
int DokanMain(PDOKAN_OPTIONS DokanOptions, PDOKAN_OPERATIONS DokanOperations);

// Unmounts a mount point served by this process. Safe from any thread, also from inside an
// operation of the same drive (the unmount then completes on a helper thread). Files that programs
// still hold open on the drive stop working; the file system gets Cleanup and CloseFile for them.
// TRUE when the mount was found.
BOOL DokanRemoveMountPoint(LPCWSTR MountPoint);

// Turns the kernel's view of a create request into the user-mode one. Any out pointer may be
// null.
void DokanMapKernelToUserCreateFileFlags(ACCESS_MASK DesiredAccess, ULONG FileAttributes,
                                         ULONG CreateOptions, ULONG CreateDisposition,
                                         ACCESS_MASK* outDesiredAccess,
                                         DWORD* outFileAttributesAndFlags,
                                         DWORD* outCreationDisposition);
