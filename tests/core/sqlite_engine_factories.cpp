// The behaviour suite of this program runs against the embedded engine.
#include "repository_under_test.h"
#include "sqlite_inspection.h"

#include "test_support.h"

#include <QTemporaryDir>

#include <sqlite3.h>

#include <stdexcept>
#include <string>

namespace kelvo_test {

namespace {

// The embedded engine: a fresh data folder per repository.
class LocalRepositoryUnderTest : public RepositoryUnderTest {
public:
    LocalRepositoryUnderTest()
        : m_environment("KELVO_DATA_DIR", m_folder.path().toStdString()),
          m_core(tarvo::CreateCore()) {
        if (!m_folder.isValid()) {
            throw std::runtime_error("no temporary folder");
        }
    }

    std::shared_ptr<tarvo::IRepository> Connect() override {
        return m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{});
    }

    std::string ChildEndpoint() const override { return "local:" + m_folder.path().toStdString(); }

    std::int64_t StoredChunks() const override {
        return SqliteNumber(m_folder.path().toStdString() + "/local_repository.sqlite",
                            "SELECT COUNT(*) FROM blob_chunks");
    }

private:
    QTemporaryDir m_folder;
    ScopedEnvironment m_environment;
    std::shared_ptr<tarvo::ICore> m_core;
};

}  // namespace

std::int64_t SqliteNumber(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    std::int64_t number = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            db, sql,
            [](void* out, int, char** values, char**) {
                *static_cast<std::int64_t*>(out) = std::stoll(values[0]);
                return 0;
            },
            &number, nullptr);
    }
    sqlite3_close(db);
    return number;
}

std::vector<EngineFactory> EngineFactories() {
    return {
        {"Sqlite", [] { return std::make_unique<LocalRepositoryUnderTest>(); }},
    };
}

}  // namespace kelvo_test
