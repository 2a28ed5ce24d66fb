#pragma once

#include <tarvo/exceptions.h>

namespace tarvo {

namespace errc {
enum Type : int {
    Unknown = 1,
    InvalidArgument = 2,
    NotConnected = 3,  // the repository cannot be reached or the link was lost
    AuthenticationFailed = 4,
    AccessDenied = 5,
    LockedByOther = 6,  // someone else holds the document's edit lock
    NotAFolder = 7,
    FolderNotEmpty = 8,
    StorageFailure = 9,  // the database engine failed (disk full, corruption, I/O)
    NotADocument = 10,
    DiskFull = 11,       // the storage has no room left for what was written
    TooLarge = 12,       // the content exceeds what the storage can hold in one item
    ItemNotFound = 17,   // the item no longer exists (usually a race with another client)
    NameCollision = 18,  // an item of that name already exists in the target folder
};
}  // namespace errc

class TarvoError : public exceptions::Error {
public:
    TarvoError(errc::Type code, std::wstring message);
    errc::Type GetErrorCode() const noexcept { return m_code; }

private:
    errc::Type m_code;
};

}  // namespace tarvo
