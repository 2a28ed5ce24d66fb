// Folders: listings, and creating, removing and renaming items.

#include "fuse_requests.h"

#include <platform_base/text_codec.h>
#include "nt_status_errno.h"

#include <fcntl.h>
#include <memory>

namespace kelvo_dokan {

void FuseDrive::Callbacks::OpenDirectory(fuse_req_t request, fuse_ino_t node,
                                         fuse_file_info* file) {
    Serve(request, "opendir", [&](FuseDrive& drive, Reply& reply) {
        const std::optional<std::wstring> path = drive.m_nodes.PathOf(node);
        if (!path) {
            return reply.Error(ENOENT);
        }
        OpenHandle* handle = OpenHandleFor(
            drive, reply, *path, node, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
            FILE_ATTRIBUTE_NORMAL, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
            true);
        if (handle == nullptr) {
            return;
        }
        file->fh = reinterpret_cast<std::uintptr_t>(handle);
        file->cache_readdir = 0;
        if (reply.Open(file) != 0) {
            CloseHandle(drive, handle);
        }
    });
}

NTSTATUS FuseDrive::Callbacks::List(FuseDrive& drive, OpenHandle& handle) {
    handle.listing.clear();
    handle.listed = false;
    const auto path = handle.Path();
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;
    if (drive.m_operations.FindFiles != nullptr) {
        status = drive.m_operations.FindFiles(path->c_str(), &FillFindData, &handle.info);
    } else if (drive.m_operations.FindFilesWithPattern != nullptr) {
        status = drive.m_operations.FindFilesWithPattern(path->c_str(), L"*", &FillFindData,
                                                         &handle.info);
    }
    handle.listed = status >= 0;
    return status;
}

struct stat FuseDrive::Callbacks::DotAttributes(FuseDrive& drive, NodeId node,
                                                std::size_t position) {
    struct stat attributes {};
    attributes.st_mode = S_IFDIR;
    attributes.st_ino = position == 0 ? node : drive.m_nodes.ParentOf(node);
    return attributes;
}

bool FuseDrive::Callbacks::IsFolder(const ListedEntry& entry) {
    return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::size_t FuseDrive::Callbacks::FillPlain(FuseDrive& drive, OpenHandle& handle,
                                            fuse_req_t request, NodeId node, char* buffer,
                                            std::size_t size, std::size_t position) {
    std::size_t used = 0;
    for (; position < handle.listing.size() + kDots; ++position) {
        struct stat attributes {};
        const char* name = nullptr;
        if (position < kDots) {
            name = position == 0 ? "." : "..";
            attributes = DotAttributes(drive, node, position);
        } else {
            const ListedEntry& entry = handle.listing[position - kDots];
            name = entry.name.c_str();
            attributes.st_mode = IsFolder(entry) ? S_IFDIR : S_IFREG;
            attributes.st_ino = drive.m_nodes.Find(node, entry.wideName).value_or(kUnknownInode);
        }
        const std::size_t needed = fuse_add_direntry(request, buffer + used, size - used, name,
                                                     &attributes, static_cast<off_t>(position + 1));
        if (needed > size - used) {
            break;
        }
        used += needed;
    }
    return used;
}

std::size_t FuseDrive::Callbacks::FillPlus(FuseDrive& drive, OpenHandle& handle, fuse_req_t request,
                                           NodeId node, char* buffer, std::size_t size,
                                           std::size_t position) {
    // First what fits, so that an entry left out is not counted as a lookup; then all the
    // lookups of this answer under one lock.
    const std::size_t total = handle.listing.size() + kDots;
    std::size_t end = position;
    std::size_t needed = 0;
    for (; end < total; ++end) {
        const char* name =
            end < kDots ? (end == 0 ? "." : "..") : handle.listing[end - kDots].name.c_str();
        const std::size_t entrySize = fuse_add_direntry_plus(request, nullptr, 0, name, nullptr, 0);
        if (needed + entrySize > size) {
            break;
        }
        needed += entrySize;
    }
    thread_local std::vector<NodeTable::Child> children;
    thread_local std::vector<NodeId> nodes;
    children.clear();
    for (std::size_t index = std::max(position, kDots); index < end; ++index) {
        const ListedEntry& entry = handle.listing[index - kDots];
        children.push_back(NodeTable::Child{&entry.wideName, IsFolder(entry)});
    }
    drive.m_nodes.RememberAll(node, children, nodes);

    std::size_t used = 0;
    for (std::size_t index = position; index < end; ++index) {
        fuse_entry_param parameters{};
        const char* name = nullptr;
        if (index < kDots) {
            name = index == 0 ? "." : "..";
            parameters.attr = DotAttributes(drive, node, index);
        } else {
            const ListedEntry& entry = handle.listing[index - kDots];
            const NodeId child = nodes[index - std::max(position, kDots)];
            name = entry.name.c_str();
            parameters.ino = child;
            parameters.attr = ToStat(drive, FactsOf(entry), IsFolder(entry), child);
            parameters.attr_timeout = kCacheSeconds;
            parameters.entry_timeout = kCacheSeconds;
        }
        used += fuse_add_direntry_plus(request, buffer + used, size - used, name, &parameters,
                                       static_cast<off_t>(index + 1));
    }
    return used;
}

void FuseDrive::Callbacks::ReadDirectory(fuse_req_t request, fuse_ino_t node, size_t size,
                                         off_t offset, fuse_file_info* file, bool plus) {
    Serve(request, plus ? "readdirplus" : "readdir", [&](FuseDrive& drive, Reply& reply) {
        OpenHandle* handle = HandleOf(file);
        std::lock_guard<std::mutex> lock(handle->listingMutex);
        if (offset == 0 || !handle->listed) {
            const NTSTATUS status = List(drive, *handle);
            if (!ReplyStatus(reply, status, *handle->Path(), "FindFiles")) {
                return;
            }
        }
        thread_local std::vector<char> buffer;
        if (buffer.size() < size) {
            buffer.resize(size);
        }
        const std::size_t used = plus ? FillPlus(drive, *handle, request, node, buffer.data(), size,
                                                 static_cast<std::size_t>(offset))
                                      : FillPlain(drive, *handle, request, node, buffer.data(),
                                                  size, static_cast<std::size_t>(offset));
        reply.Buffer(buffer.data(), used);
    });
}

void FuseDrive::Callbacks::ReadDirectoryPlain(fuse_req_t request, fuse_ino_t node, size_t size,
                                              off_t offset, fuse_file_info* file) {
    ReadDirectory(request, node, size, offset, file, false);
}

void FuseDrive::Callbacks::ReadDirectoryPlus(fuse_req_t request, fuse_ino_t node, size_t size,
                                             off_t offset, fuse_file_info* file) {
    ReadDirectory(request, node, size, offset, file, true);
}

void FuseDrive::Callbacks::ReleaseDirectory(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
    Serve(request, "releasedir", [&](FuseDrive& drive, Reply& reply) {
        CloseHandle(drive, HandleOf(file));
        reply.Error(0);
    });
}

void FuseDrive::Callbacks::FsyncDirectory(fuse_req_t request, fuse_ino_t, int, fuse_file_info*) {
    fuse_reply_err(request, 0);  // a folder holds nothing unwritten
}

void FuseDrive::Callbacks::MakeDirectory(fuse_req_t request, fuse_ino_t parent, const char* name,
                                         mode_t) {
    Serve(request, "mkdir", [&](FuseDrive& drive, Reply& reply) {
        const std::optional<std::wstring> wideName = WideName(name);
        if (!wideName) {
            LogRefusedName("mkdir", name);
            return reply.Error(EINVAL);
        }
        const std::optional<std::wstring> path = drive.m_nodes.ChildPath(parent, *wideName);
        if (!path) {
            return reply.Error(ENOENT);
        }
        TransientOpen open(drive.m_operations, drive.m_options, *path,
                           FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY | kAttributeAccess,
                           FILE_CREATE, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                           ProcessOf(request));
        if (!ReplyStatus(reply, open.Status(), *path, "ZwCreateFile")) {
            return;
        }
        ReplyEntryFor(drive, reply, parent, *wideName, *path, open.Info(), nullptr);
    });
}

void FuseDrive::Callbacks::MakeNode(fuse_req_t request, fuse_ino_t parent, const char* name,
                                    mode_t mode, dev_t) {
    Serve(request, "mknod", [&](FuseDrive& drive, Reply& reply) {
        if (!S_ISREG(mode)) {
            return reply.Error(EPERM);  // only documents and folders exist here
        }
        const std::optional<std::wstring> wideName = WideName(name);
        if (!wideName) {
            LogRefusedName("mknod", name);
            return reply.Error(EINVAL);
        }
        const std::optional<std::wstring> path = drive.m_nodes.ChildPath(parent, *wideName);
        if (!path) {
            return reply.Error(ENOENT);
        }
        TransientOpen open(drive.m_operations, drive.m_options, *path,
                           FILE_GENERIC_WRITE | FILE_GENERIC_READ, FILE_CREATE,
                           FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                           ProcessOf(request));
        if (!ReplyStatus(reply, open.Status(), *path, "ZwCreateFile")) {
            return;
        }
        ReplyEntryFor(drive, reply, parent, *wideName, *path, open.Info(), nullptr);
    });
}

void FuseDrive::Callbacks::Remove(fuse_req_t request, fuse_ino_t parent, const char* name,
                                  bool directory) {
    Serve(request, directory ? "rmdir" : "unlink", [&](FuseDrive& drive, Reply& reply) {
        const std::optional<std::wstring> wideName = WideName(name);
        if (!wideName) {
            LogRefusedName(directory ? "rmdir" : "unlink", name);
            return reply.Error(EINVAL);
        }
        const std::optional<std::wstring> path = drive.m_nodes.ChildPath(parent, *wideName);
        if (!path) {
            return reply.Error(ENOENT);
        }
        TransientOpen open(drive.m_operations, drive.m_options, *path, DELETE | kAttributeAccess,
                           FILE_OPEN, directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE,
                           ProcessOf(request));
        if (!ReplyStatus(reply, open.Status(), *path, "ZwCreateFile")) {
            return;
        }
        const auto operation =
            directory ? drive.m_operations.DeleteDirectory : drive.m_operations.DeleteFile;
        const NTSTATUS status =
            operation != nullptr ? operation(path->c_str(), &open.Info()) : STATUS_NOT_IMPLEMENTED;
        if (!ReplyStatus(reply, status, *path, directory ? "DeleteDirectory" : "DeleteFile")) {
            return;
        }
        // Cleanup carries the delete out; it is done before the answer, so that a program
        // that creates the same name next finds it free.
        open.Info().DeleteOnClose = 1;
        open.Finish();
        drive.m_nodes.Detach(parent, *wideName);
        reply.Error(0);
    });
}

void FuseDrive::Callbacks::Unlink(fuse_req_t request, fuse_ino_t parent, const char* name) {
    Remove(request, parent, name, false);
}

void FuseDrive::Callbacks::RemoveDirectory(fuse_req_t request, fuse_ino_t parent,
                                           const char* name) {
    Remove(request, parent, name, true);
}

void FuseDrive::Callbacks::Rename(fuse_req_t request, fuse_ino_t parent, const char* name,
                                  fuse_ino_t newParent, const char* newName, unsigned int flags) {
    Serve(request, "rename", [&](FuseDrive& drive, Reply& reply) {
        if ((flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) != 0) {
            return reply.Error(EINVAL);  // RENAME_EXCHANGE and RENAME_WHITEOUT
        }
        const std::optional<std::wstring> wideName = WideName(name);
        const std::optional<std::wstring> wideNewName = WideName(newName);
        if (!wideName || !wideNewName) {
            LogRefusedName("rename", !wideName ? name : newName);
            return reply.Error(EINVAL);
        }
        const std::optional<std::wstring> path = drive.m_nodes.ChildPath(parent, *wideName);
        const std::optional<std::wstring> newPath =
            drive.m_nodes.ChildPath(newParent, *wideNewName);
        if (!path || !newPath) {
            return reply.Error(ENOENT);
        }
        TransientOpen open(drive.m_operations, drive.m_options, *path, DELETE | kAttributeAccess,
                           FILE_OPEN, 0, ProcessOf(request));
        if (!ReplyStatus(reply, open.Status(), *path, "ZwCreateFile")) {
            return;
        }
        const BOOL replace = (flags & RENAME_NOREPLACE) != 0 ? FALSE : TRUE;
        // A save by renaming over a document carries the content written so far, even when
        // the program still holds the file open.
        if (replace &&
            !ReplyStatus(reply, drive.FlushOpenHandles(*path), *path, "FlushFileBuffers")) {
            return;
        }
        const NTSTATUS status = drive.m_operations.MoveFile != nullptr
                                    ? drive.m_operations.MoveFile(path->c_str(), newPath->c_str(),
                                                                  replace, &open.Info())
                                    : STATUS_NOT_IMPLEMENTED;
        if (!ReplyStatus(reply, status, *path, "MoveFile")) {
            return;
        }
        open.SetPath(*newPath);
        drive.m_nodes.Move(parent, *wideName, newParent, *wideNewName);
        drive.RenameOpenHandles(*path, *newPath);
        reply.Error(0);
    });
}

}  // namespace kelvo_dokan
