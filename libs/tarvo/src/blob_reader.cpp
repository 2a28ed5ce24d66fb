#include "blob_reader.h"

#include "errors_text.h"

namespace tarvo::detail {

BlobReader::BlobReader(std::shared_ptr<Engine> engine, BlobRecord blob)
    : m_engine(std::move(engine)), m_blob(blob) {}

std::shared_ptr<Buffer> BlobReader::NextBuffer() {
    // use_count 1: nobody but this reader still holds the previous chunk.
    if (!m_buffer || m_buffer.use_count() != 1) {
        m_buffer = std::make_shared<Buffer>(m_blob.chunkSize);
    }
    return m_buffer;
}

std::shared_ptr<IBuffer> BlobReader::Read() {
    std::lock_guard lock(m_mutex);
    if (m_closed || m_offset >= m_blob.size) {
        return std::make_shared<Buffer>(0);
    }
    auto buffer = NextBuffer();
    const std::size_t size =
        m_engine->ReadChunk(m_blob.id, m_nextChunk, buffer->GetData(), buffer->GetCapacity());
    if (size == 0) {
        // The version was there when the reader opened; its content is gone now.
        throw errors::ItemGone();
    }
    buffer->SetSize(size);
    ++m_nextChunk;
    m_offset += size;
    return buffer;
}

void BlobReader::Close() {
    std::lock_guard lock(m_mutex);
    m_closed = true;
    m_buffer.reset();
}

}  // namespace tarvo::detail
