#include "test_content.h"

#include <algorithm>
#include <cstring>

namespace kelvo_test {

Bytes PatternBytes(std::size_t size, std::uint32_t seed) {
    Bytes bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

void WriteBlob(tarvo::IDocument& document, const Bytes& content, std::size_t bufferSize) {
    auto writer = document.CreateBlob(tarvo::GenerateUuid());
    const std::size_t chunk = bufferSize != 0 ? bufferSize : writer->GetChunkSize();
    auto buffer = tarvo::CreateBuffer(chunk);
    for (std::size_t offset = 0; offset < content.size(); offset += chunk) {
        const std::size_t count = std::min(chunk, content.size() - offset);
        std::memcpy(buffer->GetData(), content.data() + offset, count);
        buffer->SetSize(count);
        writer->Write(buffer);
    }
    writer->Close();
}

Bytes ReadFirstBlob(tarvo::IItemStore& store, const tarvo::IdPath& path,
                    std::optional<tarvo::VersionNumber> version) {
    auto document = store.OpenDocument(path, version);
    Bytes content;
    tarvo::BlobInfo blob;
    if (document->ListBlobs()->Next(blob)) {
        auto reader = document->OpenBlob(blob.id);
        content.reserve(reader->GetSize());
        while (auto buffer = reader->Read()) {
            if (buffer->GetSize() == 0) {
                break;
            }
            content.insert(content.end(), buffer->GetData(), buffer->GetData() + buffer->GetSize());
        }
        reader->Close();
    }
    document->Close(false);
    return content;
}

void CommitVersion(tarvo::IItemStore& store, const tarvo::IdPath& path, const Bytes& content) {
    auto version = store.BeginVersion(path, L"");
    WriteBlob(*version, content);
    version->Close(true);
}

tarvo::IdPath CreateDocument(tarvo::IItemStore& store, const tarvo::IdPath& parent,
                             const std::wstring& name) {
    tarvo::FileCreateInfo info;
    info.id = tarvo::GenerateUuid();
    info.name = name;
    info.kind = tarvo::GenerateUuid();
    store.CreateDocument(parent, info, L"")->Close(true);
    auto path = parent;
    path.push_back(info.id);
    return path;
}

}  // namespace kelvo_test
