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

// Runs a content operation on the handle's open document; failures of the library and of the
// cache file become their statuses (logged).
template <class Body>
NTSTATUS WithDocument(PDOKAN_FILE_INFO fileInfo, Body&& body) {
    FileContext* context = ContextOf(fileInfo);
    if (!context) {
        return STATUS_ACCESS_DENIED;
    }
    KelvoFileSystem& drive = DriveOf(fileInfo);
    const std::shared_ptr<tarvo::IItemStore> store = ItemStoreOf(drive);
    std::shared_ptr<OpenDocument> document;
    const NTSTATUS status = DocumentOf(drive, *store, *context, document);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    try {
        return body(*context, *document, store);
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return StatusOf(error);
    } catch (const std::system_error& error) {
        KELVO_DRIVE_LOG(logging::kError) << L"The drive's cache file failed: " << error.what();
        return StatusOf(error);
    }
}

void MarkChanged(FileContext& context) {
    std::lock_guard<std::mutex> lock(context.mutex);
    context.changed = true;
    context.onlyCutAtOpen = false;
}

NTSTATUS Resize(PDOKAN_FILE_INFO fileInfo, LONGLONG size) {
    if (size < 0) {
        return ContextOf(fileInfo) ? STATUS_INVALID_PARAMETER : STATUS_ACCESS_DENIED;
    }
    return WithDocument(fileInfo, [&](FileContext& context, OpenDocument& document,
                                      const std::shared_ptr<tarvo::IItemStore>&) {
        document.resize(static_cast<std::uint64_t>(size));
        MarkChanged(context);
        return STATUS_SUCCESS;
    });
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
        if (!ContextOf(fileInfo)) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (offset < 0) {
            return STATUS_SUCCESS;
        }
        return WithDocument(fileInfo, [&](FileContext&, OpenDocument& document,
                                          const std::shared_ptr<tarvo::IItemStore>& store) {
            const auto start = static_cast<std::uint64_t>(offset);
            if (start > document.size()) {
                // Beyond the end: the whole buffer, as zeros.
                std::memset(buffer, 0, bufferLength);
                *readLength = bufferLength;
                return STATUS_SUCCESS;
            }
            *readLength = static_cast<DWORD>(document.read(store, buffer, bufferLength, start));
            return STATUS_SUCCESS;
        });
    });
}

NTSTATUS WriteFile(LPCWSTR fileName, LPCVOID buffer, DWORD numberOfBytesToWrite,
                   LPDWORD numberOfBytesWritten, LONGLONG offset, PDOKAN_FILE_INFO fileInfo) {
    *numberOfBytesWritten = 0;
    return Guarded(L"WriteFile", STATUS_ACCESS_DENIED, [&] {
        if (drive_paths::IsServiceFile(fileName ? fileName : L"") || !ContextOf(fileInfo)) {
            return STATUS_ACCESS_DENIED;
        }
        if (offset < -1) {
            return STATUS_INVALID_PARAMETER;
        }
        if (numberOfBytesToWrite == 0) {
            return STATUS_SUCCESS;
        }
        const NTSTATUS status =
            WithDocument(fileInfo, [&](FileContext& context, OpenDocument& document,
                                       const std::shared_ptr<tarvo::IItemStore>&) {
                // -1 stands for the end of the document, wherever it is now.
                if (offset == -1) {
                    document.append(buffer, numberOfBytesToWrite);
                } else {
                    document.write(buffer, numberOfBytesToWrite,
                                   static_cast<std::uint64_t>(offset));
                }
                MarkChanged(context);
                *numberOfBytesWritten = numberOfBytesToWrite;
                return STATUS_SUCCESS;
            });
        if (status != STATUS_SUCCESS || !ContextOf(fileInfo)->writeThrough) {
            return status;
        }
        // A write through a handle opened with O_SYNC or O_DSYNC is durable when it returns: the
        // content is stored as a version and synced, as an fsync would.
        DOKAN_FILE_INFO durable = *fileInfo;
        durable.FlushForClose = FALSE;
        return FlushFileBuffers(fileName, &durable);
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
        std::shared_ptr<OpenDocument> document;
        std::wstring name;
        bool durable = fileInfo->FlushForClose == 0;
        {
            std::lock_guard<std::mutex> lock(context->mutex);
            durable = durable || context->writeThrough;
            // A close with nothing changed through the handle uploads nothing; a size change is
            // uploaded like a write, so that its failure reaches close() and fsync() too.
            if (context->document && context->changed && !context->onlyCutAtOpen) {
                document = context->document;
                name = context->info.name;
            }
        }
        KelvoFileSystem& drive = DriveOf(fileInfo);
        if (document) {
            const NTSTATUS status = UploadChanges(ItemStoreForCleanup(drive), *document, name);
            if (status != STATUS_SUCCESS) {
                return status;
            }
        }
        // An fsync also covers what other handles saved before, without being asked.
        return durable ? MakeDurable(drive) : STATUS_SUCCESS;
    });
}

NTSTATUS SetEndOfFile(LPCWSTR, LONGLONG byteOffset, PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"SetEndOfFile", STATUS_ACCESS_DENIED,
                   [&] { return Resize(fileInfo, byteOffset); });
}

NTSTATUS SetAllocationSize(LPCWSTR, LONGLONG allocSize, PDOKAN_FILE_INFO fileInfo) {
    return Guarded(L"SetAllocationSize", STATUS_ACCESS_DENIED,
                   [&] { return Resize(fileInfo, allocSize); });
}

}  // namespace operations
}  // namespace drive
