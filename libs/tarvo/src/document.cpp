#include "document.h"

#include "blob_reader.h"
#include "errors_text.h"
#include "vector_iterator.h"

#include <algorithm>

namespace tarvo::detail {

namespace {

std::vector<BlobInfo> ToBlobInfos(const std::vector<BlobRecord>& records) {
    std::vector<BlobInfo> infos;
    infos.reserve(records.size());
    for (const auto& record : records) {
        infos.push_back(BlobInfo{record.id, record.category});
    }
    return infos;
}

}  // namespace

Document::Document(std::shared_ptr<Engine> engine, ItemId id, VersionNumber version)
    : m_engine(std::move(engine)), m_id(id), m_version(version) {}

Document::Document(std::shared_ptr<Engine> engine, ItemId id, std::unique_ptr<VersionWrite> write)
    : m_engine(std::move(engine)),
      m_id(id),
      m_session(std::make_shared<VersionSession>(std::move(write))) {}

Document::~Document() {
    // Writers the caller still holds keep the session alive; its transaction must end now.
    if (m_session) {
        m_session->Discard();
    }
}

void Document::CheckOpen() const {
    if (m_closed) {
        throw errors::DocumentClosed();
    }
}

std::shared_ptr<IBlobIterator> Document::ListBlobs() {
    std::lock_guard lock(m_mutex);
    CheckOpen();
    const auto records = m_session ? m_session->Blobs() : m_engine->ListBlobs(m_id, m_version);
    return std::make_shared<VectorIterator<BlobInfo>>(ToBlobInfos(records));
}

std::shared_ptr<IBlobReader> Document::OpenBlob(BlobId blob) {
    std::lock_guard lock(m_mutex);
    CheckOpen();
    if (m_session) {
        throw TarvoError(errc::InvalidArgument,
                         L"Содержимое новой версии можно прочитать только после её сохранения.");
    }
    const auto records = m_engine->ListBlobs(m_id, m_version);
    const auto found = std::find_if(records.begin(), records.end(),
                                    [blob](const BlobRecord& record) { return record.id == blob; });
    if (found == records.end()) {
        throw errors::BlobNotInVersion();
    }
    return std::make_shared<BlobReader>(m_engine, *found);
}

std::shared_ptr<IBlobWriter> Document::CreateBlob(const boost::uuids::uuid& category) {
    std::lock_guard lock(m_mutex);
    CheckOpen();
    if (!m_session) {
        throw errors::VersionNotWritable();
    }
    const BlobId blob = m_session->AddBlob(category, kChunkSize);
    auto writer = std::make_shared<BlobWriter>(m_session, blob, kChunkSize);
    m_writers.push_back(writer);
    return writer;
}

void Document::Close(bool commit) {
    std::lock_guard lock(m_mutex);
    if (m_closed) {
        return;
    }
    m_closed = true;
    if (!m_session) {
        return;
    }
    if (!commit) {
        m_session->Discard();
        m_writers.clear();
        return;
    }
    try {
        // A writer the caller forgot to close still holds its last partial chunk.
        for (const auto& writer : m_writers) {
            writer->Close();
        }
        m_session->Commit();
        m_writers.clear();
    } catch (...) {
        m_session->Discard();
        throw;
    }
}

}  // namespace tarvo::detail
