#include "sqlite_upkeep.h"

#include "sqlite_database.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>

namespace tarvo::detail::sqlite {

namespace {

using Clock = std::chrono::steady_clock;

// Each step aims at this long, well below the wait the drive may impose on other operations.
constexpr auto kStepTarget = std::chrono::milliseconds(15);
constexpr int kPauseBetweenStepsMilliseconds = 10;
// Without a nudge (another process may have deleted content), look now and then.
constexpr int kLookEveryMilliseconds = 30'000;
// Frames (pages) in the write-ahead log from which it is copied into the database file: SQLite's
// own default for its automatic checkpoints.
constexpr int kLongLogFrames = 1000;
constexpr int kFirstPagesPerStep = 256;
constexpr int kStepsPerCheckpoint = 20;
constexpr int kFewestPagesPerStep = 16;
constexpr int kMostPagesPerStep = 16384;

std::int64_t FreePages(Database& db) {
    StatementUse query(db.Prepare("PRAGMA freelist_count"));
    return query->Step() ? query->ColumnInt64(0) : 0;
}

}  // namespace

Upkeep::Upkeep(std::string path)
    : m_path(std::move(path)), m_pagesPerStep(kFirstPagesPerStep), m_thread([this] { Run(); }) {}

Upkeep::~Upkeep() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void Upkeep::Attach(Database& db) {
    // Replaces SQLite's automatic checkpoint on this connection.
    sqlite3_wal_hook(db.Handle(), &Upkeep::OnCommit, this);
}

int Upkeep::OnCommit(void* upkeep, sqlite3*, const char*, int frames) {
    if (frames >= kLongLogFrames) {
        auto* self = static_cast<Upkeep*>(upkeep);
        {
            std::lock_guard lock(self->m_mutex);
            self->m_logLong = true;
        }
        self->m_wake.notify_all();
    }
    return SQLITE_OK;
}

void Upkeep::Nudge() {
    {
        std::lock_guard lock(m_mutex);
        m_nudged = true;
    }
    m_wake.notify_all();
}

bool Upkeep::Pause(int milliseconds) {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stopping; });
    return !m_stopping;
}

void Upkeep::Run() {
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, std::chrono::milliseconds(kLookEveryMilliseconds),
                            [this] { return m_stopping || m_nudged || m_logLong; });
            if (m_stopping) {
                return;
            }
        }
        try {
            // A connection of its own, only while there is work: most links never need one.
            Database db(m_path, false);
            Work(db);
        } catch (const std::exception&) {
            // Nothing is lost: the log stays as it is (and is read as part of the database), the
            // pages stay free and are reused by new content; the next look tries again.
        }
    }
}

void Upkeep::Work(Database& db) {
    // Keeps the connection while the work goes on: an upload makes the log long again and again.
    for (;;) {
        bool logLong = false;
        bool nudged = false;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                return;
            }
            std::swap(logLong, m_logLong);
            std::swap(nudged, m_nudged);
        }
        if (!logLong && !nudged) {
            if (!Pause(kPauseBetweenStepsMilliseconds * 10)) {
                return;
            }
            std::lock_guard lock(m_mutex);
            if (!m_logLong && !m_nudged) {
                return;
            }
            continue;
        }
        if (logLong) {
            // Never waits for readers or writers: it copies what it can and leaves the rest.
            db.Execute("PRAGMA wal_checkpoint(PASSIVE)");
        }
        if (nudged) {
            ReclaimAll(db);
        }
    }
}

void Upkeep::ReclaimAll(Database& db) {
    // In WAL mode the file itself shrinks when a checkpoint copies a step into it: done now and
    // then while the steps go on, so that the file shrinks as they go, and after the last.
    int stepsSinceCheckpoint = 0;
    while (Step(db)) {
        if (++stepsSinceCheckpoint == kStepsPerCheckpoint) {
            db.Execute("PRAGMA wal_checkpoint(PASSIVE)");
            stepsSinceCheckpoint = 0;
        }
        if (!Pause(kPauseBetweenStepsMilliseconds)) {
            return;
        }
    }
    if (stepsSinceCheckpoint > 0) {
        db.Execute("PRAGMA wal_checkpoint(PASSIVE)");
    }
}

bool Upkeep::Step(Database& db) {
    if (FreePages(db) == 0) {
        return false;
    }
    Transaction transaction(db, Transaction::Kind::BulkWrite);
    const auto start = Clock::now();
    db.Execute(("PRAGMA incremental_vacuum(" + std::to_string(m_pagesPerStep) + ")").c_str());
    transaction.Commit();
    const auto took = Clock::now() - start;
    // Moving a page costs more than dropping one from the end: the step adapts to what it finds.
    if (took < kStepTarget / 2) {
        m_pagesPerStep = std::min(m_pagesPerStep * 2, kMostPagesPerStep);
    } else if (took > kStepTarget * 2) {
        m_pagesPerStep = std::max(m_pagesPerStep / 2, kFewestPagesPerStep);
    }
    return true;
}

}  // namespace tarvo::detail::sqlite
