// The plumbing of the FUSE requests: names from the kernel, the answer of one request, the opens
// that last one request, and the attributes of an item as the kernel wants them.

#include "fuse_requests.h"

#include <platform_base/text_codec.h>
#include "create_flags.h"
#include "file_time.h"
#include "nt_status_errno.h"

namespace kelvo_dokan {

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

bool FuseDrive::Callbacks::ReplyStatus(Reply& reply, NTSTATUS status, const std::wstring& path,
                                       const char* operation) {
    const int error = NtStatusToErrno(status, path, operation);
    if (error != 0) {
        reply.Error(error);
        return false;
    }
    return true;
}

struct stat FuseDrive::Callbacks::ToStat(const FuseDrive& drive, const ItemFacts& facts,
                                         bool isDirectory, NodeId node) {
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

ItemFacts FuseDrive::Callbacks::FactsOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return ItemFacts{
        information.dwFileAttributes, FileSize(information.nFileSizeHigh, information.nFileSizeLow),
        information.ftLastAccessTime, information.ftLastWriteTime, information.nNumberOfLinks};
}

ItemFacts FuseDrive::Callbacks::FactsOf(const ListedEntry& entry) {
    return ItemFacts{entry.attributes, entry.size, entry.lastAccess, entry.lastWrite, 1};
}

bool FuseDrive::Callbacks::IsDirectory(const DOKAN_FILE_INFO& info, DWORD attributes) {
    return info.IsDirectory != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

NTSTATUS FuseDrive::Callbacks::GetInformation(FuseDrive& drive, const std::wstring& path,
                                              DOKAN_FILE_INFO& info,
                                              BY_HANDLE_FILE_INFORMATION& out) {
    out = BY_HANDLE_FILE_INFORMATION{};
    if (drive.m_operations.GetFileInformation == nullptr) {
        return STATUS_NOT_IMPLEMENTED;
    }
    return drive.m_operations.GetFileInformation(path.c_str(), &out, &info);
}

int FuseDrive::Callbacks::ReplyEntryFor(FuseDrive& drive, Reply& reply, NodeId parent,
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

}  // namespace kelvo_dokan
