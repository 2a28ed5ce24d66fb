#include "nt_status_errno.h"

#include <logging/logging.h>

#include <cerrno>
#include <iomanip>

namespace kelvo_dokan {
namespace {

constexpr std::size_t kMaximumNameLength = 255;

bool HasOverlongPart(std::wstring_view path) {
    if (path.size() > kMaximumNameLength) {
        return true;
    }
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) {
            end = path.size();
        }
        if (end - start > kMaximumNameLength) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace

int NtStatusToErrno(NTSTATUS status, std::wstring_view path, const char* operation) {
    if (status >= 0) {
        return 0;
    }
    switch (status) {
        case STATUS_ACCESS_DENIED:
        case STATUS_PRIVILEGE_NOT_HELD:
        case STATUS_DELETE_PENDING:
            return EACCES;
        case STATUS_CANNOT_DELETE:
            return EPERM;  // the item is one the file system never lets go
        case STATUS_OBJECT_NAME_NOT_FOUND:
        case STATUS_OBJECT_PATH_NOT_FOUND:
        case STATUS_NO_SUCH_FILE:
            return ENOENT;
        case STATUS_OBJECT_NAME_COLLISION:
            return EEXIST;
        case STATUS_OBJECT_NAME_INVALID:
        case STATUS_OBJECT_PATH_SYNTAX_BAD:
            return HasOverlongPart(path) ? ENAMETOOLONG : EINVAL;
        case STATUS_NAME_TOO_LONG:
            return ENAMETOOLONG;
        case STATUS_FILE_IS_A_DIRECTORY:
            return EISDIR;
        case STATUS_NOT_A_DIRECTORY:
            return ENOTDIR;
        case STATUS_DIRECTORY_NOT_EMPTY:
            return ENOTEMPTY;
        case STATUS_INVALID_PARAMETER:
        case STATUS_INVALID_DEVICE_REQUEST:
            return EINVAL;
        case STATUS_NOT_IMPLEMENTED:
        case STATUS_NOT_SUPPORTED:
            // Never ENOSYS: the kernel would stop sending the request for good.
            return EOPNOTSUPP;
        case STATUS_SHARING_VIOLATION:
            return EBUSY;
        case STATUS_FILE_LOCK_CONFLICT:
        case STATUS_LOCK_NOT_GRANTED:
            return EAGAIN;
        case STATUS_DISK_FULL:
            return ENOSPC;
        case STATUS_NO_MEMORY:
        case STATUS_INSUFFICIENT_RESOURCES:
            return ENOMEM;
        case STATUS_MEDIA_WRITE_PROTECTED:
            return EROFS;
        case STATUS_IO_TIMEOUT:
            return ETIMEDOUT;
        case STATUS_FILE_CLOSED:
            return EBADF;
        case STATUS_FILE_TOO_LARGE:
            return EFBIG;
        case STATUS_UNEXPECTED_IO_ERROR:
        case STATUS_CONNECTION_DISCONNECTED:
            return EIO;
        default:
            KELVO_LOG(logging::kError)
                << L"Unexpected status 0x" << std::hex << std::setw(8) << std::setfill(L'0')
                << static_cast<DWORD>(status) << std::dec << L" from " << operation << L" on "
                << path << L"; answering EIO";
            return EIO;
    }
}

bool CollisionMeansOpened(DWORD creationDisposition) {
    return creationDisposition == OPEN_ALWAYS || creationDisposition == CREATE_ALWAYS;
}

}  // namespace kelvo_dokan
