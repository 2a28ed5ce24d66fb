// Downloading a document's content into the drive's shared cache, and uploading what a handle
// wrote as a new version.
#include "DriveOperations_p.h"

#include <boost/uuid/string_generator.hpp>

#include <algorithm>

namespace drive {
namespace {

// Blob category of uploads to documents whose own category could not be learnt.
const boost::uuids::uuid& DefaultBlobCategory() {
    static const boost::uuids::uuid category =
        boost::uuids::string_generator()("52de16cc-257a-41f2-92c7-e40d64c6ed23");
    return category;
}

// The content of the document's first blob; empty when the document has none.
void Download(tarvo::IItemStore& store, const FileContext& context,
              KelvoFileSystem::Content& content) {
    const auto document = store.OpenDocument(store.GetItemPath(context.info));
    tarvo::BlobInfo first;
    if (document->ListBlobs()->Next(first)) {
        const auto reader = document->OpenBlob(first.id);
        content.reserve(static_cast<std::size_t>(reader->GetSize()));
        // Each chunk is let go before the next is asked for, so that the reader can fill the
        // same buffer again instead of allocating a new one.
        for (;;) {
            const std::shared_ptr<tarvo::IBuffer> buffer = reader->Read();
            if (!buffer || buffer->GetSize() == 0) {
                break;
            }
            const std::uint8_t* data = buffer->GetData();
            content.insert(content.end(), data, data + buffer->GetSize());
        }
        reader->Close();
    }
    document->Close(false);
}

// Learns the category of the document's first blob, so that a new version keeps it.
void LearnBlobCategory(tarvo::IItemStore& store, const tarvo::IdPath& ids, FileContext& context) {
    try {
        const auto document = store.OpenDocument(ids);
        tarvo::BlobInfo first;
        if (document->ListBlobs()->Next(first)) {
            context.blobCategory = first.category;
        }
        document->Close(false);
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kWarning) << L"Не удалось прочитать категорию блоба для записи\n"
                                           << error.GetMessage();
    }
}

// One buffer for every chunk of an upload: it shows the writer the next chunk of the content in
// place, so that the bytes go to the writer without another copy of the whole content.
class ChunkView final : public tarvo::IBuffer {
public:
    ChunkView(const std::uint8_t* data, std::size_t capacity)
        : m_data(data), m_capacity(capacity) {}

    void moveTo(const std::uint8_t* data) { m_data = data; }

    std::uint8_t* GetData() override { return const_cast<std::uint8_t*>(m_data); }
    std::size_t GetSize() const override { return m_size; }
    void SetSize(std::size_t size) override { m_size = std::min(size, m_capacity); }

private:
    const std::uint8_t* m_data;
    std::size_t m_capacity;
    std::size_t m_size = 0;
};

// Writes the bytes as one blob of the version, in the chunks the writer asks for, through one
// buffer reused for every chunk.
void UploadBytes(tarvo::IDocument& version, const boost::uuids::uuid& category,
                 const KelvoFileSystem::Content& bytes) {
    const auto writer = version.CreateBlob(category);
    const std::size_t chunk = writer->GetChunkSize();
    if (chunk == 0 && !bytes.empty()) {
        // Writing nothing and committing would store an empty document in place of the content.
        throw tarvo::TarvoError(tarvo::errc::StorageFailure,
                                L"The blob writer accepts no data (chunk size 0)");
    }
    const auto buffer = std::make_shared<ChunkView>(bytes.data(), chunk);
    for (std::size_t offset = 0; offset < bytes.size();) {
        const std::size_t count = std::min(chunk, bytes.size() - offset);
        buffer->moveTo(bytes.data() + offset);
        buffer->SetSize(count);
        writer->Write(buffer);
        offset += count;
    }
    writer->Close();
}

}  // namespace

std::shared_ptr<KelvoFileSystem::Content> LoadContent(KelvoFileSystem& drive,
                                                      tarvo::IItemStore& store,
                                                      const FileContext& context) {
    std::lock_guard<std::mutex> lock(drive.cacheMutex);
    const auto cached = drive.contentCache.find(context.info.id);
    if (cached != drive.contentCache.end()) {
        if (auto held = cached->second.lock()) {
            return held;
        }
    }
    auto content = std::make_shared<KelvoFileSystem::Content>();
    Download(store, context, *content);
    drive.contentCache[context.info.id] = content;
    return content;
}

void EnsurePending(KelvoFileSystem& drive, tarvo::IItemStore& store, FileContext& context,
                   bool startEmpty) {
    if (context.pending) {
        return;
    }
    if (startEmpty) {
        context.pending.emplace();
        return;
    }
    // Writing part of a document must keep the rest of it: the new version is the whole of
    // pending.
    const auto current = LoadContent(drive, store, context);
    context.pending.emplace(*current);
}

NTSTATUS UploadPending(KelvoFileSystem& drive, tarvo::IItemStore& store, FileContext& context) {
    std::lock_guard<std::mutex> lock(context.mutex);
    if (!context.pending) {
        return STATUS_SUCCESS;
    }
    try {
        const tarvo::IdPath ids = store.GetItemPath(context.info);
        LearnBlobCategory(store, ids, context);
        std::wstring holder;
        const int state = store.LockForEdit(ids, holder);
        if (state == tarvo::lock_state::kHeldByOther) {
            KELVO_DRIVE_LOG(logging::kWarning)
                << L"Изменения документа «" << context.info.name
                << L"» не сохранены: он открыт для изменения другим пользователем: " << holder;
            return STATUS_ACCESS_DENIED;
        }
        context.editLockHeld = true;
        const auto version = store.BeginVersion(ids, std::wstring());
        UploadBytes(*version, context.blobCategory.value_or(DefaultBlobCategory()),
                    *context.pending);
        version->Close(true);
        if (state == tarvo::lock_state::kTaken) {
            store.Unlock(ids);
            context.editLockHeld = false;
        }
        context.pending.reset();
    } catch (const tarvo::TarvoError& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        return STATUS_ACCESS_DENIED;
    }
    // Content downloaded before this upload is out of date: handles that still hold it keep it,
    // but the next first read downloads the new version instead of sharing the old one.
    std::lock_guard<std::mutex> cacheLock(drive.cacheMutex);
    drive.contentCache.erase(context.info.id);
    return STATUS_SUCCESS;
}

void PruneCacheEntry(KelvoFileSystem& drive, const tarvo::ItemId& item) {
    std::lock_guard<std::mutex> lock(drive.cacheMutex);
    const auto entry = drive.contentCache.find(item);
    if (entry != drive.contentCache.end() && entry->second.expired()) {
        drive.contentCache.erase(entry);
    }
}

}  // namespace drive
