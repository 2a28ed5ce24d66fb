#pragma once

#include "buffer.h"
#include "engine.h"

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace tarvo::detail {

// Reads one stored blob chunk by chunk. A buffer that the caller has let go of is reused for the
// next chunk, so a reader streaming a large blob allocates one chunk buffer, not one per chunk.
// Where the engine fetches several chunks per request, the reader keeps that many ready.
class BlobReader : public IBlobReader {
public:
    BlobReader(std::shared_ptr<Engine> engine, BlobRecord blob);

    std::uint64_t GetSize() const override { return m_blob.size; }
    std::shared_ptr<IBuffer> Read() override;
    std::size_t ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) override;
    void Close() override;

private:
    std::shared_ptr<Buffer> FreeBuffer();
    void FetchChunks();
    // The chunk of ReadAt that holds byte `position`, fetched unless it is the one fetched last.
    Buffer& ChunkHolding(std::uint64_t position);

    std::mutex m_mutex;
    const std::shared_ptr<Engine> m_engine;
    const BlobRecord m_blob;
    std::vector<std::shared_ptr<Buffer>> m_buffers;  // every buffer this reader has made
    std::deque<std::shared_ptr<Buffer>> m_ready;     // fetched, not yet handed out
    std::int64_t m_nextChunk = 0;                    // the next chunk to fetch
    std::uint64_t m_offset = 0;
    // ReadAt's own chunk, never handed out, so that it can be kept between calls.
    std::unique_ptr<Buffer> m_rangeChunk;
    std::int64_t m_rangeChunkIndex = -1;
    bool m_closed = false;
};

}  // namespace tarvo::detail
