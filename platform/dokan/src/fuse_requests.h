#pragma once

// What the rooms of the FUSE layer share: the answer to one request, the opens that last one
// request, and the callback table whose handlers live in fuse_requests.cpp (plumbing),
// fuse_attributes.cpp, fuse_files.cpp, fuse_folders.cpp and fuse_volume.cpp. Private to the layer.

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include "fuse_drive.h"

#include <logging/logging.h>

#include <sys/stat.h>
#include <cstdint>
#include <optional>
#include <string>

namespace kelvo_dokan {

// Short enough that changes made by other users of the repository show up promptly.
inline constexpr double kCacheSeconds = 1.0;
// The largest read and write requests the kernel may send (it caps them at its own limit).
inline constexpr unsigned kMaximumTransfer = 1024 * 1024;
inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr ACCESS_MASK kAttributeAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
// Reported when the file system cannot say how much space it has: programs that check for free
// space before copying (file managers) must not refuse a drive that simply does not know.
inline constexpr ULONGLONG kUnknownCapacity = 1ULL << 50;
// The inode number shown for a listed item the kernel does not hold yet.
inline constexpr ino_t kUnknownInode = 0xFFFFFFFF;

// The drive whose request the current thread is serving, so that a removal asked for from inside
// an operation of that drive does not wait on itself.
inline thread_local FuseDrive* t_servingDrive = nullptr;

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
std::optional<std::wstring> WideName(const char* name);

void LogRefusedName(const char* operation, const char* name);

// A collision answered to "open or create" is the driver's way of saying "opened the existing
// item".
NTSTATUS NormalizeCreateStatus(NTSTATUS status, ULONG kernelDisposition);

inline ULONGLONG FileSize(DWORD high, DWORD low) {
    return (static_cast<ULONGLONG>(high) << 32) | low;
}

struct ItemFacts {
    DWORD attributes;
    ULONGLONG size;
    FILETIME lastAccess;
    FILETIME lastWrite;
    DWORD links;
};

// Cleanup and CloseFile of an open, with anything they throw logged.
void CallCleanup(const DOKAN_OPERATIONS& operations, LPCWSTR path, DOKAN_FILE_INFO& info);

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

inline OpenHandle* HandleOf(const fuse_file_info* file) {
    return reinterpret_cast<OpenHandle*>(static_cast<std::uintptr_t>(file->fh));
}

// Adds one found item to the listing of the handle in `info`; the driver API's callback.
int FillFindData(PWIN32_FIND_DATAW findData, PDOKAN_FILE_INFO info);

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
                            const char* operation);

    static struct stat ToStat(const FuseDrive& drive, const ItemFacts& facts, bool isDirectory,
                              NodeId node);

    static ItemFacts FactsOf(const BY_HANDLE_FILE_INFORMATION& information);

    static ItemFacts FactsOf(const ListedEntry& entry);

    static bool IsDirectory(const DOKAN_FILE_INFO& info, DWORD attributes);

    static NTSTATUS GetInformation(FuseDrive& drive, const std::wstring& path,
                                   DOKAN_FILE_INFO& info, BY_HANDLE_FILE_INFORMATION& out);

    // Answers with the entry of an item that `info` has open, counting one kernel lookup.
    static int ReplyEntryFor(FuseDrive& drive, Reply& reply, NodeId parent,
                             const std::wstring& name, const std::wstring& path,
                             DOKAN_FILE_INFO& info, const fuse_file_info* file);

    // --- Lookups and attributes (fuse_attributes.cpp) ---

    static void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name);

    static void Forget(fuse_req_t request, fuse_ino_t node, uint64_t lookups);

    static void ForgetMany(fuse_req_t request, size_t count, fuse_forget_data* forgets);

    // Answers getattr of a node from one of its open handles; false when it has none.
    static bool ReplyFromOpenHandle(FuseDrive& drive, Reply& reply, NodeId node);

    static void GetAttributes(fuse_req_t request, fuse_ino_t node, fuse_file_info* file);

    static void SetAttributes(fuse_req_t request, fuse_ino_t node, struct stat* wanted, int toSet,
                              fuse_file_info* file);
    // The steps of setattr. SetSize and SetTimes give the status of their driver call;
    // SetModeAndOwner answers a failure itself and then returns false.
    static ACCESS_MASK AccessToSet(int toSet);
    static NTSTATUS SetSize(FuseDrive& drive, const std::wstring& path, DOKAN_FILE_INFO& info,
                            off_t size);
    static bool SetModeAndOwner(FuseDrive& drive, Reply& reply, const std::wstring& path,
                                DOKAN_FILE_INFO& info, const struct stat& wanted, int toSet);
    static NTSTATUS SetTimes(FuseDrive& drive, const std::wstring& path, DOKAN_FILE_INFO& info,
                             const struct stat& wanted, int toSet);

    // --- Files (fuse_files.cpp) ---

    static ACCESS_MASK AccessFor(int flags);

    static ULONG FileOptionsFor(int flags);

    // Opens (or creates) an item for a new kernel handle. The handle is registered on success;
    // on failure the error has been answered and nothing is left behind.
    static OpenHandle* OpenHandleFor(FuseDrive& drive, Reply& reply, const std::wstring& path,
                                     NodeId node, ACCESS_MASK access, ULONG attributes,
                                     ULONG disposition, ULONG options, bool wantsDirectory);

    static void CloseHandle(FuseDrive& drive, OpenHandle* handle);

    static void PrepareOpenReply(fuse_file_info* file, OpenHandle* handle);

    static void Create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
                       fuse_file_info* file);

    static void Open(fuse_req_t request, fuse_ino_t node, fuse_file_info* file);

    static void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset,
                     fuse_file_info* file);

    static void Write(fuse_req_t request, fuse_ino_t, const char* data, size_t size, off_t offset,
                      fuse_file_info* file);

    // Every close() of a descriptor, and fsync: the file system writes what it holds, so that a
    // failure to store the content reaches the program's close() or fsync().
    static void FlushHandle(fuse_req_t request, fuse_file_info* file, bool forClose);

    static void Flush(fuse_req_t request, fuse_ino_t, fuse_file_info* file);

    static void Fsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info* file);

    static void Release(fuse_req_t request, fuse_ino_t, fuse_file_info* file);

    // --- Folders (fuse_folders.cpp) ---

    static void OpenDirectory(fuse_req_t request, fuse_ino_t node, fuse_file_info* file);

    static NTSTATUS List(FuseDrive& drive, OpenHandle& handle);

    // Position 0 is ".", 1 is "..", and n + 2 the listing's item n; an entry's offset is the
    // position of the one after it.
    static constexpr std::size_t kDots = 2;

    static struct stat DotAttributes(FuseDrive& drive, NodeId node, std::size_t position);

    static bool IsFolder(const ListedEntry& entry);

    static std::size_t FillPlain(FuseDrive& drive, OpenHandle& handle, fuse_req_t request,
                                 NodeId node, char* buffer, std::size_t size, std::size_t position);

    // With attributes: every listed item becomes known to the kernel (one lookup each), so that
    // `ls -l` needs no further request per item.
    static std::size_t FillPlus(FuseDrive& drive, OpenHandle& handle, fuse_req_t request,
                                NodeId node, char* buffer, std::size_t size, std::size_t position);

    static void ReadDirectory(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                              fuse_file_info* file, bool plus);

    static void ReadDirectoryPlain(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                                   fuse_file_info* file);

    static void ReadDirectoryPlus(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                                  fuse_file_info* file);

    static void ReleaseDirectory(fuse_req_t request, fuse_ino_t, fuse_file_info* file);

    static void FsyncDirectory(fuse_req_t request, fuse_ino_t, int, fuse_file_info*);

    static void MakeDirectory(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t);

    static void MakeNode(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
                         dev_t);

    // unlink and rmdir: open with delete access, ask DeleteFile / DeleteDirectory, then let
    // Cleanup carry the delete out.
    static void Remove(fuse_req_t request, fuse_ino_t parent, const char* name, bool directory);

    static void Unlink(fuse_req_t request, fuse_ino_t parent, const char* name);

    static void RemoveDirectory(fuse_req_t request, fuse_ino_t parent, const char* name);

    static void Rename(fuse_req_t request, fuse_ino_t parent, const char* name,
                       fuse_ino_t newParent, const char* newName, unsigned int flags);

    // --- Things the drive does not have (fuse_volume.cpp) ---

    static void Refuse(fuse_req_t request, int error) { fuse_reply_err(request, error); }

    static void SymbolicLink(fuse_req_t request, const char*, fuse_ino_t, const char*);

    static void HardLink(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*);

    static void ReadLink(fuse_req_t request, fuse_ino_t);

    // --- The volume (fuse_volume.cpp) ---

    static void FileSystemStatus(fuse_req_t request, fuse_ino_t);

    static void Initialize(void* userData, fuse_conn_info* connection);

    static const fuse_lowlevel_ops& Table();
};

}  // namespace kelvo_dokan
