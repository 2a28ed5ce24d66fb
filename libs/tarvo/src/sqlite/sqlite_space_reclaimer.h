#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace tarvo::detail::sqlite {

class Database;

// Gives the pages of deleted content back to the file system, in the background and a few at a
// time (incremental vacuum): each step is one short write transaction, sized so that it keeps
// other writers waiting for no more than a few tens of milliseconds, with a pause after it. Free
// pages are reused by new content anyway; this makes the file shrink as well.
class SpaceReclaimer {
public:
    explicit SpaceReclaimer(std::string path);
    ~SpaceReclaimer();
    SpaceReclaimer(const SpaceReclaimer&) = delete;
    SpaceReclaimer& operator=(const SpaceReclaimer&) = delete;

    // Content was deleted: look for free pages soon.
    void Nudge();

private:
    void Run();
    void ReclaimAll(Database& db);
    // One step; false when no free page is left.
    bool Step(Database& db);
    // Waits for `milliseconds` or until stopped; false when stopped.
    bool Pause(int milliseconds);

    const std::string m_path;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_nudged = false;
    bool m_stopping = false;
    int m_pagesPerStep;
    std::thread m_thread;  // last: starts once everything above is ready
};

}  // namespace tarvo::detail::sqlite
