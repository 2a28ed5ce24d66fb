// Writes and reads back one large document through the repository core, and the same bytes
// straight through SQLite (same chunk size, same table, same settings), and prints both rates.
//
//   bench_core [size in MiB, default 256] [rounds, default 4]
//
// The best round of each is reported (and the best of several read passes per round).
// Nothing is asserted.
#include <tarvo/core.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kChunk = 1024 * 1024;
// Reading is short and CPU-bound: it is repeated within each round to smooth out other load.
constexpr int kReadPasses = 8;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Fills a chunk with bytes that differ per chunk, so no layer can profit from repetition.
void FillChunk(std::uint8_t* data, std::size_t size, std::size_t chunkIndex) {
    std::uint32_t state = static_cast<std::uint32_t>(chunkIndex) * 2654435761u + 7;
    for (std::size_t offset = 0; offset + 4 <= size; offset += 4) {
        state = state * 1664525u + 1013904223u;
        std::memcpy(data + offset, &state, 4);
    }
}

struct Rates {
    double writeSeconds = 0;
    double readSeconds = 0;
    double blobReadSeconds = 0;  // raw SQLite only: the same reads by incremental blob I/O
};

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "bench_core.XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("no temporary folder");
        }
        m_path = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

Rates MeasureCore(std::size_t chunks, const std::vector<std::vector<std::uint8_t>>& content) {
    TemporaryFolder folder;
    ::setenv("KELVO_DATA_DIR", folder.Path().c_str(), 1);
    auto repository =
        tarvo::CreateCore()->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    auto store = repository->OpenItemStore();
    const auto root = store->ResolvePath({L""});
    tarvo::FileCreateInfo info{tarvo::GenerateUuid(), L"large.bin", tarvo::GenerateUuid()};
    store->CreateDocument(root, info, L"")->Close(true);
    const tarvo::IdPath path{root.front(), info.id};

    Rates rates;
    auto start = Clock::now();
    {
        auto version = store->BeginVersion(path, L"");
        auto writer = version->CreateBlob(tarvo::GenerateUuid());
        auto buffer = tarvo::CreateBuffer(writer->GetChunkSize());
        for (std::size_t index = 0; index < chunks; ++index) {
            const auto& chunk = content[index % content.size()];
            std::memcpy(buffer->GetData(), chunk.data(), chunk.size());
            buffer->SetSize(chunk.size());
            writer->Write(buffer);
        }
        writer->Close();
        version->Close(true);
    }
    rates.writeSeconds = Seconds(start);

    rates.readSeconds = 1e9;
    for (int pass = 0; pass < kReadPasses; ++pass) {
        start = Clock::now();
        std::uint64_t total = 0;
        auto document = store->OpenDocument(path);
        tarvo::BlobInfo blob;
        document->ListBlobs()->Next(blob);
        auto reader = document->OpenBlob(blob.id);
        while (auto buffer = reader->Read()) {
            if (buffer->GetSize() == 0) {
                break;
            }
            total += buffer->GetSize();
        }
        reader->Close();
        document->Close(false);
        rates.readSeconds = std::min(rates.readSeconds, Seconds(start));
        if (total != chunks * kChunk) {
            throw std::runtime_error("the core read back a different size");
        }
    }
    return rates;
}

void Exec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message != nullptr ? message : "?";
        sqlite3_free(message);
        throw std::runtime_error(text);
    }
}

// The same bytes, chunk table and settings as the core's SQLite engine, without the core.
Rates MeasureRawSqlite(std::size_t chunks, const std::vector<std::vector<std::uint8_t>>& content) {
    TemporaryFolder folder;
    sqlite3* db = nullptr;
    if (sqlite3_open((folder.Path() / "raw.sqlite").c_str(), &db) != SQLITE_OK) {
        throw std::runtime_error("cannot open the raw database");
    }
    Exec(db,
         "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA journal_size_limit=67108864;"
         "PRAGMA cache_size=-8192; PRAGMA temp_store=MEMORY;"
         "CREATE TABLE blob_chunks(blob_id INTEGER NOT NULL, chunk_index INTEGER NOT NULL,"
         " data BLOB NOT NULL, PRIMARY KEY(blob_id, chunk_index));");

    Rates rates;
    auto start = Clock::now();
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO blob_chunks(blob_id, chunk_index, data) VALUES(1, ?1, ?2)",
                       -1, &insert, nullptr);
    Exec(db, "BEGIN IMMEDIATE");
    std::vector<std::uint8_t> buffer(kChunk);
    for (std::size_t index = 0; index < chunks; ++index) {
        const auto& chunk = content[index % content.size()];
        std::memcpy(buffer.data(), chunk.data(), chunk.size());  // as the caller fills its buffer
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(index));
        sqlite3_bind_blob64(insert, 2, buffer.data(), buffer.size(), SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            throw std::runtime_error(sqlite3_errmsg(db));
        }
        sqlite3_reset(insert);
    }
    Exec(db, "COMMIT");
    sqlite3_finalize(insert);
    rates.writeSeconds = Seconds(start);

    rates.readSeconds = 1e9;
    rates.blobReadSeconds = 1e9;
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, "SELECT data FROM blob_chunks WHERE blob_id = 1 AND chunk_index = ?1",
                       -1, &select, nullptr);
    // The way the core reads: find the row, then copy its pages straight into the buffer.
    sqlite3_stmt* find = nullptr;
    sqlite3_prepare_v2(db, "SELECT rowid FROM blob_chunks WHERE blob_id = 1 AND chunk_index = ?1",
                       -1, &find, nullptr);
    for (int pass = 0; pass < kReadPasses; ++pass) {
        start = Clock::now();
        std::uint64_t total = 0;
        for (std::size_t index = 0; index < chunks; ++index) {
            sqlite3_bind_int64(select, 1, static_cast<sqlite3_int64>(index));
            if (sqlite3_step(select) != SQLITE_ROW) {
                throw std::runtime_error("chunk missing");
            }
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(select, 0));
            std::memcpy(buffer.data(), sqlite3_column_blob(select, 0), size);
            total += size;
            sqlite3_reset(select);
        }
        rates.readSeconds = std::min(rates.readSeconds, Seconds(start));

        start = Clock::now();
        std::uint64_t blobTotal = 0;
        for (std::size_t index = 0; index < chunks; ++index) {
            sqlite3_bind_int64(find, 1, static_cast<sqlite3_int64>(index));
            if (sqlite3_step(find) != SQLITE_ROW) {
                throw std::runtime_error("chunk missing");
            }
            sqlite3_blob* blob = nullptr;
            if (sqlite3_blob_open(db, "main", "blob_chunks", "data", sqlite3_column_int64(find, 0),
                                  0, &blob) != SQLITE_OK) {
                throw std::runtime_error(sqlite3_errmsg(db));
            }
            const int size = sqlite3_blob_bytes(blob);
            sqlite3_blob_read(blob, buffer.data(), size, 0);
            sqlite3_blob_close(blob);
            blobTotal += static_cast<std::uint64_t>(size);
            sqlite3_reset(find);
        }
        rates.blobReadSeconds = std::min(rates.blobReadSeconds, Seconds(start));
        if (total != chunks * kChunk || blobTotal != chunks * kChunk) {
            throw std::runtime_error("raw SQLite read back a different size");
        }
    }
    sqlite3_finalize(select);
    sqlite3_finalize(find);
    sqlite3_close(db);
    return rates;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 4;
    const std::size_t chunks = mebibytes;  // one chunk per MiB

    // Sixteen distinct chunks, prepared before any clock runs.
    std::vector<std::vector<std::uint8_t>> content(16, std::vector<std::uint8_t>(kChunk));
    for (std::size_t index = 0; index < content.size(); ++index) {
        FillChunk(content[index].data(), kChunk, index);
    }

    Rates core{1e9, 1e9, 0};
    Rates raw{1e9, 1e9, 1e9};
    try {
        for (int round = 0; round < rounds; ++round) {
            // Alternating which goes first keeps the disk's leftover work from favouring one.
            Rates coreRound;
            Rates rawRound;
            if (round % 2 == 0) {
                coreRound = MeasureCore(chunks, content);
                rawRound = MeasureRawSqlite(chunks, content);
            } else {
                rawRound = MeasureRawSqlite(chunks, content);
                coreRound = MeasureCore(chunks, content);
            }
            core.writeSeconds = std::min(core.writeSeconds, coreRound.writeSeconds);
            core.readSeconds = std::min(core.readSeconds, coreRound.readSeconds);
            raw.writeSeconds = std::min(raw.writeSeconds, rawRound.writeSeconds);
            raw.readSeconds = std::min(raw.readSeconds, rawRound.readSeconds);
            raw.blobReadSeconds = std::min(raw.blobReadSeconds, rawRound.blobReadSeconds);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_core: %s\n", error.what());
        return 1;
    }

    const double megabytes = static_cast<double>(chunks * kChunk) / 1e6;
    std::printf("Document of %zu MiB in 1 MiB chunks, best of %d rounds (MB = 10^6 bytes)\n",
                mebibytes, rounds);
    std::printf("%-8s %14s %14s %10s\n", "", "core MB/s", "SQLite MB/s", "core/raw");
    std::printf("%-8s %14.1f %14.1f %9.0f%%\n", "write", megabytes / core.writeSeconds,
                megabytes / raw.writeSeconds, 100.0 * raw.writeSeconds / core.writeSeconds);
    std::printf("%-8s %14.1f %14.1f %9.0f%%\n", "read", megabytes / core.readSeconds,
                megabytes / raw.readSeconds, 100.0 * raw.readSeconds / core.readSeconds);
    std::printf("%-8s %14.1f %14.1f %9.0f%%   (raw read by incremental blob I/O, as the core)\n",
                "read/io", megabytes / core.readSeconds, megabytes / raw.blobReadSeconds,
                100.0 * raw.blobReadSeconds / core.readSeconds);
    return 0;
}
