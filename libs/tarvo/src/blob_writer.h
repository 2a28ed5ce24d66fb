#pragma once

#include "version_session.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tarvo::detail {

// Streams one blob of a version being written into storage, chunk by chunk. Buffers of exactly
// the chunk size go straight through; other sizes are gathered into whole chunks first, so a
// blob never holds more than one chunk in memory.
class BlobWriter : public IBlobWriter {
public:
    BlobWriter(std::shared_ptr<VersionSession> session, BlobId blob, std::size_t chunkSize);

    std::size_t GetChunkSize() const override { return m_chunkSize; }
    void Write(const std::shared_ptr<IBuffer>& buffer) override;
    void Close() override;

private:
    void StoreChunk(const std::uint8_t* data, std::size_t size);

    std::mutex m_mutex;
    const std::shared_ptr<VersionSession> m_session;
    const BlobId m_blob;
    const std::size_t m_chunkSize;
    std::vector<std::uint8_t> m_partial;  // bytes of a chunk not yet full
    std::int64_t m_nextChunk = 0;
    std::uint64_t m_size = 0;
    bool m_closed = false;
};

}  // namespace tarvo::detail
