#include "blob_writer.h"

#include "errors_text.h"

#include <algorithm>

namespace tarvo::detail {

BlobWriter::BlobWriter(std::shared_ptr<VersionSession> session, BlobId blob, std::size_t chunkSize)
    : m_session(std::move(session)), m_blob(blob), m_chunkSize(chunkSize) {}

void BlobWriter::StoreChunk(const std::uint8_t* data, std::size_t size) {
    m_session->AppendChunk(m_blob, m_nextChunk, data, size);
    ++m_nextChunk;
    m_size += size;
}

void BlobWriter::Write(const std::shared_ptr<IBuffer>& buffer) {
    std::lock_guard lock(m_mutex);
    if (m_closed) {
        throw errors::Invalid(
            L"Запись содержимого уже завершена; начните новую версию, чтобы "
            L"изменить документ.");
    }
    if (!buffer || buffer->GetSize() == 0) {
        return;
    }
    const std::uint8_t* data = buffer->GetData();
    std::size_t remaining = buffer->GetSize();
    while (remaining > 0) {
        if (m_partial.empty() && remaining >= m_chunkSize) {
            StoreChunk(data, m_chunkSize);
            data += m_chunkSize;
            remaining -= m_chunkSize;
            continue;
        }
        const std::size_t take = std::min(remaining, m_chunkSize - m_partial.size());
        m_partial.insert(m_partial.end(), data, data + take);
        data += take;
        remaining -= take;
        if (m_partial.size() == m_chunkSize) {
            StoreChunk(m_partial.data(), m_partial.size());
            m_partial.clear();
        }
    }
}

void BlobWriter::Close() {
    std::lock_guard lock(m_mutex);
    if (m_closed) {
        return;
    }
    if (!m_partial.empty()) {
        StoreChunk(m_partial.data(), m_partial.size());
        m_partial.clear();
    }
    m_session->FinishBlob(m_blob, m_size);
    m_closed = true;
}

}  // namespace tarvo::detail
