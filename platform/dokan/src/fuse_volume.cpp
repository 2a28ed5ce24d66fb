// The volume (statfs, the start of the session, the callback table) and the requests the drive
// refuses.

#include "fuse_requests.h"

#include <sys/statvfs.h>
#include <mutex>

namespace kelvo_dokan {

void FuseDrive::Callbacks::SymbolicLink(fuse_req_t request, const char*, fuse_ino_t, const char*) {
    Refuse(request, EPERM);
}

void FuseDrive::Callbacks::HardLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*) {
    Refuse(request, EPERM);
}

void FuseDrive::Callbacks::ReadLink(fuse_req_t request, fuse_ino_t) {
    Refuse(request, EINVAL);
}

void FuseDrive::Callbacks::FileSystemStatus(fuse_req_t request, fuse_ino_t) {
    Serve(request, "statfs", [&](FuseDrive& drive, Reply& reply) {
        ULONGLONG freeForCaller = 0;
        ULONGLONG total = 0;
        ULONGLONG totalFree = 0;
        NTSTATUS status = STATUS_NOT_IMPLEMENTED;
        if (drive.m_operations.GetDiskFreeSpace != nullptr) {
            DOKAN_FILE_INFO info{};
            info.DokanOptions = drive.m_options;
            info.ProcessId = static_cast<ULONG>(ProcessOf(request));
            status = drive.m_operations.GetDiskFreeSpace(&freeForCaller, &total, &totalFree, &info);
        }
        if (status < 0 || total == 0) {
            freeForCaller = total = totalFree = kUnknownCapacity;
        }
        const ULONG unit =
            drive.m_options->AllocationUnitSize != 0 ? drive.m_options->AllocationUnitSize : 4096;
        struct statvfs result {};
        result.f_bsize = unit;
        result.f_frsize = unit;
        result.f_blocks = total / unit;
        result.f_bfree = totalFree / unit;
        result.f_bavail = freeForCaller / unit;
        result.f_files = 0;
        result.f_ffree = 0;
        result.f_namemax = drive.m_maximumComponentLength;
        reply.FileSystemStatus(result);
    });
}

void FuseDrive::Callbacks::Initialize(void* userData, fuse_conn_info* connection) {
    auto* drive = static_cast<FuseDrive*>(userData);
    if ((connection->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0) {
        connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    }
    if ((connection->capable & FUSE_CAP_READDIRPLUS) != 0) {
        connection->want |= FUSE_CAP_READDIRPLUS;
        connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    }
    connection->want &= ~(FUSE_CAP_WRITEBACK_CACHE | FUSE_CAP_POSIX_ACL);
    connection->max_write = kMaximumTransfer;
    connection->max_read = kMaximumTransfer;
    connection->time_gran = 100;  // FILETIME counts 100 ns
    {
        std::lock_guard<std::mutex> lock(drive->m_stateMutex);
        drive->m_initialized = true;
    }
    drive->m_stateChanged.notify_all();
}

const fuse_lowlevel_ops& FuseDrive::Callbacks::Table() {
    static const fuse_lowlevel_ops table = [] {
        fuse_lowlevel_ops operations{};
        operations.init = &Initialize;
        operations.lookup = &Lookup;
        operations.forget = &Forget;
        operations.forget_multi = &ForgetMany;
        operations.getattr = &GetAttributes;
        operations.setattr = &SetAttributes;
        operations.readlink = &ReadLink;
        operations.mknod = &MakeNode;
        operations.mkdir = &MakeDirectory;
        operations.unlink = &Unlink;
        operations.rmdir = &RemoveDirectory;
        operations.symlink = &SymbolicLink;
        operations.rename = &Rename;
        operations.link = &HardLink;
        operations.open = &Open;
        operations.read = &Read;
        operations.write = &Write;
        operations.flush = &Flush;
        operations.release = &Release;
        operations.fsync = &Fsync;
        operations.opendir = &OpenDirectory;
        operations.readdir = &ReadDirectoryPlain;
        operations.releasedir = &ReleaseDirectory;
        operations.fsyncdir = &FsyncDirectory;
        operations.statfs = &FileSystemStatus;
        operations.create = &Create;
        operations.readdirplus = &ReadDirectoryPlus;
        // Record locks and flock are left out: the kernel then keeps them itself, which is
        // what programs on this machine need. Between machines the edit lock decides.
        // Extended attributes are left out: the kernel then answers ENOTSUP itself without
        // asking again, which keeps `ls -l` from costing a request per item.
        return operations;
    }();
    return table;
}

}  // namespace kelvo_dokan
