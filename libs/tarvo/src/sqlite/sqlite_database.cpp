#include "sqlite_database.h"

#include "sqlite_error.h"

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tarvo::detail::sqlite {

namespace {

// Writers hold the write lock for short transactions only (an upload stages its content chunk by
// chunk); a writer that finds it taken waits rather than fails, however busy the disk is.
constexpr int kBusyTimeoutMilliseconds = 60'000;
// How often a waiting writer looks again. SQLite's own waits grow to 100 ms between looks, and a
// writer that looks that rarely can miss every gap between an upload's chunks.
constexpr int kBusyRetryMicroseconds = 500;

// Writers of this process that are waiting for the write lock; bulk writers wait for none to be
// left, but no longer than this.
std::atomic<int> g_waitingWriters{0};
constexpr auto kLongestBulkYield = std::chrono::milliseconds(100);

void YieldToWaitingWriters() {
    const auto deadline = std::chrono::steady_clock::now() + kLongestBulkYield;
    while (g_waitingWriters.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

int WaitWhileBusy(void*, int attempt) {
    if (attempt >= kBusyTimeoutMilliseconds * 1000 / kBusyRetryMicroseconds) {
        return 0;  // give up: the caller gets "busy"
    }
    std::this_thread::sleep_for(std::chrono::microseconds(kBusyRetryMicroseconds));
    return 1;
}

}  // namespace

Database::Database(const std::string& path, bool create) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
    if (create) {
        flags |= SQLITE_OPEN_CREATE;
    }
    const int result = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (result != SQLITE_OK) {
        // The handle exists even on failure and carries the message; closed by the destructor
        // only when construction succeeds, so close it here.
        struct Closer {
            sqlite3* db;
            ~Closer() { sqlite3_close_v2(db); }
        } closer{m_db};
        ThrowError(m_db, result);
    }
    try {
        Check(m_db, sqlite3_busy_handler(m_db, &WaitWhileBusy, nullptr));
        sqlite3_extended_result_codes(m_db, 1);
        // Like a local disk: a commit survives a crash of the program at once, and a power loss
        // once somebody asks for it to be durable (SyncToDisk). WAL with synchronous=NORMAL
        // syncs only at checkpoints, so a commit does not wait for the disk.
        Execute(
            "PRAGMA journal_mode=WAL;"
            "PRAGMA synchronous=NORMAL;"
            "PRAGMA journal_size_limit=67108864;"
            "PRAGMA cache_size=-8192;"
            "PRAGMA temp_store=MEMORY;");
    } catch (...) {
        m_statements.clear();
        sqlite3_close_v2(m_db);
        throw;
    }
}

Database::~Database() {
    m_statements.clear();  // statements first: the connection cannot close while they exist
    sqlite3_close_v2(m_db);
}

void Database::Execute(const char* sql) {
    char* message = nullptr;
    const int result = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    Check(m_db, result);
}

Statement& Database::Prepare(const char* sql) {
    auto found = m_statements.find(sql);
    if (found == m_statements.end()) {
        found = m_statements.emplace(sql, std::make_unique<Statement>(m_db, sql)).first;
    }
    return *found->second;
}

std::int64_t Database::LastInsertRowId() const {
    return sqlite3_last_insert_rowid(m_db);
}

int Database::Changes() const {
    return sqlite3_changes(m_db);
}

void Database::SyncToDisk() {
    {
        // A read opens the connection's handle of the write-ahead log if it has none yet.
        Transaction read(*this, Transaction::Kind::Read);
        StatementUse query(Prepare("SELECT 1 FROM repository_info LIMIT 1"));
        query->Step();
    }
    // Every commit is in the write-ahead log before it returns, and the log only grows until a
    // checkpoint has synced its frames into the database file: syncing the log makes every
    // commit so far durable, without a write of our own and without the write lock.
    sqlite3_file* log = nullptr;
    Check(m_db, sqlite3_file_control(m_db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log));
    if (log != nullptr && log->pMethods != nullptr) {
        Check(m_db, log->pMethods->xSync(log, SQLITE_SYNC_NORMAL));
        return;
    }
    // No log open (not in WAL mode after all): a full checkpoint syncs the database file.
    Check(m_db, sqlite3_wal_checkpoint_v2(m_db, "main", SQLITE_CHECKPOINT_FULL, nullptr, nullptr));
}

bool Database::InTransaction() const {
    return sqlite3_get_autocommit(m_db) == 0;
}

Transaction::Transaction(Database& db, Kind kind) : m_db(db) {
    // Prepared once per connection: transactions are begun for every chunk that is read.
    // A writer takes the write lock at once: a deferred transaction that upgrades later can fail
    // with "busy" without waiting.
    if (kind == Kind::Read) {
        StatementUse begin(m_db.Prepare("BEGIN"));
        begin->Run();
        return;
    }
    if (kind == Kind::BulkWrite) {
        YieldToWaitingWriters();
        StatementUse begin(m_db.Prepare("BEGIN IMMEDIATE"));
        begin->Run();
        return;
    }
    struct Waiting {
        Waiting() { ++g_waitingWriters; }
        ~Waiting() { --g_waitingWriters; }
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;
    } waiting;
    StatementUse begin(m_db.Prepare("BEGIN IMMEDIATE"));
    begin->Run();
}

Transaction::~Transaction() {
    if (m_open && m_db.InTransaction()) {
        try {
            StatementUse rollback(m_db.Prepare("ROLLBACK"));
            rollback->Run();
        } catch (...) {
            // Nothing more can be done: SQLite rolls back on its own when the connection closes,
            // and a connection that failed here is left to the pool's health check.
        }
    }
}

void Transaction::Commit() {
    StatementUse commit(m_db.Prepare("COMMIT"));
    commit->Run();
    m_open = false;
}

}  // namespace tarvo::detail::sqlite
