#include "OpenDocument.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <algorithm>
#include <cstring>

namespace {

boost::posix_time::ptime Now() {
    return boost::posix_time::microsec_clock::universal_time();
}

}  // namespace

OpenDocument::OpenDocument(const tarvo::BrowserItemInfo& item, tarvo::VersionNumber baseVersion)
    : m_id(item.id),
      m_item(item),
      m_baseVersion(baseVersion),
      m_size(item.size.value_or(0)),
      m_baseSize(m_size),
      m_creationTime(item.creationTime),
      m_modificationTime(item.modificationTime) {
    m_file.resize(m_size);
}

OpenDocument::~OpenDocument() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    if (m_downloader.joinable()) {
        m_downloader.join();
    }
}

tarvo::VersionNumber OpenDocument::baseVersion() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_baseVersion;
}

std::uint64_t OpenDocument::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_size;
}

void OpenDocument::describe(tarvo::BrowserItemInfo& item) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    item.size = m_size;
    item.creationTime = m_creationTime;
    item.modificationTime = m_modificationTime;
}

// --- Content -------------------------------------------------------------------------------------

bool OpenDocument::presentLocked(std::uint64_t begin, std::uint64_t end) const {
    const std::uint64_t low = std::max(begin, m_downloaded);
    const std::uint64_t high = std::min(end, baseLimit());
    if (low >= high) {
        return true;
    }
    // Written ranges are kept merged: one of them covers the whole gap or none does.
    auto range = m_written.upper_bound(low);
    if (range == m_written.begin()) {
        return false;
    }
    --range;
    return range->first <= low && range->second >= high;
}

void OpenDocument::waitForLocked(Lock& lock, const std::shared_ptr<tarvo::IItemStore>& store,
                                 std::uint64_t begin, std::uint64_t end) {
    while (!presentLocked(begin, end)) {
        if (m_downloadError && !m_downloading) {
            const std::exception_ptr error = m_downloadError;
            m_downloadError = nullptr;  // the next reader downloads again
            std::rethrow_exception(error);
        }
        startDownloadLocked(store);
        m_changed.wait(lock);
    }
}

void OpenDocument::startDownloadLocked(const std::shared_ptr<tarvo::IItemStore>& store) {
    if (m_downloading || m_stopping) {
        return;
    }
    if (m_downloader.joinable()) {
        m_downloader.join();  // an earlier attempt that failed; it has ended
    }
    m_downloading = true;
    m_downloader = std::thread([this, store] { download(store); });
}

void OpenDocument::download(std::shared_ptr<tarvo::IItemStore> store) {
    try {
        tarvo::VersionNumber version = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            version = m_baseVersion;
        }
        const auto document = store->OpenDocument(store->GetItemPath(m_item), version);
        tarvo::BlobInfo first;
        std::shared_ptr<tarvo::IBlobReader> reader;
        if (document->ListBlobs()->Next(first)) {
            reader = document->OpenBlob(first.id);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (reader) {
                m_blobCategory = first.category;
            }
            adoptBaseSizeLocked(reader ? reader->GetSize() : 0);
        }
        for (std::uint64_t offset = 0; reader;) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stopping || offset >= baseLimit()) {
                    break;
                }
            }
            // The chunk is let go before the next is asked for, so that the reader reuses it.
            const std::shared_ptr<tarvo::IBuffer> buffer = reader->Read();
            if (!buffer || buffer->GetSize() == 0) {
                break;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            storeDownloadedLocked(offset, buffer->GetData(), buffer->GetSize());
            offset += buffer->GetSize();
            m_changed.notify_all();
        }
        if (reader) {
            reader->Close();
        }
        document->Close(false);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_stopping) {
            // A blob shorter than it said reads as zeros at its end.
            m_downloaded = std::max(m_downloaded, baseLimit());
            m_written.clear();
        }
        m_downloading = false;
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_downloadError = std::current_exception();
        m_downloading = false;
    }
    m_changed.notify_all();
}

void OpenDocument::adoptBaseSizeLocked(std::uint64_t actual) {
    if (actual == m_baseSize) {
        return;
    }
    // The version was committed between the item's record and its number being read.
    if (m_changes.generation == 0) {
        m_file.resize(actual);
        m_size = actual;
    } else {
        m_cutAt = std::min(m_cutAt, m_baseSize);  // bytes past the old size were zeros here
    }
    m_baseSize = actual;
}

void OpenDocument::storeDownloadedLocked(std::uint64_t offset, const std::uint8_t* data,
                                         std::size_t length) {
    const std::uint64_t end = offset + length;
    std::uint64_t position = std::max(offset, m_downloaded);
    const std::uint64_t limit = std::min(end, baseLimit());
    // What was written stays: only the gaps between written ranges take downloaded bytes.
    while (position < limit) {
        const auto next = m_written.upper_bound(position);
        if (next != m_written.begin() && std::prev(next)->second > position) {
            position = std::prev(next)->second;
            continue;
        }
        const std::uint64_t gapEnd = next == m_written.end() ? limit : std::min(limit, next->first);
        m_file.writeAt(data + (position - offset), gapEnd - position, position);
        position = gapEnd;
    }
    m_downloaded = std::max(m_downloaded, end);
    // Written ranges wholly below the downloaded offset are no longer needed.
    while (!m_written.empty() && m_written.begin()->second <= m_downloaded) {
        m_written.erase(m_written.begin());
    }
}

void OpenDocument::addWrittenLocked(std::uint64_t begin, std::uint64_t end) {
    begin = std::max(begin, m_downloaded);
    end = std::min(end, baseLimit());
    if (begin >= end) {
        return;
    }
    auto next = m_written.upper_bound(begin);
    if (next != m_written.begin() && std::prev(next)->second >= begin) {
        --next;
        begin = next->first;
    }
    while (next != m_written.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = m_written.erase(next);
    }
    m_written.emplace(begin, end);
}

std::size_t OpenDocument::read(const std::shared_ptr<tarvo::IItemStore>& store, void* buffer,
                               std::size_t length, std::uint64_t offset) {
    Lock lock(m_mutex);
    if (offset >= m_size) {
        return 0;
    }
    std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(length, m_size - offset));
    waitForLocked(lock, store, offset, offset + count);
    // The size may have changed meanwhile (a cut, or the download learnt the version's real size).
    count = offset < m_size
                ? static_cast<std::size_t>(std::min<std::uint64_t>(count, m_size - offset))
                : 0;
    lock.unlock();
    // Present bytes never change but by writes, which may overlap this read as on any disk.
    const std::size_t read = m_file.readAt(buffer, count, offset);
    if (read < count) {
        std::memset(static_cast<char*>(buffer) + read, 0, count - read);  // cut meanwhile
    }
    return count;
}

void OpenDocument::writeLocked(const void* data, std::size_t length, std::uint64_t offset) {
    const std::uint64_t end = offset + length;
    try {
        m_file.writeAt(data, length, offset);
    } catch (...) {
        if (end > m_size) {
            try {
                m_file.resize(m_size);  // no part of a failed write past the end stays
            } catch (...) {
            }
        }
        throw;
    }
    addWrittenLocked(offset, end);
    m_size = std::max(m_size, end);
    m_changes.written = true;
    changedLocked();
}

void OpenDocument::write(const void* data, std::size_t length, std::uint64_t offset) {
    std::lock_guard<std::mutex> lock(m_mutex);
    writeLocked(data, length, offset);
}

void OpenDocument::append(const void* data, std::size_t length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    writeLocked(data, length, m_size);
}

void OpenDocument::resize(std::uint64_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (size == m_size) {
        return;
    }
    m_file.resize(size);
    if (size < m_size) {
        m_cutAt = std::min(m_cutAt, size);
    }
    m_size = size;
    m_changes.resized = true;
    changedLocked();
}

void OpenDocument::changedLocked() {
    ++m_changes.generation;
    m_modificationTime = Now();
    m_changed.notify_all();
}

void OpenDocument::completeDownload(const std::shared_ptr<tarvo::IItemStore>& store) {
    Lock lock(m_mutex);
    waitForLocked(lock, store, 0, m_size);
}

// --- Changes -------------------------------------------------------------------------------------

OpenDocument::Changes OpenDocument::changes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_changes;
}

void OpenDocument::markUploaded(std::uint64_t generation,
                                std::optional<tarvo::VersionNumber> version) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_changes.generation == generation) {
        m_changes.written = false;
        m_changes.resized = false;
    }
    if (version) {
        m_baseVersion = *version;
    }
}

void OpenDocument::forgetChanges() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changes.written = false;
    m_changes.resized = false;
}

std::optional<boost::uuids::uuid> OpenDocument::blobCategory() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blobCategory;
}

// --- Handles, writers and the edit lock ----------------------------------------------------------

void OpenDocument::addReader() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_handles;
}

bool OpenDocument::joinWritersHoldingLock() {
    Lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_releasing; });
    if (!m_lockHeld || m_deleted) {
        return false;
    }
    ++m_handles;
    ++m_writers;
    return true;
}

bool OpenDocument::addWriterWithLock() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_releasing) {
        return false;
    }
    ++m_handles;
    ++m_writers;
    m_lockHeld = true;
    return true;
}

OpenDocument::Departure OpenDocument::leave(bool writer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_handles > 0) {
        --m_handles;
    }
    if (writer && m_writers > 0) {
        --m_writers;
    }
    Departure departure;
    departure.handlesLeft = m_handles;
    departure.writersLeft = m_writers;
    departure.releasesLock = writer && m_writers == 0 && m_lockHeld;
    if (departure.releasesLock) {
        m_releasing = true;
    }
    return departure;
}

void OpenDocument::lockReleased() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lockHeld = false;
        m_releasing = false;
    }
    m_changed.notify_all();
}

bool OpenDocument::holdsLock() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lockHeld;
}

bool OpenDocument::hasHandles() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handles > 0;
}

bool OpenDocument::busy() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writers > 0 || m_lockHeld || m_releasing || m_changes.any();
}

void OpenDocument::markDeleted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deleted = true;
}

bool OpenDocument::deleted() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_deleted;
}
