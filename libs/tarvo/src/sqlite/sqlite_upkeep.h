#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

namespace tarvo::detail::sqlite {

class Database;

// The database's upkeep, done in the background so that no operation of a caller pays for it:
//  - checkpoints: the connections of the repository do not copy the write-ahead log into the
//    database file themselves (a commit that did would wait for that copy and two syncs); they
//    report how long the log has grown (OnCommit), and the upkeep copies it when it is long;
//  - giving the pages of deleted content back to the file system, a few at a time (incremental
//    vacuum): each step is one short write transaction, sized so that it keeps other writers
//    waiting for no more than a few tens of milliseconds, with a pause after it. Free pages are
//    reused by new content anyway; this makes the file shrink as well.
class Upkeep {
public:
    explicit Upkeep(std::string path);
    ~Upkeep();
    Upkeep(const Upkeep&) = delete;
    Upkeep& operator=(const Upkeep&) = delete;

    // Makes `db` leave its checkpoints to this upkeep. The upkeep must outlive the connection's
    // last commit.
    void Attach(Database& db);
    // Content was deleted: look for free pages soon.
    void Nudge();

private:
    static int OnCommit(void* upkeep, ::sqlite3* db, const char* name, int frames);
    void Run();
    void Work(Database& db);
    void ReclaimAll(Database& db);
    // One step; false when no free page is left.
    bool Step(Database& db);
    // Waits for `milliseconds` or until stopped; false when stopped.
    bool Pause(int milliseconds);

    const std::string m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_nudged = false;
    bool m_logLong = false;
    bool m_stopping = false;
    int m_pagesPerStep;
    std::thread m_thread;  // last: starts once everything above is ready
};

}  // namespace tarvo::detail::sqlite
