// Lookups and attributes: finding an item by name, and reading and changing what getattr shows.

#include "fuse_requests.h"

#include "file_time.h"
#include "nt_status_errno.h"

#include <ctime>

namespace kelvo_dokan {

void FuseDrive::Callbacks::Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    Serve(request, "lookup", [&](FuseDrive& drive, Reply& reply) {
        const std::optional<std::wstring> wideName = WideName(name);
        if (!wideName) {
            LogRefusedName("lookup", name);
            return reply.Error(EINVAL);
        }
        const std::optional<std::wstring> path = drive.m_nodes.ChildPath(parent, *wideName);
        if (!path) {
            return reply.Error(ENOENT);
        }
        TransientOpen open(drive.m_operations, drive.m_options, *path, kAttributeAccess, FILE_OPEN,
                           0, ProcessOf(request));
        const int error = NtStatusToErrno(open.Status(), *path, "ZwCreateFile");
        if (error == ENOENT) {
            // Remembered by the kernel as absent for a moment.
            fuse_entry_param entry{};
            entry.entry_timeout = kCacheSeconds;
            reply.Entry(entry);
            return;
        }
        if (error != 0) {
            return reply.Error(error);
        }
        ReplyEntryFor(drive, reply, parent, *wideName, *path, open.Info(), nullptr);
    });
}

void FuseDrive::Callbacks::Forget(fuse_req_t request, fuse_ino_t node, uint64_t lookups) {
    DriveOf(request).m_nodes.Forget(node, lookups);
    fuse_reply_none(request);
}

void FuseDrive::Callbacks::ForgetMany(fuse_req_t request, size_t count, fuse_forget_data* forgets) {
    FuseDrive& drive = DriveOf(request);
    for (size_t index = 0; index < count; ++index) {
        drive.m_nodes.Forget(forgets[index].ino, forgets[index].nlookup);
    }
    fuse_reply_none(request);
}

bool FuseDrive::Callbacks::ReplyFromOpenHandle(FuseDrive& drive, Reply& reply, NodeId node) {
    std::lock_guard<std::mutex> lock(drive.m_handlesMutex);
    for (OpenHandle* handle = drive.m_firstHandle; handle != nullptr; handle = handle->next) {
        if (handle->node != node) {
            continue;
        }
        const auto path = handle->Path();
        BY_HANDLE_FILE_INFORMATION information;
        if (ReplyStatus(reply, GetInformation(drive, *path, handle->info, information), *path,
                        "GetFileInformation")) {
            const bool isDirectory = IsDirectory(handle->info, information.dwFileAttributes);
            reply.Attributes(ToStat(drive, FactsOf(information), isDirectory, node));
        }
        return true;
    }
    return false;
}

void FuseDrive::Callbacks::GetAttributes(fuse_req_t request, fuse_ino_t node,
                                         fuse_file_info* file) {
    Serve(request, "getattr", [&](FuseDrive& drive, Reply& reply) {
        if (drive.m_removalRequested.load() && node == kRootNode) {
            // The wake-up request of a removal: nothing to ask the file system.
            return reply.Error(ENOTCONN);
        }
        BY_HANDLE_FILE_INFORMATION information;
        if (file != nullptr && file->fh != 0) {
            OpenHandle* handle = HandleOf(file);
            const auto path = handle->Path();
            if (!ReplyStatus(reply, GetInformation(drive, *path, handle->info, information), *path,
                             "GetFileInformation")) {
                return;
            }
            const bool isDirectory = IsDirectory(handle->info, information.dwFileAttributes);
            return reply.Attributes(ToStat(drive, FactsOf(information), isDirectory, node));
        }
        const std::optional<std::wstring> path = drive.m_nodes.PathOf(node);
        if (!path) {
            // Deleted or replaced while open (fstat asks without the handle): the item is
            // still what its open handles have.
            if (!ReplyFromOpenHandle(drive, reply, node)) {
                reply.Error(ENOENT);
            }
            return;
        }
        TransientOpen open(drive.m_operations, drive.m_options, *path, kAttributeAccess, FILE_OPEN,
                           0, ProcessOf(request));
        if (!ReplyStatus(reply, open.Status(), *path, "ZwCreateFile") ||
            !ReplyStatus(reply, GetInformation(drive, *path, open.Info(), information), *path,
                         "GetFileInformation")) {
            return;
        }
        const bool isDirectory = IsDirectory(open.Info(), information.dwFileAttributes);
        reply.Attributes(ToStat(drive, FactsOf(information), isDirectory, node));
    });
}

NTSTATUS FuseDrive::Callbacks::SetSize(FuseDrive& drive, const std::wstring& path,
                                       DOKAN_FILE_INFO& info, off_t size) {
    const DOKAN_OPERATIONS& operations = drive.m_operations;
    return operations.SetEndOfFile != nullptr ? operations.SetEndOfFile(path.c_str(), size, &info)
                                              : STATUS_NOT_IMPLEMENTED;
}

bool FuseDrive::Callbacks::SetModeAndOwner(FuseDrive& drive, Reply& reply, const std::wstring& path,
                                           DOKAN_FILE_INFO& info, const struct stat& wanted,
                                           int toSet) {
    // The item keeps no owner or permission bits: the mode's write bits become the read-only
    // attribute, and an owner change is handed on as an attribute update that changes nothing, so
    // that the file system may still refuse it.
    BY_HANDLE_FILE_INFORMATION information;
    if (!ReplyStatus(reply, GetInformation(drive, path, info, information), path,
                     "GetFileInformation")) {
        return false;
    }
    DWORD attributes = information.dwFileAttributes & ~FILE_ATTRIBUTE_NORMAL;
    if ((toSet & FUSE_SET_ATTR_MODE) != 0) {
        if ((wanted.st_mode & 0222) == 0) {
            attributes |= FILE_ATTRIBUTE_READONLY;
        } else {
            attributes &= ~FILE_ATTRIBUTE_READONLY;
        }
    }
    if (attributes == 0) {
        attributes = FILE_ATTRIBUTE_NORMAL;
    }
    const DOKAN_OPERATIONS& operations = drive.m_operations;
    return operations.SetFileAttributes == nullptr ||
           ReplyStatus(reply, operations.SetFileAttributes(path.c_str(), attributes, &info), path,
                       "SetFileAttributes");
}

NTSTATUS FuseDrive::Callbacks::SetTimes(FuseDrive& drive, const std::wstring& path,
                                        DOKAN_FILE_INFO& info, const struct stat& wanted,
                                        int toSet) {
    const DOKAN_OPERATIONS& operations = drive.m_operations;
    if (operations.SetFileTime == nullptr) {
        return STATUS_SUCCESS;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const FILETIME accessTime =
        TimespecToFileTime((toSet & FUSE_SET_ATTR_ATIME_NOW) != 0 ? now : wanted.st_atim);
    const FILETIME writeTime =
        TimespecToFileTime((toSet & FUSE_SET_ATTR_MTIME_NOW) != 0 ? now : wanted.st_mtim);
    return operations.SetFileTime(path.c_str(), nullptr,
                                  (toSet & FUSE_SET_ATTR_ATIME) != 0 ? &accessTime : nullptr,
                                  (toSet & FUSE_SET_ATTR_MTIME) != 0 ? &writeTime : nullptr, &info);
}

void FuseDrive::Callbacks::SetAttributes(fuse_req_t request, fuse_ino_t node, struct stat* wanted,
                                         int toSet, fuse_file_info* file) {
    Serve(request, "setattr", [&](FuseDrive& drive, Reply& reply) {
        // The handle's open when the kernel names one, else an open for this request alone.
        std::optional<TransientOpen> transient;
        DOKAN_FILE_INFO* info = nullptr;
        std::wstring path;
        if (file != nullptr && file->fh != 0) {
            OpenHandle* handle = HandleOf(file);
            path = *handle->Path();
            info = &handle->info;
        } else {
            const std::optional<std::wstring> nodePath = drive.m_nodes.PathOf(node);
            if (!nodePath) {
                return reply.Error(ENOENT);
            }
            path = *nodePath;
            transient.emplace(drive.m_operations, drive.m_options, path, AccessToSet(toSet),
                              FILE_OPEN, 0, ProcessOf(request));
            if (!ReplyStatus(reply, transient->Status(), path, "ZwCreateFile")) {
                return;
            }
            info = &transient->Info();
        }
        if ((toSet & FUSE_SET_ATTR_SIZE) != 0 &&
            !ReplyStatus(reply, SetSize(drive, path, *info, wanted->st_size), path,
                         "SetEndOfFile")) {
            return;
        }
        if ((toSet & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0 &&
            !SetModeAndOwner(drive, reply, path, *info, *wanted, toSet)) {
            return;
        }
        if ((toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) != 0 &&
            !ReplyStatus(reply, SetTimes(drive, path, *info, *wanted, toSet), path,
                         "SetFileTime")) {
            return;
        }
        BY_HANDLE_FILE_INFORMATION information;
        if (!ReplyStatus(reply, GetInformation(drive, path, *info, information), path,
                         "GetFileInformation")) {
            return;
        }
        const bool isDirectory = IsDirectory(*info, information.dwFileAttributes);
        reply.Attributes(ToStat(drive, FactsOf(information), isDirectory, node));
    });
}

ACCESS_MASK FuseDrive::Callbacks::AccessToSet(int toSet) {
    ACCESS_MASK access = kAttributeAccess;
    if ((toSet & FUSE_SET_ATTR_SIZE) != 0) {
        access |= FILE_WRITE_DATA;
    }
    if ((toSet & ~FUSE_SET_ATTR_SIZE) != 0) {
        access |= FILE_WRITE_ATTRIBUTES;
    }
    return access;
}

}  // namespace kelvo_dokan
