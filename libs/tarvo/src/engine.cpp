#include "engine.h"

namespace tarvo::detail {

BrowserItemInfo ItemRecord::ToBrowserItemInfo() const {
    BrowserItemInfo info;
    info.id = id;
    info.name = name;
    info.creationTime = creationTime;
    info.modificationTime = modificationTime;
    info.size = size;
    info.folder = folder;
    info.visible = visible;
    return info;
}

std::vector<std::size_t> Engine::ReadChunks(BlobId blob, std::int64_t first,
                                            const std::vector<std::uint8_t*>& out,
                                            std::size_t capacity) {
    std::vector<std::size_t> sizes;
    for (std::uint8_t* buffer : out) {
        const std::size_t size =
            ReadChunk(blob, first + static_cast<std::int64_t>(sizes.size()), buffer, capacity);
        if (size == 0) {
            break;
        }
        sizes.push_back(size);
    }
    return sizes;
}

void Engine::CreateDocumentForEdit(const ItemId& parent, const FileCreateInfo& info,
                                   const std::wstring& comment) {
    StartDocument(parent, info, comment)->Commit();
    std::wstring holder;
    Lock(info.id, holder);
}

}  // namespace tarvo::detail
