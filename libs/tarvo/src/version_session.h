#pragma once

#include "engine.h"

#include <memory>
#include <mutex>

namespace tarvo::detail {

// The state of one version being written, shared by its document and its blob writers. A
// failure of any write spoils the whole version: it is discarded at once and can no longer be
// committed, so a half-written content never becomes current.
class VersionSession {
public:
    explicit VersionSession(std::unique_ptr<VersionWrite> write);
    ~VersionSession();
    VersionSession(const VersionSession&) = delete;
    VersionSession& operator=(const VersionSession&) = delete;

    BlobId AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize);
    void AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                     std::size_t size);
    void FinishBlob(BlobId blob, std::uint64_t size);
    std::vector<BlobRecord> Blobs();
    void Commit();
    void Discard() noexcept;

private:
    template <class Action>
    auto Guarded(Action action);

    std::mutex m_mutex;
    std::unique_ptr<VersionWrite> m_write;  // null once committed or discarded
    bool m_failed = false;
};

}  // namespace tarvo::detail
