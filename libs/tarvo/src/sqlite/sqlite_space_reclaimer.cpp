#include "sqlite_space_reclaimer.h"

#include "sqlite_database.h"

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
constexpr int kFirstPagesPerStep = 256;
constexpr int kFewestPagesPerStep = 16;
constexpr int kMostPagesPerStep = 16384;

std::int64_t FreePages(Database& db) {
    StatementUse query(db.Prepare("PRAGMA freelist_count"));
    return query->Step() ? query->ColumnInt64(0) : 0;
}

}  // namespace

SpaceReclaimer::SpaceReclaimer(std::string path)
    : m_path(std::move(path)), m_pagesPerStep(kFirstPagesPerStep), m_thread([this] { Run(); }) {}

SpaceReclaimer::~SpaceReclaimer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void SpaceReclaimer::Nudge() {
    {
        std::lock_guard lock(m_mutex);
        m_nudged = true;
    }
    m_wake.notify_all();
}

bool SpaceReclaimer::Pause(int milliseconds) {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stopping; });
    return !m_stopping;
}

void SpaceReclaimer::Run() {
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, std::chrono::milliseconds(kLookEveryMilliseconds),
                            [this] { return m_stopping || m_nudged; });
            if (m_stopping) {
                return;
            }
            m_nudged = false;
        }
        try {
            // A connection of its own, only while there is work: most links never need one.
            Database db(m_path, false);
            ReclaimAll(db);
        } catch (const std::exception&) {
            // Nothing is lost: the pages stay free and are reused by new content; the next look
            // tries again.
        }
    }
}

void SpaceReclaimer::ReclaimAll(Database& db) {
    bool reclaimed = false;
    while (Step(db)) {
        reclaimed = true;
        if (!Pause(kPauseBetweenStepsMilliseconds)) {
            return;
        }
    }
    if (reclaimed) {
        // In WAL mode the file itself shrinks when a checkpoint copies the last step into it.
        db.Execute("PRAGMA wal_checkpoint(PASSIVE)");
    }
}

bool SpaceReclaimer::Step(Database& db) {
    if (FreePages(db) == 0) {
        return false;
    }
    Transaction transaction(db, Transaction::Kind::Write);
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
