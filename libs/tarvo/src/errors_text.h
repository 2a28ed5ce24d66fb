#pragma once

#include <tarvo/errors.h>

#include <string>

// The errors that every storage engine reports, with texts a user can act on. Kept in one place
// so that the SQLite and the server engines say the same thing for the same fault.
namespace tarvo::detail::errors {

TarvoError ItemGone();
TarvoError NameTaken(const std::wstring& name);
TarvoError NotAFolder();
TarvoError NotADocument();
TarvoError FolderNotEmpty();
TarvoError InvalidName(const std::wstring& name);
TarvoError EmptyPath();
TarvoError RootUntouchable();
TarvoError MoveIntoItself();
TarvoError LockedBy(const std::wstring& holder);
TarvoError DocumentClosed();
TarvoError VersionNotWritable();
TarvoError BlobNotInVersion();
TarvoError DamagedChunk();
TarvoError BufferTooLarge(std::size_t requested, std::size_t capacity);
TarvoError Invalid(const std::wstring& what);

}  // namespace tarvo::detail::errors
