#include "version_session.h"

#include "errors_text.h"

namespace tarvo::detail {

VersionSession::VersionSession(std::unique_ptr<VersionWrite> write) : m_write(std::move(write)) {}

VersionSession::~VersionSession() {
    Discard();
}

template <class Action>
auto VersionSession::Guarded(Action action) {
    std::lock_guard lock(m_mutex);
    if (m_failed) {
        throw TarvoError(errc::StorageFailure,
                         L"Запись новой версии документа прервана ошибкой; версия не сохранена. "
                         L"Повторите сохранение.");
    }
    if (!m_write) {
        throw errors::DocumentClosed();
    }
    try {
        return action(*m_write);
    } catch (...) {
        m_failed = true;
        m_write->Discard();
        m_write.reset();
        throw;
    }
}

BlobId VersionSession::AddBlob(const boost::uuids::uuid& category, std::size_t chunkSize) {
    return Guarded([&](VersionWrite& write) { return write.AddBlob(category, chunkSize); });
}

void VersionSession::AppendChunk(BlobId blob, std::int64_t chunkIndex, const std::uint8_t* data,
                                 std::size_t size) {
    Guarded([&](VersionWrite& write) { write.AppendChunk(blob, chunkIndex, data, size); });
}

void VersionSession::FinishBlob(BlobId blob, std::uint64_t size) {
    Guarded([&](VersionWrite& write) { write.FinishBlob(blob, size); });
}

std::vector<BlobRecord> VersionSession::Blobs() {
    return Guarded([&](VersionWrite& write) { return write.Blobs(); });
}

void VersionSession::Commit() {
    Guarded([&](VersionWrite& write) { write.Commit(); });
    std::lock_guard lock(m_mutex);
    m_write.reset();
}

void VersionSession::Discard() noexcept {
    std::lock_guard lock(m_mutex);
    if (m_write) {
        m_write->Discard();
        m_write.reset();
    }
}

}  // namespace tarvo::detail
