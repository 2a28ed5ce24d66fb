// The PostgreSQL engine beside the embedded SQLite engine, through the same public interfaces and
// in the same run: writing and reading back one 64 MiB document, and listing a folder of 10,000
// items (creating them is timed too); then, per engine, the longest wait of another link's small
// commits while a 1 GiB document is uploaded, and for the local repository the size of its file
// before and after that document is deleted. Prints a table and the targets; asserts nothing.
//
//   scripts/with-postgres.sh build/default/bench/postgres/bench_postgres [rounds, default 3]
//
// The server comes from KELVO_TEST_PG_HOST, KELVO_TEST_PG_PORT and KELVO_TEST_PG_SUPERUSER (what
// scripts/with-postgres.sh exports: a private server on loopback, started with fsync off); without
// them only SQLite is measured. The best round of each figure is reported.
#include <tarvo/core.h>

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kDocumentBytes = 64u * 1024 * 1024;
constexpr int kListedItems = 10000;
constexpr int kListPasses = 5;
constexpr int kReadPasses = 3;
constexpr std::size_t kUploadBytes = std::size_t{1} << 30;
constexpr double kShrinkPatienceSeconds = 60;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void FillChunk(std::uint8_t* data, std::size_t size, std::size_t chunkIndex) {
    std::uint32_t state = static_cast<std::uint32_t>(chunkIndex) * 2654435761u + 7;
    for (std::size_t offset = 0; offset + 4 <= size; offset += 4) {
        state = state * 1664525u + 1013904223u;
        std::memcpy(data + offset, &state, 4);
    }
}

std::string Variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// The repository under measurement, and how to take it away afterwards.
struct Subject {
    std::string name;
    std::function<std::shared_ptr<tarvo::IRepository>()> connect;
    std::function<void()> cleanUp;
    std::filesystem::path databaseFile;  // the local repository's file; empty for a server
};

Subject SqliteSubject() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bench_pg.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("no temporary folder");
    }
    ::setenv("KELVO_DATA_DIR", pattern.c_str(), 1);
    auto core = tarvo::CreateCore();
    return {"SQLite",
            [core] { return core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{}); },
            [pattern] {
                std::error_code ignored;
                std::filesystem::remove_all(pattern, ignored);
            },
            std::filesystem::path(pattern) / "local_repository.sqlite"};
}

void AdminCommand(const std::string& sql) {
    const std::string host = Variable("KELVO_TEST_PG_HOST");
    const std::string port = Variable("KELVO_TEST_PG_PORT");
    const std::string user = Variable("KELVO_TEST_PG_SUPERUSER");
    // Without the server's notices ("does not exist, skipping") in the printed table.
    const char* keys[] = {"host", "port", "dbname", "user", "sslmode", "options", nullptr};
    const char* values[] = {host.c_str(), port.c_str(), "postgres",
                            user.c_str(), "disable",    "-c client_min_messages=warning",
                            nullptr};
    std::unique_ptr<PGconn, decltype(&PQfinish)> connection(PQconnectdbParams(keys, values, 0),
                                                            &PQfinish);
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(connection.get(), sql.c_str()),
                                                         &PQclear);
    if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        throw std::runtime_error(sql + ": " + PQerrorMessage(connection.get()));
    }
}

Subject PostgresSubject() {
    const std::string database = "kelvo_bench";
    AdminCommand("DROP DATABASE IF EXISTS " + database + " WITH (FORCE)");
    AdminCommand("CREATE DATABASE " + database);
    tarvo::endpoint::Remote remote{
        Wide(Variable("KELVO_TEST_PG_HOST")),
        static_cast<std::uint16_t>(std::stoi(Variable("KELVO_TEST_PG_PORT"))), Wide(database),
        L"disable"};
    const tarvo::auth::Basic login{Wide(Variable("KELVO_TEST_PG_SUPERUSER")), L""};
    auto core = tarvo::CreateCore();
    return {"PostgreSQL", [core, remote, login] { return core->Connect(remote, login); },
            [database] { AdminCommand("DROP DATABASE IF EXISTS " + database + " WITH (FORCE)"); },
            std::filesystem::path()};
}

struct Figures {
    double writeSeconds = 1e9;
    double readSeconds = 1e9;
    double createSeconds = 1e9;
    double listSeconds = 1e9;
    double uploadSeconds = 0;       // the 1 GiB document
    double longestWaitSeconds = 0;  // of another link's commit during that upload
    std::uintmax_t fileWithContent = 0;
    std::uintmax_t fileAfterDelete = 0;
    double shrinkSeconds = -1;  // from the delete until the file gave back 90 % of 1 GiB
};

double WriteDocument(tarvo::IItemStore& store, const tarvo::IdPath& document,
                     std::size_t bytes = kDocumentBytes) {
    const auto start = Clock::now();
    auto version = store.BeginVersion(document, L"bench");
    auto writer = version->CreateBlob(tarvo::GenerateUuid());
    const std::size_t chunk = writer->GetChunkSize();
    auto buffer = tarvo::CreateBuffer(chunk);
    for (std::size_t offset = 0, index = 0; offset < bytes; offset += chunk, ++index) {
        const std::size_t count = std::min(chunk, bytes - offset);
        FillChunk(buffer->GetData(), count, index);
        buffer->SetSize(count);
        writer->Write(buffer);
    }
    writer->Close();
    version->Close(true);
    return Seconds(start);
}

double ReadDocument(tarvo::IItemStore& store, const tarvo::IdPath& document) {
    const auto start = Clock::now();
    auto version = store.OpenDocument(document);
    tarvo::BlobInfo blob;
    version->ListBlobs()->Next(blob);
    auto reader = version->OpenBlob(blob.id);
    std::uint64_t total = 0;
    while (auto buffer = reader->Read()) {
        if (buffer->GetSize() == 0) {
            break;
        }
        total += buffer->GetSize();
    }
    reader->Close();
    version->Close(false);
    if (total != kDocumentBytes) {
        throw std::runtime_error("read back " + std::to_string(total) + " bytes");
    }
    return Seconds(start);
}

// Uploads 1 GiB while another link of its own keeps making small commits (a folder, as a
// `touch` on the drive would) and looking items up; the longest of those waits.
void MeasureUploadStall(const Subject& subject, tarvo::IItemStore& store, const tarvo::IdPath& root,
                        const tarvo::IdPath& document, Figures& figures) {
    std::atomic<bool> uploading{true};
    double longest = 0;
    std::thread other([&] {
        auto otherStore = subject.connect()->OpenItemStore();
        for (int probe = 0; uploading; ++probe) {
            const auto start = Clock::now();
            otherStore->CreateFolders(root, {L"probe " + std::to_wstring(probe)});
            otherStore->GetItemInfo(document);
            longest = std::max(longest, Seconds(start));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    figures.uploadSeconds = WriteDocument(store, document, kUploadBytes);
    uploading = false;
    other.join();
    figures.longestWaitSeconds = longest;
}

// The local repository's file before and after the 1 GiB document is deleted.
void MeasureSpaceGivenBack(const Subject& subject, tarvo::IItemStore& store,
                           const tarvo::IdPath& document, Figures& figures) {
    // The content reaches the file from the write-ahead log in the background.
    const auto written = Clock::now();
    while (std::filesystem::file_size(subject.databaseFile) < kUploadBytes &&
           Seconds(written) < kShrinkPatienceSeconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    figures.fileWithContent = std::filesystem::file_size(subject.databaseFile);
    const auto start = Clock::now();
    store.DeleteItem(document);
    const std::uintmax_t goal =
        figures.fileWithContent -
        std::min<std::uintmax_t>(figures.fileWithContent, kUploadBytes * 9 / 10);
    while (Seconds(start) < kShrinkPatienceSeconds) {
        if (std::filesystem::file_size(subject.databaseFile) <= goal) {
            figures.shrinkSeconds = Seconds(start);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    figures.fileAfterDelete = std::filesystem::file_size(subject.databaseFile);
}

Figures Measure(const Subject& subject, int rounds) {
    Figures best;
    auto repository = subject.connect();
    auto store = repository->OpenItemStore();
    const auto root = store->ResolvePath({L""});
    for (int round = 0; round < rounds; ++round) {
        tarvo::FileCreateInfo info{tarvo::GenerateUuid(), L"large-" + std::to_wstring(round),
                                   tarvo::GenerateUuid()};
        store->CreateDocument(root, info, L"")->Close(true);
        const tarvo::IdPath document{root[0], info.id};
        best.writeSeconds = std::min(best.writeSeconds, WriteDocument(*store, document));
        // Several passes: the first may share the machine with the upkeep that follows a write.
        for (int pass = 0; pass < kReadPasses; ++pass) {
            best.readSeconds = std::min(best.readSeconds, ReadDocument(*store, document));
        }
        store->DeleteItem(document);
    }

    store->CreateFolders(root, {L"many"});
    const auto folder = store->ResolvePath({L"", L"many"});
    const auto createStart = Clock::now();
    for (int index = 0; index < kListedItems; ++index) {
        store->CreateFolders(folder, {L"item " + std::to_wstring(index)});
    }
    best.createSeconds = Seconds(createStart);
    for (int pass = 0; pass < kListPasses * rounds; ++pass) {
        const auto start = Clock::now();
        auto children = store->ListChildren(folder);
        int count = 0;
        for (tarvo::BrowserItemInfo child; children->Next(child);) {
            ++count;
        }
        best.listSeconds = std::min(best.listSeconds, Seconds(start));
        if (count != kListedItems) {
            throw std::runtime_error("listed " + std::to_string(count) + " items");
        }
    }

    tarvo::FileCreateInfo info{tarvo::GenerateUuid(), L"upload", tarvo::GenerateUuid()};
    const tarvo::IdPath upload = store->CreateDocumentForEdit(root, info, L"");
    MeasureUploadStall(subject, *store, root, upload, best);
    if (!subject.databaseFile.empty()) {
        MeasureSpaceGivenBack(subject, *store, upload, best);
    }
    return best;
}

void PrintRow(const std::string& name, const Figures& figures) {
    const double mebibytes = static_cast<double>(kDocumentBytes) / (1024.0 * 1024.0);
    std::printf("%-12s %12.1f %12.1f %16.0f %14.1f\n", name.c_str(),
                mebibytes / figures.writeSeconds, mebibytes / figures.readSeconds,
                kListedItems / figures.createSeconds, figures.listSeconds * 1000.0);
}

void PrintUploadRow(const std::string& name, const Figures& figures) {
    std::printf("%-12s %12.1f %18.1f", name.c_str(),
                static_cast<double>(kUploadBytes) / (1024.0 * 1024.0) / figures.uploadSeconds,
                figures.longestWaitSeconds * 1000.0);
    if (figures.fileWithContent == 0) {
        std::printf("   (the server keeps its own free space)\n");
        return;
    }
    const double mebibyte = 1024.0 * 1024.0;
    std::printf(" %12.0f %12.0f", figures.fileWithContent / mebibyte,
                figures.fileAfterDelete / mebibyte);
    if (figures.shrinkSeconds >= 0) {
        std::printf(" %10.1f\n", figures.shrinkSeconds);
    } else {
        std::printf("   not within %.0f s\n", kShrinkPatienceSeconds);
    }
}

void PrintTarget(const char* what, double value, const char* unit, double target, bool atLeast) {
    const bool met = atLeast ? value >= target : value <= target;
    std::printf("%-52s %8.2f %-3s (target %s %.2f: %s)\n", what, value, unit,
                atLeast ? ">=" : "<=", target, met ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    try {
        std::vector<Subject> subjects{SqliteSubject()};
        const bool haveServer = !Variable("KELVO_TEST_PG_HOST").empty() &&
                                !Variable("KELVO_TEST_PG_PORT").empty() &&
                                !Variable("KELVO_TEST_PG_SUPERUSER").empty();
        if (haveServer) {
            subjects.push_back(PostgresSubject());
        }
        std::printf("64 MiB document, %d rounds (best); %d items in one folder\n", rounds,
                    kListedItems);
        std::vector<Figures> results;
        for (const auto& subject : subjects) {
            std::fprintf(stderr, "bench_postgres: measuring %s\n", subject.name.c_str());
            results.push_back(Measure(subject, rounds));
            subject.cleanUp();
        }
        std::printf("%-12s %12s %12s %16s %14s\n", "engine", "write MiB/s", "read MiB/s",
                    "create items/s", "list ms");
        for (std::size_t index = 0; index < subjects.size(); ++index) {
            PrintRow(subjects[index].name, results[index]);
        }
        std::printf("\n1 GiB upload while another link commits small changes; then deleted\n");
        std::printf("%-12s %12s %18s %12s %12s %10s\n", "engine", "upload MiB/s", "longest wait ms",
                    "file MiB", "after MiB", "shrunk s");
        for (std::size_t index = 0; index < subjects.size(); ++index) {
            PrintUploadRow(subjects[index].name, results[index]);
        }
        std::printf("\n");
        const Figures& local = results.front();
        PrintTarget("SQLite: longest wait during the upload", local.longestWaitSeconds * 1000.0,
                    "ms", 50, false);
        PrintTarget(
            "SQLite: 1 GiB deleted, file shrunk by (share of 1 GiB)",
            (static_cast<double>(local.fileWithContent) - local.fileAfterDelete) / kUploadBytes, "",
            0.9, true);
        if (haveServer) {
            const Figures& server = results.back();
            PrintTarget("PostgreSQL read rate / SQLite read rate",
                        local.readSeconds / server.readSeconds, "", 0.7, true);
            PrintTarget("PostgreSQL: longest wait during the upload",
                        server.longestWaitSeconds * 1000.0, "ms", 50, false);
        } else {
            std::printf("PostgreSQL: skipped, no server (run through scripts/with-postgres.sh)\n");
        }
    } catch (const tarvo::TarvoError& error) {
        std::fprintf(stderr, "bench_postgres: %s\n", error.what());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_postgres: %s\n", error.what());
        return 1;
    }
    return 0;
}
