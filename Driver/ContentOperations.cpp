// Reading, writing and flushing through a handle.
#include "DriveOperations_p.h"
#include "DrivePaths.h"
#include "Utf8Text.h"

#include <algorithm>
#include <cstring>

namespace drive {
namespace {

// Serves a read of `bufferLength` bytes at `offset` from the given bytes. An offset beyond the end
// fills the whole buffer with zeros and reports it as read; an offset at the end reads nothing.
void Serve(const std::uint8_t* bytes, std::uint64_t size, LPVOID buffer, DWORD bufferLength,
           LPDWORD readLength, LONGLONG offset) {
    if (offset < 0) {
        *readLength = 0;
        return;
    }
    const auto start = static_cast<std::uint64_t>(offset);
    if (start > size) {
        std::memset(buffer, 0, bufferLength);
        *readLength = bufferLength;
        return;
    }
    const auto count = static_cast<DWORD>(std::min<std::uint64_t>(bufferLength, size - start));
    if (count != 0) {
        std::memcpy(buffer, bytes + start, count);
    }
    *readLength = count;
}

// The service file's content: the repository's name in UTF-8, empty when it cannot be had.
std::string ServiceFileContent(KelvoFileSystem& drive) {
    try {
        return utf8_text::FromWide(RequireRepository(drive)->GetRepositoryName());
    } catch (...) {
        return {};
    }
}

NTSTATUS ResizePending(PDOKAN_FILE_INFO fileInfo, LONGLONG size) {
    FileContext* context = ContextOf(fileInfo);
    if (!context || size < 0) {
        return STATUS_ACCESS_DENIED;
    }
    KelvoFileSystem& drive = DriveOf(fileInfo);
    const std::shared_ptr<tarvo::IItemStore> store = ItemStoreOf(drive);
    std::lock_guard<std::mutex> lock(context->mutex);
    try {
        EnsurePending(drive, *store, *context, size == 0);
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return STATUS_ACCESS_DENIED;
    }
    context->pending->resize(static_cast<std::size_t>(size));
    return STATUS_SUCCESS;
}

}  // namespace

namespace operations {

NTSTATUS ReadFile(LPCWSTR fileName, LPVOID buffer, DWORD bufferLength, LPDWORD readLength,
                  LONGLONG offset, PDOKAN_FILE_INFO fileInfo) {
    *readLength = 0;
    return Guarded(L"ReadFile", STATUS_ACCESS_DENIED, [&] {
        KelvoFileSystem& drive = DriveOf(fileInfo);
        if (drive_paths::IsServiceFile(fileName ? fileName : L"")) {
            const std::string content = ServiceFileContent(drive);
            Serve(reinterpret_cast<const std::uint8_t*>(content.data()), content.size(), buffer,
                  bufferLength, readLength, offset);
            return STATUS_SUCCESS;
        }
        FileContext* context = ContextOf(fileInfo);
        if (!context) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        const std::shared_ptr<tarvo::IItemStore> store = ItemStoreOf(drive);
        std::shared_ptr<KelvoFileSystem::Content> content;
        try {
            std::lock_guard<std::mutex> lock(context->mutex);
            if (!context->content) {
                context->content = LoadContent(drive, *store, *context);
            }
            content = context->content;
        } catch (const tarvo::TarvoError& error) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
            return STATUS_ACCESS_DENIED;
        }
        // The shared content never changes once loaded: it is copied without the mutex.
        Serve(content->data(), content->size(), buffer, bufferLength, readLength, offset);
        return STATUS_SUCCESS;
    });
}

NTSTATUS WriteFile(LPCWSTR fileName, LPCVOID buffer, DWORD numberOfBytesToWrite,
                   LPDWORD numberOfBytesWritten, LONGLONG offset, PDOKAN_FILE_INFO fileInfo) {
    *numberOfBytesWritten = 0;
    return Guarded(L"WriteFile", STATUS_ACCESS_DENIED, [&] {
        FileContext* context = ContextOf(fileInfo);
        if (drive_paths::IsServiceFile(fileName ? fileName : L"") || !context) {
            return STATUS_ACCESS_DENIED;
        }
        KelvoFileSystem& drive = DriveOf(fileInfo);
        const std::shared_ptr<tarvo::IItemStore> store = ItemStoreOf(drive);
        std::lock_guard<std::mutex> lock(context->mutex);
        if (numberOfBytesToWrite == 0) {
            return STATUS_SUCCESS;
        }
        // -1 stands for the end of the item as it was at open time.
        const LONGLONG start =
            offset == -1 ? static_cast<LONGLONG>(context->info.size.value_or(0)) : offset;
        if (start < 0) {
            return STATUS_ACCESS_DENIED;
        }
        try {
            EnsurePending(drive, *store, *context, false);
        } catch (const tarvo::TarvoError& error) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
            return STATUS_ACCESS_DENIED;
        }
        KelvoFileSystem::Content& pending = *context->pending;
        const std::size_t end = static_cast<std::size_t>(start) + numberOfBytesToWrite;
        if (end > pending.size()) {
            pending.resize(end);
        }
        std::memcpy(pending.data() + start, buffer, numberOfBytesToWrite);
        *numberOfBytesWritten = numberOfBytesToWrite;
        return STATUS_SUCCESS;
    });
}

NTSTATUS FlushFileBuffers(LPCWSTR fileName, PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"FlushFileBuffers", STATUS_ACCESS_DENIED, [&] {
        if (drive_paths::IsServiceFile(fileName ? fileName : L"")) {
            return STATUS_SUCCESS;
        }
        FileContext* context = ContextOf(fileInfo);
        if (!context) {
            return STATUS_ACCESS_DENIED;
        }
        KelvoFileSystem& drive = DriveOf(fileInfo);
        return UploadPending(drive, *ItemStoreOf(drive), *context);
    });
}

NTSTATUS SetEndOfFile(LPCWSTR, LONGLONG byteOffset, PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"SetEndOfFile", STATUS_ACCESS_DENIED,
                   [&] { return ResizePending(fileInfo, byteOffset); });
}

NTSTATUS SetAllocationSize(LPCWSTR, LONGLONG allocSize, PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"SetAllocationSize", STATUS_ACCESS_DENIED,
                   [&] { return ResizePending(fileInfo, allocSize); });
}

}  // namespace operations
}  // namespace drive
