#pragma once

#include "FileTimes.h"

#include <dokan/dokan.h>
#include <tarvo/core.h>

#include <cstdint>

// How the drive describes an item to the driver, in listings and in file information alike.
namespace drive {

// A folder entry holds the name with its terminator in MAX_PATH characters.
inline constexpr std::size_t kMaxListedNameLength = MAX_PATH - 1;

// Fields that both item records (BY_HANDLE_FILE_INFORMATION and WIN32_FIND_DATAW) carry.
template <class Record>
void FillCommon(const tarvo::BrowserItemInfo& item, Record& record) {
    record.dwFileAttributes = item.IsFolder() ? FILE_ATTRIBUTE_DIRECTORY : 0;
    record.ftCreationTime = file_times::FromDateTime(item.creationTime);
    record.ftLastAccessTime = file_times::FromDateTime(item.modificationTime);
    record.ftLastWriteTime = file_times::FromDateTime(item.modificationTime);
    const std::uint64_t size = item.size.value_or(0);
    record.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    record.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
}

}  // namespace drive
