#pragma once

#include "blob_writer.h"
#include "engine.h"
#include "version_session.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tarvo::detail {

// One version of a document: a stored version opened for reading, or a new version (of an
// existing or a new document) being written. Destroying a version being written without
// Close(true) discards it.
class Document : public IDocument {
public:
    // A stored version, for reading.
    Document(std::shared_ptr<Engine> engine, ItemId id, VersionNumber version);
    // A new version, for writing.
    Document(std::shared_ptr<Engine> engine, ItemId id, std::unique_ptr<VersionWrite> write);
    ~Document() override;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    std::shared_ptr<IBlobIterator> ListBlobs() override;
    std::shared_ptr<IBlobReader> OpenBlob(BlobId blob) override;
    std::shared_ptr<IBlobWriter> CreateBlob(const boost::uuids::uuid& category) override;
    void Close(bool commit) override;

    // Size of the chunks that writers of this library store.
    static constexpr std::size_t kChunkSize = 1024 * 1024;

private:
    void CheckOpen() const;

    std::mutex m_mutex;
    const std::shared_ptr<Engine> m_engine;
    const ItemId m_id;
    const VersionNumber m_version = 0;                   // reading only
    const std::shared_ptr<VersionSession> m_session;     // writing only
    std::vector<std::shared_ptr<BlobWriter>> m_writers;  // kept to be flushed at commit
    bool m_closed = false;
};

}  // namespace tarvo::detail
