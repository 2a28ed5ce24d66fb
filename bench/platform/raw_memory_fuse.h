#pragma once

// The ceiling: a minimal in-memory file system written directly on libfuse's low-level API, with
// the same kernel settings as the driver layer (timeouts, transfer sizes, readdirplus, no kept
// page cache, the same worker threads) but nothing between the kernel and the data.

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace kelvo_bench {

class RawMemoryFuse {
public:
    explicit RawMemoryFuse(unsigned threadCount);
    ~RawMemoryFuse();
    RawMemoryFuse(const RawMemoryFuse&) = delete;
    RawMemoryFuse& operator=(const RawMemoryFuse&) = delete;

    // Fill before mounting; paths are relative, with "/".
    void AddFolder(const std::string& path);
    void AddFile(const std::string& path, const std::string& content);

    bool Mount(const std::filesystem::path& folder);
    void Unmount();

    struct State;

private:
    std::unique_ptr<State> m_state;
    std::thread m_loop;
    std::filesystem::path m_folder;
};

}  // namespace kelvo_bench
