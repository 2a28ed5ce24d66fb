// Files: create, open, read, write, flush, fsync and release.

#include "fuse_requests.h"

#include "nt_status_errno.h"

#include <fcntl.h>
#include <memory>

namespace kelvo_dokan {

ACCESS_MASK FuseDrive::Callbacks::AccessFor(int flags) {
    switch (flags & O_ACCMODE) {
        case O_RDONLY:
            return FILE_GENERIC_READ;
        case O_WRONLY:
            return FILE_GENERIC_WRITE;
        default:
            return FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    }
}

ULONG FuseDrive::Callbacks::FileOptionsFor(int flags) {
    ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    if ((flags & O_DIRECT) != 0) {
        options |= FILE_NO_INTERMEDIATE_BUFFERING;
    }
    if ((flags & (O_SYNC | O_DSYNC)) != 0) {
        options |= FILE_WRITE_THROUGH;
    }
    return options;
}

OpenHandle* FuseDrive::Callbacks::OpenHandleFor(FuseDrive& drive, Reply& reply,
                                                const std::wstring& path, NodeId node,
                                                ACCESS_MASK access, ULONG attributes,
                                                ULONG disposition, ULONG options,
                                                bool wantsDirectory) {
    auto handle = std::make_unique<OpenHandle>(path, node);
    DOKAN_FILE_INFO& info = handle->info;
    info.DokanOptions = drive.m_options;
    info.DokanContext = reinterpret_cast<std::uintptr_t>(handle.get());
    info.ProcessId = static_cast<ULONG>(ProcessOf(reply.Request()));
    info.IsDirectory = wantsDirectory ? 1 : 0;
    info.SynchronousIo = 1;
    info.Nocache = (options & FILE_NO_INTERMEDIATE_BUFFERING) != 0 ? 1 : 0;
    info.DeleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0 ? 1 : 0;
    if (drive.m_operations.ZwCreateFile == nullptr) {
        reply.Error(EOPNOTSUPP);
        return nullptr;
    }
    DOKAN_IO_SECURITY_CONTEXT security{nullptr, access};
    const NTSTATUS status = NormalizeCreateStatus(
        drive.m_operations.ZwCreateFile(path.c_str(), &security, access, attributes, kShareAll,
                                        disposition, options, &info),
        disposition);
    if (status < 0) {
        if (info.Context != 0) {
            info.DeleteOnClose = 0;
            CallCleanup(drive.m_operations, path.c_str(), info);
        }
        ReplyStatus(reply, status, path, "ZwCreateFile");
        return nullptr;
    }
    drive.RegisterHandle(handle.get());
    return handle.release();
}

void FuseDrive::Callbacks::CloseHandle(FuseDrive& drive, OpenHandle* handle) {
    drive.UnregisterHandle(handle);
    const auto path = handle->Path();
    CallCleanup(drive.m_operations, path->c_str(), handle->info);
    delete handle;
}

void FuseDrive::Callbacks::PrepareOpenReply(fuse_file_info* file, OpenHandle* handle) {
    file->fh = reinterpret_cast<std::uintptr_t>(handle);
    // The page cache serves repeated reads within one open; the next open drops it, so
    // that content changed by other users is read afresh.
    file->keep_cache = 0;
    file->direct_io = 0;
}

void FuseDrive::Callbacks::Create(fuse_req_t request, fuse_ino_t parent, const char* name,
                                  mode_t mode, fuse_file_info* file) {
    Serve(request, "create", [&](FuseDrive& drive, Reply& reply) {
        const std::optional<std::wstring> wideName = WideName(name);
        if (!wideName) {
            LogRefusedName("create", name);
            return reply.Error(EINVAL);
        }
        const std::optional<std::wstring> path = drive.m_nodes.ChildPath(parent, *wideName);
        if (!path) {
            return reply.Error(ENOENT);
        }
        ULONG disposition = FILE_OPEN_IF;
        if ((file->flags & O_EXCL) != 0) {
            disposition = FILE_CREATE;
        } else if ((file->flags & O_TRUNC) != 0) {
            disposition = FILE_OVERWRITE_IF;
        }
        const ULONG attributes =
            (mode & 0222) != 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
        OpenHandle* handle =
            OpenHandleFor(drive, reply, *path, 0, AccessFor(file->flags), attributes, disposition,
                          FileOptionsFor(file->flags), false);
        if (handle == nullptr) {
            return;
        }
        PrepareOpenReply(file, handle);
        if (ReplyEntryFor(drive, reply, parent, *wideName, *path, handle->info, file) != 0) {
            CloseHandle(drive, handle);
        }
    });
}

void FuseDrive::Callbacks::Open(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
    Serve(request, "open", [&](FuseDrive& drive, Reply& reply) {
        const std::optional<std::wstring> path = drive.m_nodes.PathOf(node);
        if (!path) {
            return reply.Error(ENOENT);
        }
        const ULONG disposition = (file->flags & O_TRUNC) != 0 ? FILE_OVERWRITE : FILE_OPEN;
        OpenHandle* handle =
            OpenHandleFor(drive, reply, *path, node, AccessFor(file->flags), FILE_ATTRIBUTE_NORMAL,
                          disposition, FileOptionsFor(file->flags), false);
        if (handle == nullptr) {
            return;
        }
        PrepareOpenReply(file, handle);
        if (reply.Open(file) != 0) {
            CloseHandle(drive, handle);
        }
    });
}

void FuseDrive::Callbacks::Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset,
                                fuse_file_info* file) {
    Serve(request, "read", [&](FuseDrive& drive, Reply& reply) {
        OpenHandle* handle = HandleOf(file);
        if (drive.m_operations.ReadFile == nullptr) {
            return reply.Error(EOPNOTSUPP);
        }
        // One buffer per worker thread, kept between requests.
        thread_local std::unique_ptr<char[]> buffer;
        thread_local std::size_t capacity = 0;
        if (capacity < size) {
            buffer.reset(new char[size]);
            capacity = size;
        }
        DWORD readLength = 0;
        const auto path = handle->Path();
        const NTSTATUS status =
            drive.m_operations.ReadFile(path->c_str(), buffer.get(), static_cast<DWORD>(size),
                                        &readLength, offset, &handle->info);
        if (status == STATUS_END_OF_FILE) {
            return reply.Buffer(buffer.get(), 0);
        }
        if (!ReplyStatus(reply, status, *path, "ReadFile")) {
            return;
        }
        reply.Buffer(buffer.get(), std::min<std::size_t>(readLength, size));
    });
}

void FuseDrive::Callbacks::Write(fuse_req_t request, fuse_ino_t, const char* data, size_t size,
                                 off_t offset, fuse_file_info* file) {
    Serve(request, "write", [&](FuseDrive& drive, Reply& reply) {
        OpenHandle* handle = HandleOf(file);
        if (drive.m_operations.WriteFile == nullptr) {
            return reply.Error(EOPNOTSUPP);
        }
        DWORD written = 0;
        const auto path = handle->Path();
        const NTSTATUS status = drive.m_operations.WriteFile(
            path->c_str(), data, static_cast<DWORD>(size), &written, offset, &handle->info);
        if (!ReplyStatus(reply, status, *path, "WriteFile")) {
            return;
        }
        reply.Written(std::min<std::size_t>(written, size));
    });
}

void FuseDrive::Callbacks::FlushHandle(fuse_req_t request, fuse_file_info* file, bool forClose) {
    Serve(request, forClose ? "flush" : "fsync", [&](FuseDrive& drive, Reply& reply) {
        OpenHandle* handle = HandleOf(file);
        if (drive.m_operations.FlushFileBuffers == nullptr) {
            return reply.Error(0);
        }
        const auto path = handle->Path();
        // A copy: a close and an fsync of one handle may run at once.
        DOKAN_FILE_INFO info = handle->info;
        info.FlushForClose = forClose ? TRUE : FALSE;
        if (ReplyStatus(reply, drive.m_operations.FlushFileBuffers(path->c_str(), &info), *path,
                        "FlushFileBuffers")) {
            reply.Error(0);
        }
    });
}

void FuseDrive::Callbacks::Flush(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
    FlushHandle(request, file, true);
}

void FuseDrive::Callbacks::Fsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info* file) {
    FlushHandle(request, file, false);
}

void FuseDrive::Callbacks::Release(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
    Serve(request, "release", [&](FuseDrive& drive, Reply& reply) {
        CloseHandle(drive, HandleOf(file));
        reply.Error(0);
    });
}

}  // namespace kelvo_dokan
