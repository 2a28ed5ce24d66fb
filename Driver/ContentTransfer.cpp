// Uploading a document's working content as a new version, what becomes of content that cannot be
// uploaded, and the statuses of transfer failures.
#include "DriveOperations_p.h"
#include "RecoveryFolder.h"

#include <platform_base/text_codec.h>

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <cerrno>

namespace drive {
namespace {

// Blob category of uploads to documents whose own category could not be learnt.
const boost::uuids::uuid& DefaultBlobCategory() {
    static const boost::uuids::uuid category =
        boost::uuids::string_generator()("52de16cc-257a-41f2-92c7-e40d64c6ed23");
    return category;
}

// The category of the document's first blob, so that a new version keeps it.
boost::uuids::uuid BlobCategoryFor(tarvo::IItemStore& store, const tarvo::IdPath& ids,
                                   const OpenDocument& document) {
    if (const auto known = document.blobCategory()) {
        return *known;
    }
    try {
        const auto current = store.OpenDocument(ids);
        tarvo::BlobInfo first;
        const bool hasBlob = current->ListBlobs()->Next(first);
        current->Close(false);
        if (hasBlob) {
            return first.category;
        }
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kWarning) << L"Не удалось прочитать категорию блоба для записи\n"
                                           << error.GetMessage();
    }
    return DefaultBlobCategory();
}

// Writes the document's content as one blob of the version, in the chunks the writer asks for,
// through one buffer reused for every chunk. Waits for bytes still being downloaded.
void UploadContent(const std::shared_ptr<tarvo::IItemStore>& store, OpenDocument& document,
                   tarvo::IDocument& version, const boost::uuids::uuid& category) {
    const auto writer = version.CreateBlob(category);
    const std::size_t chunk = writer->GetChunkSize();
    const std::uint64_t size = document.size();
    if (chunk == 0 && size != 0) {
        // Writing nothing and committing would store an empty document in place of the content.
        throw tarvo::TarvoError(tarvo::errc::StorageFailure,
                                L"The blob writer accepts no data (chunk size 0)");
    }
    const std::shared_ptr<tarvo::IBuffer> buffer = tarvo::CreateBuffer(chunk);
    for (std::uint64_t offset = 0; offset < size;) {
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<std::uint64_t>(chunk, size - offset));
        const std::size_t count = document.read(store, buffer->GetData(), wanted, offset);
        if (count == 0) {
            break;  // cut meanwhile; the cut is a change of its own
        }
        buffer->SetSize(count);
        writer->Write(buffer);
        offset += count;
    }
    writer->Close();
}

// The edit lock for one upload by a handle that does not share it (it opened without write
// access): taken here and given back at the end.
class UploadLock {
public:
    UploadLock(tarvo::IItemStore& store, const tarvo::IdPath& ids, const OpenDocument& document,
               const std::wstring& name)
        : m_store(store), m_ids(ids) {
        if (document.holdsLock()) {
            m_granted = true;
            return;
        }
        std::wstring holder;
        const int state = store.LockForEdit(ids, holder);
        if (state == tarvo::lock_state::kHeldByOther) {
            KELVO_DRIVE_LOG(logging::kWarning)
                << L"Изменения документа «" << name
                << L"» не сохранены: он открыт для изменения другим пользователем: " << holder;
            return;
        }
        m_granted = true;
        m_taken = state == tarvo::lock_state::kTaken;
    }
    ~UploadLock() {
        if (!m_taken) {
            return;
        }
        try {
            m_store.Unlock(m_ids);
        } catch (const tarvo::TarvoError& error) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        }
    }
    UploadLock(const UploadLock&) = delete;
    UploadLock& operator=(const UploadLock&) = delete;

    bool granted() const { return m_granted; }

private:
    tarvo::IItemStore& m_store;
    const tarvo::IdPath& m_ids;
    bool m_granted = false;
    bool m_taken = false;
};

// The number of the version just committed; a failure to learn it changes nothing of the upload.
std::optional<tarvo::VersionNumber> CommittedVersion(tarvo::IItemStore& store,
                                                     const tarvo::IdPath& ids) {
    try {
        const std::vector<tarvo::VersionNumber> versions = store.ListVersions(ids);
        if (!versions.empty()) {
            return versions.back();
        }
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kWarning) << error.GetMessage();
    }
    return std::nullopt;
}

// A system error's text (UTF-8, with the paths it names) for a wide log record.
std::wstring Widen(const char* text) {
    return kelvo_platform::Utf8ToWideLossy(text);
}

}  // namespace

NTSTATUS StatusOf(const tarvo::TarvoError& error) {
    switch (error.GetErrorCode()) {
        case tarvo::errc::DiskFull:
            return STATUS_DISK_FULL;
        case tarvo::errc::LockedByOther:
        case tarvo::errc::AccessDenied:
            return STATUS_ACCESS_DENIED;
        case tarvo::errc::NotConnected:
            return STATUS_CONNECTION_DISCONNECTED;
        case tarvo::errc::TooLarge:
            return STATUS_FILE_TOO_LARGE;
        default:
            return STATUS_UNEXPECTED_IO_ERROR;
    }
}

NTSTATUS StatusOf(const std::system_error& error) {
    switch (error.code().value()) {
        case ENOSPC:
        case EDQUOT:
            return STATUS_DISK_FULL;
        case EFBIG:
            return STATUS_FILE_TOO_LARGE;
        default:
            return STATUS_UNEXPECTED_IO_ERROR;
    }
}

NTSTATUS DocumentOf(KelvoFileSystem& drive, tarvo::IItemStore& store, FileContext& context,
                    std::shared_ptr<OpenDocument>& document) {
    std::lock_guard<std::mutex> lock(context.mutex);
    if (!context.document) {
        try {
            OpenDocuments::Opened opened =
                drive.openDocuments.open(store, context.info, OpenDocuments::Role::Reader);
            if (opened.status != STATUS_SUCCESS) {
                return opened.status;
            }
            context.document = std::move(opened.document);
        } catch (const tarvo::TarvoError& error) {
            KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
            return StatusOf(error);
        } catch (const std::system_error& error) {
            KELVO_DRIVE_LOG(logging::kError) << Widen(error.what());
            return StatusOf(error);
        }
    }
    document = context.document;
    return STATUS_SUCCESS;
}

NTSTATUS UploadChanges(const std::shared_ptr<tarvo::IItemStore>& store, OpenDocument& document,
                       const std::wstring& name, std::wstring* failure) {
    std::lock_guard<std::mutex> upload(document.uploadMutex);
    const OpenDocument::Changes changes = document.changes();
    if (!changes.any() || document.deleted()) {
        return STATUS_SUCCESS;
    }
    try {
        tarvo::BrowserItemInfo item;
        item.id = document.id();
        const tarvo::IdPath ids = store->GetItemPath(item);
        const boost::uuids::uuid category = BlobCategoryFor(*store, ids, document);
        const UploadLock lock(*store, ids, document, name);
        if (!lock.granted()) {
            if (failure) {
                *failure = L"the document is locked for editing by someone else";
            }
            return STATUS_ACCESS_DENIED;
        }
        const auto version = store->BeginVersion(ids, std::wstring());
        UploadContent(store, document, *version, category);
        version->Close(true);
        // Committed: from here on nothing may make it upload again.
        document.markUploaded(changes.generation, CommittedVersion(*store, ids));
        return STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        if (failure) {
            *failure = error.GetMessage();
        }
        return StatusOf(error);
    } catch (const std::system_error& error) {
        KELVO_DRIVE_LOG(logging::kError) << Widen(error.what());
        if (failure) {
            *failure = Widen(error.what());
        }
        return StatusOf(error);
    }
}

NTSTATUS MakeDurable(KelvoFileSystem& drive) {
    const std::shared_ptr<tarvo::IRepository> repository = drive.repository.load();
    if (!repository) {
        return STATUS_CONNECTION_DISCONNECTED;
    }
    try {
        repository->Sync();
        return STATUS_SUCCESS;
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return StatusOf(error);
    }
}

void ReportUnsentContent(KelvoFileSystem& drive, const std::shared_ptr<tarvo::IItemStore>& store,
                         OpenDocument& document, const tarvo::BrowserItemInfo& item,
                         const std::wstring& failure) {
    const std::wstring described =
        L"\"" + item.name + L"\" (" + boost::uuids::to_wstring(item.id) + L")";
    const std::uint64_t size = document.size();
    try {
        const std::filesystem::path saved = recovery_folder::Save(
            item, size, [&](std::uint64_t offset, std::uint8_t* buffer, std::size_t length) {
                return document.read(store, buffer, length, offset);
            });
        KELVO_DRIVE_LOG(logging::kError)
            << L"The content written to " << described
            << L" could not be uploaded to the repository (" << failure
            << L"); it was saved to the file " << logging::PathText(saved) << L"\n";
        drive.notify({DriveNotice::Kind::UploadFailed, item.name,
                      L"Копия сохранена в файле " + logging::PathText(saved)});
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError)
            << L"The content written to " << described << L" could not be uploaded (" << failure
            << L"); " << size << L" bytes are lost: the part not yet downloaded cannot be read: "
            << error.GetMessage() << L"\n";
        drive.notify({DriveNotice::Kind::UploadFailed, item.name,
                      L"Сохранить копию не удалось: часть документа не загружена из хранилища. "
                      L"Подробности в журнале программы."});
    } catch (const std::exception& error) {
        KELVO_DRIVE_LOG(logging::kError)
            << L"The content written to " << described << L" could not be uploaded (" << failure
            << L"), nor saved in " << logging::PathText(recovery_folder::Location()) << L" or "
            << logging::PathText(recovery_folder::FallbackLocation()) << L"; " << size
            << L" bytes are lost: " << Widen(error.what()) << L"\n";
        drive.notify({DriveNotice::Kind::UploadFailed, item.name,
                      L"Сохранить копию в папке " + logging::PathText(recovery_folder::Location()) +
                          L" тоже не удалось. Подробности в журнале программы."});
    }
    // Saved or not, the changes are not to be uploaded later over what others saved meanwhile.
    document.forgetChanges();
}

}  // namespace drive
