#include "blob_reader.h"

#include "errors_text.h"

#include <algorithm>
#include <cstring>

namespace tarvo::detail {

BlobReader::BlobReader(std::shared_ptr<Engine> engine, BlobRecord blob)
    : m_engine(std::move(engine)), m_blob(blob) {}

std::shared_ptr<Buffer> BlobReader::FreeBuffer() {
    // use_count 1: nobody but this reader still holds the chunk it was last filled with.
    for (const auto& buffer : m_buffers) {
        if (buffer.use_count() == 1) {
            return buffer;
        }
    }
    m_buffers.push_back(std::make_shared<Buffer>(m_blob.chunkSize));
    return m_buffers.back();
}

void BlobReader::FetchChunks() {
    const std::uint64_t remainingBytes = m_blob.size - m_offset;
    const std::uint64_t chunkSize = std::max<std::uint64_t>(m_blob.chunkSize, 1);
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(
        m_engine->ChunksPerRead(), (remainingBytes + chunkSize - 1) / chunkSize));
    std::vector<std::shared_ptr<Buffer>> buffers;
    std::vector<std::uint8_t*> targets;
    for (std::size_t index = 0; index < count; ++index) {
        buffers.push_back(FreeBuffer());  // now held twice: not handed out again in this loop
        targets.push_back(buffers.back()->GetData());
    }
    const auto sizes = m_engine->ReadChunks(m_blob.id, m_nextChunk, targets, m_blob.chunkSize);
    if (sizes.empty()) {
        // The version was there when the reader opened; its content is gone now.
        throw errors::ItemGone();
    }
    for (std::size_t index = 0; index < sizes.size(); ++index) {
        buffers[index]->SetSize(sizes[index]);
        m_ready.push_back(buffers[index]);
    }
    m_nextChunk += static_cast<std::int64_t>(sizes.size());
}

std::shared_ptr<IBuffer> BlobReader::Read() {
    std::lock_guard lock(m_mutex);
    if (m_closed || m_offset >= m_blob.size) {
        return std::make_shared<Buffer>(0);
    }
    if (m_ready.empty()) {
        FetchChunks();
    }
    auto buffer = std::move(m_ready.front());
    m_ready.pop_front();
    m_offset += buffer->GetSize();
    return buffer;
}

Buffer& BlobReader::ChunkHolding(std::uint64_t position) {
    // Writers store every chunk but the last one full, so a byte's chunk follows from its offset.
    const auto index = static_cast<std::int64_t>(position / m_blob.chunkSize);
    if (index == m_rangeChunkIndex) {
        return *m_rangeChunk;
    }
    if (!m_rangeChunk) {
        m_rangeChunk = std::make_unique<Buffer>(m_blob.chunkSize);
    }
    m_rangeChunkIndex = -1;
    const std::size_t size =
        m_engine->ReadChunk(m_blob.id, index, m_rangeChunk->GetData(), m_rangeChunk->GetCapacity());
    if (size == 0) {
        throw errors::ItemGone();  // the version was there when the reader opened
    }
    const std::uint64_t start = static_cast<std::uint64_t>(index) * m_blob.chunkSize;
    if (size != m_blob.chunkSize && start + size != m_blob.size) {
        throw errors::DamagedChunk();
    }
    m_rangeChunk->SetSize(size);
    m_rangeChunkIndex = index;
    return *m_rangeChunk;
}

std::size_t BlobReader::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    std::lock_guard lock(m_mutex);
    if (m_closed || offset >= m_blob.size) {
        return 0;
    }
    if (m_blob.chunkSize == 0) {
        throw errors::DamagedChunk();
    }
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, m_blob.size - offset));
    std::size_t copied = 0;
    while (copied < wanted) {
        const std::uint64_t position = offset + copied;
        Buffer& chunk = ChunkHolding(position);
        const std::size_t within = static_cast<std::size_t>(position % m_blob.chunkSize);
        const std::size_t count = std::min(wanted - copied, chunk.GetSize() - within);
        std::memcpy(out + copied, chunk.GetData() + within, count);
        copied += count;
    }
    return copied;
}

void BlobReader::Close() {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_ready.clear();
    m_buffers.clear();
    m_rangeChunk.reset();
    m_rangeChunkIndex = -1;
}

}  // namespace tarvo::detail
