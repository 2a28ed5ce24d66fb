#include "fuse_drive.h"

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include "../../common/drive_folder.h"
#include "../../common/text_codec.h"
#include "../../common/unmount_guard.h"
#include "create_flags.h"
#include "file_time.h"
#include "nt_status_errno.h"

#include <logging/logging.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace kelvo_dokan {
namespace {

// Short enough that changes made by other users of the repository show up promptly.
constexpr double kCacheSeconds = 1.0;
// The largest read and write requests the kernel may send (it caps them at its own limit).
constexpr unsigned kMaximumTransfer = 1024 * 1024;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ACCESS_MASK kAttributeAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Reported when the file system cannot say how much space it has: programs that check for free
// space before copying (file managers) must not refuse a drive that simply does not know.
constexpr ULONGLONG kUnknownCapacity = 1ULL << 50;
// The inode number shown for a listed item the kernel does not hold yet.
constexpr ino_t kUnknownInode = 0xFFFFFFFF;

// The drive whose request the current thread is serving, so that a removal asked for from inside
// an operation of that drive does not wait on itself.
thread_local FuseDrive* t_servingDrive = nullptr;

class ServingScope {
public:
    explicit ServingScope(FuseDrive* drive) : m_previous(t_servingDrive) { t_servingDrive = drive; }
    ~ServingScope() { t_servingDrive = m_previous; }
    ServingScope(const ServingScope&) = delete;
    ServingScope& operator=(const ServingScope&) = delete;

private:
    FuseDrive* m_previous;
};

// Tracks whether a request has been answered, so that a request whose handler failed in an
// unexpected way still gets an answer (EIO) instead of hanging the calling program.
class Reply {
public:
    explicit Reply(fuse_req_t request) : m_request(request) {}
    fuse_req_t Request() const { return m_request; }
    bool Done() const { return m_done; }

    void Error(int error) {
        m_done = true;
        fuse_reply_err(m_request, error);
    }
    int Entry(const fuse_entry_param& entry) {
        m_done = true;
        return fuse_reply_entry(m_request, &entry);
    }
    int Create(const fuse_entry_param& entry, const fuse_file_info* file) {
        m_done = true;
        return fuse_reply_create(m_request, &entry, file);
    }
    void Attributes(const struct stat& attributes) {
        m_done = true;
        fuse_reply_attr(m_request, &attributes, kCacheSeconds);
    }
    int Open(const fuse_file_info* file) {
        m_done = true;
        return fuse_reply_open(m_request, file);
    }
    void Buffer(const char* data, std::size_t size) {
        m_done = true;
        fuse_reply_buf(m_request, data, size);
    }
    void Written(std::size_t count) {
        m_done = true;
        fuse_reply_write(m_request, count);
    }
    void FileSystemStatus(const struct statvfs& status) {
        m_done = true;
        fuse_reply_statfs(m_request, &status);
    }

private:
    fuse_req_t m_request;
    bool m_done = false;
};

// A name from the kernel as the operations get it: wide, and refused when it holds a backslash
// (the operations' separator) or is not valid UTF-8.
std::optional<std::wstring> WideName(const char* name) {
    const std::string_view view(name);
    if (view.find('\\') != std::string_view::npos) {
        return std::nullopt;
    }
    return kelvo_platform::Utf8ToWide(view);
}

void LogRefusedName(const char* operation, const char* name) {
    KELVO_LOG(logging::kWarning) << L"Refused the name \"" << kelvo_platform::Utf8ToWideLossy(name)
                                 << L"\" in " << operation
                                 << L": it contains a backslash or is not UTF-8";
}

// A collision answered to "open or create" is the driver's way of saying "opened the existing
// item".
NTSTATUS NormalizeCreateStatus(NTSTATUS status, ULONG kernelDisposition) {
    if (status == STATUS_OBJECT_NAME_COLLISION &&
        CollisionMeansOpened(KernelDispositionToUser(kernelDisposition))) {
        return STATUS_SUCCESS;
    }
    return status;
}

ULONGLONG FileSize(DWORD high, DWORD low) {
    return (static_cast<ULONGLONG>(high) << 32) | low;
}

struct ItemFacts {
    DWORD attributes;
    ULONGLONG size;
    FILETIME lastAccess;
    FILETIME lastWrite;
    DWORD links;
};

void CallCleanup(const DOKAN_OPERATIONS& operations, LPCWSTR path, DOKAN_FILE_INFO& info) {
    try {
        if (operations.Cleanup != nullptr) {
            operations.Cleanup(path, &info);
        }
        if (operations.CloseFile != nullptr) {
            operations.CloseFile(path, &info);
        }
    } catch (const std::exception& error) {
        KELVO_LOG(logging::kError) << L"Cleanup of " << path << L" failed: " << error.what();
    } catch (...) {
        KELVO_LOG(logging::kError) << L"Cleanup of " << path << L" failed";
    }
}

// An open that lasts for one request (lookups, getattr without a handle, delete, rename...):
// ZwCreateFile now, Cleanup and CloseFile when it goes out of scope.
class TransientOpen {
public:
    TransientOpen(const DOKAN_OPERATIONS& operations, PDOKAN_OPTIONS options, std::wstring path,
                  ACCESS_MASK access, ULONG disposition, ULONG createOptions, pid_t processId)
        : m_operations(operations), m_path(std::move(path)) {
        m_info.DokanOptions = options;
        m_info.ProcessId = static_cast<ULONG>(processId);
        m_info.SynchronousIo = 1;
        m_info.IsDirectory = (createOptions & FILE_DIRECTORY_FILE) != 0 ? 1 : 0;
        if (operations.ZwCreateFile == nullptr) {
            m_status = STATUS_NOT_IMPLEMENTED;
            return;
        }
        DOKAN_IO_SECURITY_CONTEXT security{nullptr, access};
        m_status = NormalizeCreateStatus(
            operations.ZwCreateFile(m_path.c_str(), &security, access, FILE_ATTRIBUTE_NORMAL,
                                    kShareAll, disposition, createOptions, &m_info),
            disposition);
        m_opened = m_status >= 0;
    }
    ~TransientOpen() { Finish(); }

    // Cleanup and CloseFile now rather than at the end of the scope. A failed create that left a
    // context behind gets them too, so that the file system can release what it stored.
    void Finish() {
        if (m_finished) {
            return;
        }
        m_finished = true;
        if (m_opened || m_info.Context != 0) {
            if (!m_opened) {
                m_info.DeleteOnClose = 0;
            }
            CallCleanup(m_operations, m_path.c_str(), m_info);
        }
    }
    TransientOpen(const TransientOpen&) = delete;
    TransientOpen& operator=(const TransientOpen&) = delete;

    NTSTATUS Status() const { return m_status; }
    DOKAN_FILE_INFO& Info() { return m_info; }
    const std::wstring& Path() const { return m_path; }
    void SetPath(std::wstring path) { m_path = std::move(path); }

private:
    const DOKAN_OPERATIONS& m_operations;
    std::wstring m_path;
    DOKAN_FILE_INFO m_info{};
    NTSTATUS m_status = STATUS_SUCCESS;
    bool m_opened = false;
    bool m_finished = false;
};

OpenHandle* HandleOf(const fuse_file_info* file) {
    return reinterpret_cast<OpenHandle*>(static_cast<std::uintptr_t>(file->fh));
}

int FillFindData(PWIN32_FIND_DATAW findData, PDOKAN_FILE_INFO info) {
    try {
        auto* handle =
            reinterpret_cast<OpenHandle*>(static_cast<std::uintptr_t>(info->DokanContext));
        if (handle == nullptr || findData == nullptr) {
            return 1;
        }
        std::size_t length = 0;
        while (length < MAX_PATH && findData->cFileName[length] != L'\0') {
            ++length;
        }
        std::wstring wideName(findData->cFileName, length);
        if (wideName == L"." || wideName == L"..") {
            return 0;  // the layer lists those itself
        }
        std::optional<std::string> name = kelvo_platform::WideToUtf8(wideName);
        if (!name || name->empty() || name->find('/') != std::string::npos) {
            KELVO_LOG(logging::kWarning)
                << L"Left out of a folder listing: a name that Linux cannot show (" << wideName
                << L")";
            return 0;
        }
        handle->listing.push_back(
            ListedEntry{std::move(*name), std::move(wideName), findData->dwFileAttributes,
                        FileSize(findData->nFileSizeHigh, findData->nFileSizeLow),
                        findData->ftLastAccessTime, findData->ftLastWriteTime});
        return 0;
    } catch (...) {
        return 1;  // out of memory: the listing ends here
    }
}

}  // namespace

// --- The FUSE request handlers -------------------------------------------------------------------

struct FuseDrive::Callbacks {
    static FuseDrive& DriveOf(fuse_req_t request) {
        return *static_cast<FuseDrive*>(fuse_req_userdata(request));
    }
    static pid_t ProcessOf(fuse_req_t request) { return fuse_req_ctx(request)->pid; }

    // Runs one handler: marks the thread as serving the drive, and turns anything that escapes
    // the handler into a logged EIO answer.
    template <typename Handler>
    static void Serve(fuse_req_t request, const char* operation, Handler&& handler) {
        FuseDrive& drive = DriveOf(request);
        ServingScope scope(&drive);
        Reply reply(request);
        try {
            handler(drive, reply);
        } catch (const std::exception& error) {
            KELVO_LOG(logging::kError) << L"FUSE " << operation << L" failed: " << error.what();
        } catch (...) {
            KELVO_LOG(logging::kError) << L"FUSE " << operation << L" failed";
        }
        if (!reply.Done()) {
            reply.Error(EIO);
        }
    }

    static bool ReplyStatus(Reply& reply, NTSTATUS status, const std::wstring& path,
                            const char* operation) {
        const int error = NtStatusToErrno(status, path, operation);
        if (error != 0) {
            reply.Error(error);
            return false;
        }
        return true;
    }

    static struct stat ToStat(const FuseDrive& drive, const ItemFacts& facts, bool isDirectory,
                              NodeId node) {
        struct stat attributes {};
        attributes.st_ino = node;
        const bool readOnly = (facts.attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (isDirectory) {
            attributes.st_mode = S_IFDIR | (readOnly ? 0555 : 0755);
            attributes.st_size = 0;
        } else {
            attributes.st_mode = S_IFREG | (readOnly ? 0444 : 0644);
            attributes.st_size = static_cast<off_t>(facts.size);
        }
        attributes.st_nlink = facts.links > 0 ? facts.links : 1;
        attributes.st_uid = drive.m_owner;
        attributes.st_gid = drive.m_group;
        attributes.st_blksize = kMaximumTransfer;
        attributes.st_blocks = static_cast<blkcnt_t>((facts.size + 511) / 512);
        attributes.st_atim = FileTimeToTimespec(facts.lastAccess);
        attributes.st_mtim = FileTimeToTimespec(facts.lastWrite);
        attributes.st_ctim = attributes.st_mtim;
        return attributes;
    }

    static ItemFacts FactsOf(const BY_HANDLE_FILE_INFORMATION& information) {
        return ItemFacts{information.dwFileAttributes,
                         FileSize(information.nFileSizeHigh, information.nFileSizeLow),
                         information.ftLastAccessTime, information.ftLastWriteTime,
                         information.nNumberOfLinks};
    }

    static ItemFacts FactsOf(const ListedEntry& entry) {
        return ItemFacts{entry.attributes, entry.size, entry.lastAccess, entry.lastWrite, 1};
    }

    static bool IsDirectory(const DOKAN_FILE_INFO& info, DWORD attributes) {
        return info.IsDirectory != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    static NTSTATUS GetInformation(FuseDrive& drive, const std::wstring& path,
                                   DOKAN_FILE_INFO& info, BY_HANDLE_FILE_INFORMATION& out) {
        out = BY_HANDLE_FILE_INFORMATION{};
        if (drive.m_operations.GetFileInformation == nullptr) {
            return STATUS_NOT_IMPLEMENTED;
        }
        return drive.m_operations.GetFileInformation(path.c_str(), &out, &info);
    }

    // Answers with the entry of an item that `info` has open, counting one kernel lookup.
    static int ReplyEntryFor(FuseDrive& drive, Reply& reply, NodeId parent,
                             const std::wstring& name, const std::wstring& path,
                             DOKAN_FILE_INFO& info, const fuse_file_info* file) {
        BY_HANDLE_FILE_INFORMATION information;
        if (!ReplyStatus(reply, GetInformation(drive, path, info, information), path,
                         "GetFileInformation")) {
            return -1;
        }
        const bool isDirectory = IsDirectory(info, information.dwFileAttributes);
        const NodeId node = drive.m_nodes.Remember(parent, name, isDirectory);
        fuse_entry_param entry{};
        entry.ino = node;
        entry.attr = ToStat(drive, FactsOf(information), isDirectory, node);
        entry.attr_timeout = kCacheSeconds;
        entry.entry_timeout = kCacheSeconds;
        if (file != nullptr) {
            HandleOf(file)->node = node;
        }
        const int result = file != nullptr ? reply.Create(entry, file) : reply.Entry(entry);
        if (result != 0) {
            // The program gave up waiting (interrupted): the kernel never saw the entry.
            drive.m_nodes.Forget(node, 1);
        }
        return result;
    }

    // --- Lookups and attributes ---

    static void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
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
            TransientOpen open(drive.m_operations, drive.m_options, *path, kAttributeAccess,
                               FILE_OPEN, 0, ProcessOf(request));
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

    static void Forget(fuse_req_t request, fuse_ino_t node, uint64_t lookups) {
        DriveOf(request).m_nodes.Forget(node, lookups);
        fuse_reply_none(request);
    }

    static void ForgetMany(fuse_req_t request, size_t count, fuse_forget_data* forgets) {
        FuseDrive& drive = DriveOf(request);
        for (size_t index = 0; index < count; ++index) {
            drive.m_nodes.Forget(forgets[index].ino, forgets[index].nlookup);
        }
        fuse_reply_none(request);
    }

    // Answers getattr of a node from one of its open handles; false when it has none.
    static bool ReplyFromOpenHandle(FuseDrive& drive, Reply& reply, NodeId node) {
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

    static void GetAttributes(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
        Serve(request, "getattr", [&](FuseDrive& drive, Reply& reply) {
            if (drive.m_removalRequested.load() && node == kRootNode) {
                // The wake-up request of a removal: nothing to ask the file system.
                return reply.Error(ENOTCONN);
            }
            BY_HANDLE_FILE_INFORMATION information;
            if (file != nullptr && file->fh != 0) {
                OpenHandle* handle = HandleOf(file);
                const auto path = handle->Path();
                if (!ReplyStatus(reply, GetInformation(drive, *path, handle->info, information),
                                 *path, "GetFileInformation")) {
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
            TransientOpen open(drive.m_operations, drive.m_options, *path, kAttributeAccess,
                               FILE_OPEN, 0, ProcessOf(request));
            if (!ReplyStatus(reply, open.Status(), *path, "ZwCreateFile") ||
                !ReplyStatus(reply, GetInformation(drive, *path, open.Info(), information), *path,
                             "GetFileInformation")) {
                return;
            }
            const bool isDirectory = IsDirectory(open.Info(), information.dwFileAttributes);
            reply.Attributes(ToStat(drive, FactsOf(information), isDirectory, node));
        });
    }

    static void SetAttributes(fuse_req_t request, fuse_ino_t node, struct stat* wanted, int toSet,
                              fuse_file_info* file) {
        Serve(request, "setattr", [&](FuseDrive& drive, Reply& reply) {
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
                ACCESS_MASK access = kAttributeAccess;
                if ((toSet & FUSE_SET_ATTR_SIZE) != 0) {
                    access |= FILE_WRITE_DATA;
                }
                if ((toSet & ~FUSE_SET_ATTR_SIZE) != 0) {
                    access |= FILE_WRITE_ATTRIBUTES;
                }
                transient.emplace(drive.m_operations, drive.m_options, path, access, FILE_OPEN, 0,
                                  ProcessOf(request));
                if (!ReplyStatus(reply, transient->Status(), path, "ZwCreateFile")) {
                    return;
                }
                info = &transient->Info();
            }
            const DOKAN_OPERATIONS& operations = drive.m_operations;
            if ((toSet & FUSE_SET_ATTR_SIZE) != 0) {
                const NTSTATUS status =
                    operations.SetEndOfFile != nullptr
                        ? operations.SetEndOfFile(path.c_str(), wanted->st_size, info)
                        : STATUS_NOT_IMPLEMENTED;
                if (!ReplyStatus(reply, status, path, "SetEndOfFile")) {
                    return;
                }
            }
            BY_HANDLE_FILE_INFORMATION information;
            if ((toSet & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0) {
                // The item keeps no owner or permission bits: the mode's write bits become the
                // read-only attribute, and an owner change is handed on as an attribute update
                // that changes nothing, so that the file system may still refuse it.
                if (!ReplyStatus(reply, GetInformation(drive, path, *info, information), path,
                                 "GetFileInformation")) {
                    return;
                }
                DWORD attributes = information.dwFileAttributes & ~FILE_ATTRIBUTE_NORMAL;
                if ((toSet & FUSE_SET_ATTR_MODE) != 0) {
                    if ((wanted->st_mode & 0222) == 0) {
                        attributes |= FILE_ATTRIBUTE_READONLY;
                    } else {
                        attributes &= ~FILE_ATTRIBUTE_READONLY;
                    }
                }
                if (attributes == 0) {
                    attributes = FILE_ATTRIBUTE_NORMAL;
                }
                if (operations.SetFileAttributes != nullptr &&
                    !ReplyStatus(reply,
                                 operations.SetFileAttributes(path.c_str(), attributes, info), path,
                                 "SetFileAttributes")) {
                    return;
                }
            }
            if ((toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) != 0) {
                timespec now{};
                clock_gettime(CLOCK_REALTIME, &now);
                const FILETIME accessTime = TimespecToFileTime(
                    (toSet & FUSE_SET_ATTR_ATIME_NOW) != 0 ? now : wanted->st_atim);
                const FILETIME writeTime = TimespecToFileTime(
                    (toSet & FUSE_SET_ATTR_MTIME_NOW) != 0 ? now : wanted->st_mtim);
                if (operations.SetFileTime != nullptr &&
                    !ReplyStatus(
                        reply,
                        operations.SetFileTime(
                            path.c_str(), nullptr,
                            (toSet & FUSE_SET_ATTR_ATIME) != 0 ? &accessTime : nullptr,
                            (toSet & FUSE_SET_ATTR_MTIME) != 0 ? &writeTime : nullptr, info),
                        path, "SetFileTime")) {
                    return;
                }
            }
            if (!ReplyStatus(reply, GetInformation(drive, path, *info, information), path,
                             "GetFileInformation")) {
                return;
            }
            const bool isDirectory = IsDirectory(*info, information.dwFileAttributes);
            reply.Attributes(ToStat(drive, FactsOf(information), isDirectory, node));
        });
    }

    // --- Files ---

    static ACCESS_MASK AccessFor(int flags) {
        switch (flags & O_ACCMODE) {
            case O_RDONLY:
                return FILE_GENERIC_READ;
            case O_WRONLY:
                return FILE_GENERIC_WRITE;
            default:
                return FILE_GENERIC_READ | FILE_GENERIC_WRITE;
        }
    }

    static ULONG FileOptionsFor(int flags) {
        ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
        if ((flags & O_DIRECT) != 0) {
            options |= FILE_NO_INTERMEDIATE_BUFFERING;
        }
        if ((flags & (O_SYNC | O_DSYNC)) != 0) {
            options |= FILE_WRITE_THROUGH;
        }
        return options;
    }

    // Opens (or creates) an item for a new kernel handle. The handle is registered on success;
    // on failure the error has been answered and nothing is left behind.
    static OpenHandle* OpenHandleFor(FuseDrive& drive, Reply& reply, const std::wstring& path,
                                     NodeId node, ACCESS_MASK access, ULONG attributes,
                                     ULONG disposition, ULONG options, bool wantsDirectory) {
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

    static void CloseHandle(FuseDrive& drive, OpenHandle* handle) {
        drive.UnregisterHandle(handle);
        const auto path = handle->Path();
        CallCleanup(drive.m_operations, path->c_str(), handle->info);
        delete handle;
    }

    static void PrepareOpenReply(fuse_file_info* file, OpenHandle* handle) {
        file->fh = reinterpret_cast<std::uintptr_t>(handle);
        // The page cache serves repeated reads within one open; the next open drops it, so
        // that content changed by other users is read afresh.
        file->keep_cache = 0;
        file->direct_io = 0;
    }

    static void Create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
                       fuse_file_info* file) {
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
                OpenHandleFor(drive, reply, *path, 0, AccessFor(file->flags), attributes,
                              disposition, FileOptionsFor(file->flags), false);
            if (handle == nullptr) {
                return;
            }
            PrepareOpenReply(file, handle);
            if (ReplyEntryFor(drive, reply, parent, *wideName, *path, handle->info, file) != 0) {
                CloseHandle(drive, handle);
            }
        });
    }

    static void Open(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
        Serve(request, "open", [&](FuseDrive& drive, Reply& reply) {
            const std::optional<std::wstring> path = drive.m_nodes.PathOf(node);
            if (!path) {
                return reply.Error(ENOENT);
            }
            const ULONG disposition = (file->flags & O_TRUNC) != 0 ? FILE_OVERWRITE : FILE_OPEN;
            OpenHandle* handle = OpenHandleFor(drive, reply, *path, node, AccessFor(file->flags),
                                               FILE_ATTRIBUTE_NORMAL, disposition,
                                               FileOptionsFor(file->flags), false);
            if (handle == nullptr) {
                return;
            }
            PrepareOpenReply(file, handle);
            if (reply.Open(file) != 0) {
                CloseHandle(drive, handle);
            }
        });
    }

    static void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset,
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

    static void Write(fuse_req_t request, fuse_ino_t, const char* data, size_t size, off_t offset,
                      fuse_file_info* file) {
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

    // Every close() of a descriptor, and fsync: the file system writes what it holds, so that a
    // failure to store the content reaches the program's close() or fsync().
    static void FlushHandle(fuse_req_t request, fuse_file_info* file, bool forClose) {
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

    static void Flush(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
        FlushHandle(request, file, true);
    }

    static void Fsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info* file) {
        FlushHandle(request, file, false);
    }

    static void Release(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
        Serve(request, "release", [&](FuseDrive& drive, Reply& reply) {
            CloseHandle(drive, HandleOf(file));
            reply.Error(0);
        });
    }

    // --- Folders ---

    static void OpenDirectory(fuse_req_t request, fuse_ino_t node, fuse_file_info* file) {
        Serve(request, "opendir", [&](FuseDrive& drive, Reply& reply) {
            const std::optional<std::wstring> path = drive.m_nodes.PathOf(node);
            if (!path) {
                return reply.Error(ENOENT);
            }
            OpenHandle* handle = OpenHandleFor(
                drive, reply, *path, node, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                FILE_ATTRIBUTE_NORMAL, FILE_OPEN,
                FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, true);
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

    static NTSTATUS List(FuseDrive& drive, OpenHandle& handle) {
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

    // Position 0 is ".", 1 is "..", and n + 2 the listing's item n; an entry's offset is the
    // position of the one after it.
    static constexpr std::size_t kDots = 2;

    static struct stat DotAttributes(FuseDrive& drive, NodeId node, std::size_t position) {
        struct stat attributes {};
        attributes.st_mode = S_IFDIR;
        attributes.st_ino = position == 0 ? node : drive.m_nodes.ParentOf(node);
        return attributes;
    }

    static bool IsFolder(const ListedEntry& entry) {
        return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    static std::size_t FillPlain(FuseDrive& drive, OpenHandle& handle, fuse_req_t request,
                                 NodeId node, char* buffer, std::size_t size,
                                 std::size_t position) {
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
                attributes.st_ino =
                    drive.m_nodes.Find(node, entry.wideName).value_or(kUnknownInode);
            }
            const std::size_t needed =
                fuse_add_direntry(request, buffer + used, size - used, name, &attributes,
                                  static_cast<off_t>(position + 1));
            if (needed > size - used) {
                break;
            }
            used += needed;
        }
        return used;
    }

    // With attributes: every listed item becomes known to the kernel (one lookup each), so that
    // `ls -l` needs no further request per item.
    static std::size_t FillPlus(FuseDrive& drive, OpenHandle& handle, fuse_req_t request,
                                NodeId node, char* buffer, std::size_t size, std::size_t position) {
        // First what fits, so that an entry left out is not counted as a lookup; then all the
        // lookups of this answer under one lock.
        const std::size_t total = handle.listing.size() + kDots;
        std::size_t end = position;
        std::size_t needed = 0;
        for (; end < total; ++end) {
            const char* name =
                end < kDots ? (end == 0 ? "." : "..") : handle.listing[end - kDots].name.c_str();
            const std::size_t entrySize =
                fuse_add_direntry_plus(request, nullptr, 0, name, nullptr, 0);
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

    static void ReadDirectory(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                              fuse_file_info* file, bool plus) {
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
            const std::size_t used = plus ? FillPlus(drive, *handle, request, node, buffer.data(),
                                                     size, static_cast<std::size_t>(offset))
                                          : FillPlain(drive, *handle, request, node, buffer.data(),
                                                      size, static_cast<std::size_t>(offset));
            reply.Buffer(buffer.data(), used);
        });
    }

    static void ReadDirectoryPlain(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                                   fuse_file_info* file) {
        ReadDirectory(request, node, size, offset, file, false);
    }

    static void ReadDirectoryPlus(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                                  fuse_file_info* file) {
        ReadDirectory(request, node, size, offset, file, true);
    }

    static void ReleaseDirectory(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
        Serve(request, "releasedir", [&](FuseDrive& drive, Reply& reply) {
            CloseHandle(drive, HandleOf(file));
            reply.Error(0);
        });
    }

    static void FsyncDirectory(fuse_req_t request, fuse_ino_t, int, fuse_file_info*) {
        fuse_reply_err(request, 0);  // a folder holds nothing unwritten
    }

    static void MakeDirectory(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t) {
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

    static void MakeNode(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
                         dev_t) {
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

    // unlink and rmdir: open with delete access, ask DeleteFile / DeleteDirectory, then let
    // Cleanup carry the delete out.
    static void Remove(fuse_req_t request, fuse_ino_t parent, const char* name, bool directory) {
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
            TransientOpen open(
                drive.m_operations, drive.m_options, *path, DELETE | kAttributeAccess, FILE_OPEN,
                directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE, ProcessOf(request));
            if (!ReplyStatus(reply, open.Status(), *path, "ZwCreateFile")) {
                return;
            }
            const auto operation =
                directory ? drive.m_operations.DeleteDirectory : drive.m_operations.DeleteFile;
            const NTSTATUS status = operation != nullptr ? operation(path->c_str(), &open.Info())
                                                         : STATUS_NOT_IMPLEMENTED;
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

    static void Unlink(fuse_req_t request, fuse_ino_t parent, const char* name) {
        Remove(request, parent, name, false);
    }

    static void RemoveDirectory(fuse_req_t request, fuse_ino_t parent, const char* name) {
        Remove(request, parent, name, true);
    }

    static void Rename(fuse_req_t request, fuse_ino_t parent, const char* name,
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
            TransientOpen open(drive.m_operations, drive.m_options, *path,
                               DELETE | kAttributeAccess, FILE_OPEN, 0, ProcessOf(request));
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
            const NTSTATUS status =
                drive.m_operations.MoveFile != nullptr
                    ? drive.m_operations.MoveFile(path->c_str(), newPath->c_str(), replace,
                                                  &open.Info())
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

    // --- Things the drive does not have ---

    static void Refuse(fuse_req_t request, int error) { fuse_reply_err(request, error); }

    static void SymbolicLink(fuse_req_t request, const char*, fuse_ino_t, const char*) {
        Refuse(request, EPERM);
    }
    static void HardLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*) {
        Refuse(request, EPERM);
    }
    static void ReadLink(fuse_req_t request, fuse_ino_t) { Refuse(request, EINVAL); }

    // --- The volume ---

    static void FileSystemStatus(fuse_req_t request, fuse_ino_t) {
        Serve(request, "statfs", [&](FuseDrive& drive, Reply& reply) {
            ULONGLONG freeForCaller = 0;
            ULONGLONG total = 0;
            ULONGLONG totalFree = 0;
            NTSTATUS status = STATUS_NOT_IMPLEMENTED;
            if (drive.m_operations.GetDiskFreeSpace != nullptr) {
                DOKAN_FILE_INFO info{};
                info.DokanOptions = drive.m_options;
                info.ProcessId = static_cast<ULONG>(ProcessOf(request));
                status =
                    drive.m_operations.GetDiskFreeSpace(&freeForCaller, &total, &totalFree, &info);
            }
            if (status < 0 || total == 0) {
                freeForCaller = total = totalFree = kUnknownCapacity;
            }
            const ULONG unit = drive.m_options->AllocationUnitSize != 0
                                   ? drive.m_options->AllocationUnitSize
                                   : 4096;
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

    static void Initialize(void* userData, fuse_conn_info* connection) {
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

    static const fuse_lowlevel_ops& Table() {
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
};

// --- Lifecycle -----------------------------------------------------------------------------------

FuseDrive::FuseDrive(PDOKAN_OPTIONS options, const DOKAN_OPERATIONS& operations,
                     std::filesystem::path folder, std::wstring mountPointKey)
    : m_options(options),
      m_operations(operations),
      m_folder(std::move(folder)),
      m_mountPointKey(std::move(mountPointKey)),
      m_owner(::getuid()),
      m_group(::getgid()) {}

FuseDrive::~FuseDrive() {
    if (m_session != nullptr) {
        fuse_session_destroy(m_session);
    }
}

std::string FuseDrive::VolumeLabel() {
    if (m_operations.GetVolumeInformation == nullptr) {
        return {};
    }
    WCHAR volumeName[MAX_PATH + 1] = {};
    WCHAR fileSystemName[MAX_PATH + 1] = {};
    DWORD serialNumber = 0;
    DWORD maximumComponentLength = 0;
    DWORD fileSystemFlags = 0;
    DOKAN_FILE_INFO info{};
    info.DokanOptions = m_options;
    info.ProcessId = static_cast<ULONG>(::getpid());
    NTSTATUS status = STATUS_SUCCESS;
    try {
        status = m_operations.GetVolumeInformation(volumeName, MAX_PATH + 1, &serialNumber,
                                                   &maximumComponentLength, &fileSystemFlags,
                                                   fileSystemName, MAX_PATH + 1, &info);
    } catch (const std::exception& error) {
        KELVO_LOG(logging::kError) << L"GetVolumeInformation failed: " << error.what();
        return {};
    }
    if (status < 0) {
        KELVO_LOG(logging::kWarning)
            << L"GetVolumeInformation answered 0x" << std::hex << static_cast<DWORD>(status);
        return {};
    }
    volumeName[MAX_PATH] = L'\0';
    fileSystemName[MAX_PATH] = L'\0';
    if (maximumComponentLength != 0) {
        m_maximumComponentLength = maximumComponentLength;
    }
    m_fileSystemName = fileSystemName;
    return kelvo_platform::WideToUtf8Lossy(volumeName);
}

namespace {

std::set<int> OpenDescriptors() {
    std::set<int> descriptors;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        descriptors.insert(std::atoi(entry.path().filename().c_str()));
    }
    return descriptors;
}

// The mount helper's watchdog socket stays open in this process so that the helper notices when
// the process ends; programs this process starts must not inherit it, or the watchdog would wait
// for them too.
void KeepSocketsFromChildren(const std::set<int>& before) {
    for (const int descriptor : OpenDescriptors()) {
        struct stat status {};
        if (before.count(descriptor) != 0 || ::fstat(descriptor, &status) != 0 ||
            !S_ISSOCK(status.st_mode)) {
            continue;
        }
        const int flags = ::fcntl(descriptor, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
            ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}

}  // namespace

int FuseDrive::Mount() {
    std::string label = VolumeLabel();
    if (label.empty()) {
        label = "KelvoDrive";
    }
    // The option parser splits at commas and takes a backslash as an escape.
    std::string escapedLabel;
    for (const char character : label) {
        if (character == ',' || character == '\\') {
            escapedLabel.push_back('\\');
        }
        escapedLabel.push_back(character);
    }
    std::string mountOptions = "fsname=" + escapedLabel +
                               ",subtype=kelvo,default_permissions,auto_unmount,max_read=" +
                               std::to_string(kMaximumTransfer);
    if ((m_options->Options & DOKAN_OPTION_WRITE_PROTECT) != 0) {
        mountOptions += ",ro";
    }
    std::vector<std::string> arguments = {"kelvo", "-o", mountOptions};
    if ((m_options->Options & DOKAN_OPTION_DEBUG) != 0) {
        arguments.emplace_back("-d");
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    m_session = fuse_session_new(&args, &Callbacks::Table(), sizeof(fuse_lowlevel_ops), this);
    fuse_opt_free_args(&args);
    if (m_session == nullptr) {
        KELVO_LOG(logging::kError) << L"Cannot start a FUSE session for " << m_folder.c_str();
        return DOKAN_START_ERROR;
    }
    const std::set<int> descriptorsBefore = OpenDescriptors();
    const int mountResult = fuse_session_mount(m_session, m_folder.c_str());
    KeepSocketsFromChildren(descriptorsBefore);
    if (mountResult != 0) {
        KELVO_LOG(logging::kError) << L"Cannot mount " << m_folder.c_str();
        fuse_session_destroy(m_session);
        m_session = nullptr;
        return DOKAN_MOUNT_ERROR;
    }
    m_crashGuard = std::make_unique<kelvo_platform::UnmountGuard>(m_folder);
    KELVO_LOG(logging::kInfo) << L"Mounted " << m_mountPointKey << L" on " << m_folder.c_str()
                              << L" (fuse.kelvo, \"" << kelvo_platform::Utf8ToWideLossy(label)
                              << L"\", " << m_fileSystemName << L")";
    return DOKAN_SUCCESS;
}

void FuseDrive::Serve() {
    fuse_loop_config* config = fuse_loop_cfg_create();
    unsigned threads = m_options->ThreadCount;
    if (threads == 0) {
        threads = std::max(2u, std::thread::hardware_concurrency());
    }
    fuse_loop_cfg_set_clone_fd(config, 1);
    fuse_loop_cfg_set_max_threads(config, threads);
    fuse_loop_cfg_set_idle_threads(config, threads);
    const int result = fuse_session_loop_mt(m_session, config);
    fuse_loop_cfg_destroy(config);
    if (result != 0 && !m_removalRequested.load()) {
        KELVO_LOG(logging::kWarning)
            << L"The FUSE loop of " << m_folder.c_str() << L" ended with " << result;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_loopEnded = true;
    }
    m_stateChanged.notify_all();
}

void FuseDrive::CallNotification(NTSTATUS (*notification)(PDOKAN_FILE_INFO), const char* name) {
    if (notification == nullptr) {
        return;
    }
    DOKAN_FILE_INFO info{};
    info.DokanOptions = m_options;
    info.ProcessId = static_cast<ULONG>(::getpid());
    try {
        notification(&info);
    } catch (const std::exception& error) {
        KELVO_LOG(logging::kError) << name << L" failed: " << error.what();
    } catch (...) {
        KELVO_LOG(logging::kError) << name << L" failed";
    }
}

int FuseDrive::Run() {
    if (m_removalRequested.load()) {
        m_finished = true;  // removed before it was ever mounted
        return DOKAN_SUCCESS;
    }
    const int mountResult = Mount();
    if (mountResult != DOKAN_SUCCESS) {
        m_finished = true;
        return mountResult;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_mounted = true;
    }
    std::thread loop([this] { Serve(); });
    if (m_removalRequested.load()) {
        DetachAndStop();  // asked for while the mount was being made
    }
    bool initialized = false;
    {
        std::unique_lock<std::mutex> lock(m_stateMutex);
        m_stateChanged.wait(lock, [this] { return m_initialized || m_loopEnded; });
        initialized = m_initialized;
    }
    if (initialized) {
        CallNotification(m_operations.Mounted, "Mounted");
    }
    loop.join();
    {
        // A removal on another thread may still be detaching and using the session.
        std::unique_lock<std::mutex> lock(m_stateMutex);
        m_stateChanged.wait(lock, [this] { return m_removalsInProgress == 0; });
    }
    ReleaseLeftoverHandles();
    if (!m_detached.load()) {
        fuse_session_unmount(m_session);
    }
    fuse_session_destroy(m_session);
    m_session = nullptr;
    m_crashGuard.reset();
    KELVO_LOG(logging::kInfo) << L"Unmounted " << m_mountPointKey << L" from " << m_folder.c_str();
    if (initialized) {
        CallNotification(m_operations.Unmounted, "Unmounted");
    }
    m_finished = true;
    return DOKAN_SUCCESS;
}

void FuseDrive::RequestRemoval() {
    if (m_removalRequested.exchange(true)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (!m_mounted || m_loopEnded) {
            return;  // Run() looks at the request once the mount exists
        }
    }
    if (t_servingDrive == this) {
        std::thread([self = shared_from_this()] { self->DetachAndStop(); }).detach();
        return;
    }
    DetachAndStop();
}

void FuseDrive::DetachAndStop() {
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (m_loopEnded) {
            return;
        }
        ++m_removalsInProgress;
    }
    // A handle on the mount's root taken before the detach: through it one request still reaches
    // the loop afterwards and wakes a worker, which then sees that the session is to end.
    const int root = ::open(m_folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const bool detached = kelvo_platform::DetachMount(m_folder);
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (detached) {
            m_detached = true;
        }
        fuse_session_exit(m_session);
        --m_removalsInProgress;
    }
    m_stateChanged.notify_all();
    if (root >= 0) {
        // Nobody waits for the wake-up request: a worker answers it, or, when the loop has ended
        // already, it fails as soon as the session is closed.
        std::thread([root] {
            struct statx status {};
            ::statx(root, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_TYPE, &status);
            ::close(root);
        }).detach();
    }
}

void FuseDrive::RegisterHandle(OpenHandle* handle) {
    std::lock_guard<std::mutex> lock(m_handlesMutex);
    handle->previous = nullptr;
    handle->next = m_firstHandle;
    if (m_firstHandle != nullptr) {
        m_firstHandle->previous = handle;
    }
    m_firstHandle = handle;
}

void FuseDrive::UnregisterHandle(OpenHandle* handle) {
    std::lock_guard<std::mutex> lock(m_handlesMutex);
    if (handle->previous != nullptr) {
        handle->previous->next = handle->next;
    } else if (m_firstHandle == handle) {
        m_firstHandle = handle->next;
    }
    if (handle->next != nullptr) {
        handle->next->previous = handle->previous;
    }
    handle->previous = handle->next = nullptr;
}

void FuseDrive::RenameOpenHandles(const std::wstring& oldPath, const std::wstring& newPath) {
    std::lock_guard<std::mutex> lock(m_handlesMutex);
    for (OpenHandle* handle = m_firstHandle; handle != nullptr; handle = handle->next) {
        const auto path = handle->Path();
        if (*path == oldPath) {
            handle->SetPath(newPath);
        } else if (path->size() > oldPath.size() &&
                   path->compare(0, oldPath.size(), oldPath) == 0 &&
                   (*path)[oldPath.size()] == L'\\') {
            handle->SetPath(newPath + path->substr(oldPath.size()));
        }
    }
}

NTSTATUS FuseDrive::FlushOpenHandles(const std::wstring& path) {
    if (m_operations.FlushFileBuffers == nullptr) {
        return STATUS_SUCCESS;
    }
    // Held through the flushes, so that no handle is released under them; opens and closes of
    // the drive wait that long.
    std::lock_guard<std::mutex> lock(m_handlesMutex);
    for (OpenHandle* handle = m_firstHandle; handle != nullptr; handle = handle->next) {
        if (handle->info.IsDirectory != 0 || *handle->Path() != path) {
            continue;
        }
        const NTSTATUS status = m_operations.FlushFileBuffers(path.c_str(), &handle->info);
        if (status < 0) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

void FuseDrive::ReleaseLeftoverHandles() {
    OpenHandle* leftovers = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_handlesMutex);
        leftovers = m_firstHandle;
        m_firstHandle = nullptr;
    }
    while (leftovers != nullptr) {
        OpenHandle* handle = leftovers;
        leftovers = handle->next;
        const auto path = handle->Path();
        CallCleanup(m_operations, path->c_str(), handle->info);
        delete handle;
    }
}

}  // namespace kelvo_dokan
