// The driver layer against the ceiling of what FUSE allows on this machine: each workload runs on
// tmpfs, on a minimal in-memory file system written directly on libfuse, and on the driver layer
// over the in-memory test file system. Prints the figures and the ratios; asserts nothing.
//
// Usage: bench_platform [rounds [workload]]   (default 5 rounds, the best figure of each counts;
// a workload number 1-6 runs that row only). KELVO_BENCH_VERBOSE=1 prints every sample. Under a
// busy machine the figures scatter widely; more rounds (and a higher priority: nice -n -15) give
// steadier ones.

#include "memory_file_system.h"
#include "mounted_drive.h"
#include "raw_memory_fuse.h"

#include <win_compat/windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kLargeFileSize = 256u << 20;
constexpr int kListedEntries = 10'000;
constexpr int kSmallFiles = 1'000;
constexpr std::size_t kSmallFileSize = 4096;
// Cold-cache samples of the listing and the small files per round: each sample uses a folder of
// its own that the kernel has not seen yet in this mount.
constexpr int kColdSamples = 4;

enum class Way { Tmpfs, RawFuse, Layer };
const char* const kWayNames[] = {"tmpfs", "raw libfuse", "driver layer"};

struct Row {
    Row(std::string rowName, bool isThroughput)
        : name(std::move(rowName)), throughput(isThroughput) {}

    std::string name;
    bool throughput;                 // MB/s (bigger is better); otherwise milliseconds
    std::vector<double> samples[3];  // per way

    bool Measured() const { return !samples[0].empty(); }
    double Best(std::size_t way) const {
        const auto& values = samples[way];
        return throughput ? *std::max_element(values.begin(), values.end())
                          : *std::min_element(values.begin(), values.end());
    }
    double Median(std::size_t way) const {
        std::vector<double> values = samples[way];
        std::sort(values.begin(), values.end());
        const std::size_t middle = values.size() / 2;
        return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    }
};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void Fail(const std::string& what) {
    std::cerr << "bench_platform: " << what << ": " << std::strerror(errno) << "\n";
    std::exit(1);
}

// Writes the large file in blocks of `block` bytes; seconds, close() included.
double WriteLargeFile(const std::string& path, std::size_t block) {
    std::vector<char> buffer(block, 'k');
    const auto start = Clock::now();
    const int descriptor = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (descriptor < 0) {
        Fail("open " + path);
    }
    for (std::size_t written = 0; written < kLargeFileSize; written += block) {
        if (::write(descriptor, buffer.data(), block) != static_cast<ssize_t>(block)) {
            Fail("write " + path);
        }
    }
    if (::close(descriptor) != 0) {
        Fail("close " + path);
    }
    return Seconds(start);
}

double ReadLargeFile(const std::string& path, std::size_t block) {
    std::vector<char> buffer(block);
    const auto start = Clock::now();
    const int descriptor = ::open(path.c_str(), O_RDONLY);
    if (descriptor < 0) {
        Fail("open " + path);
    }
    std::size_t total = 0;
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer.data(), block);
        if (count < 0) {
            Fail("read " + path);
        }
        if (count == 0) {
            break;
        }
        total += static_cast<std::size_t>(count);
    }
    ::close(descriptor);
    if (total != kLargeFileSize) {
        std::cerr << "bench_platform: read " << total << " bytes of " << path << "\n";
        std::exit(1);
    }
    return Seconds(start);
}

double ListFolder(const std::string& folder) {
    const std::string command = "ls -l '" + folder + "' > /dev/null";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        Fail("ls -l " + folder);
    }
    return Seconds(start);
}

double ReadSmallFiles(const std::string& folder) {
    char buffer[kSmallFileSize * 2];
    const auto start = Clock::now();
    for (int index = 0; index < kSmallFiles; ++index) {
        const std::string path = folder + "/file" + std::to_string(index);
        const int descriptor = ::open(path.c_str(), O_RDONLY);
        if (descriptor < 0) {
            Fail("open " + path);
        }
        if (::read(descriptor, buffer, sizeof buffer) != static_cast<ssize_t>(kSmallFileSize)) {
            Fail("read " + path);
        }
        ::close(descriptor);
    }
    return Seconds(start);
}

// One mounted (or plain) target, filled with the listing folder and the small files.
class Target {
public:
    Target(Way way, const std::filesystem::path& base) : m_way(way) {
        const std::string small(kSmallFileSize, 's');
        switch (way) {
            case Way::Tmpfs:
                m_root = base / "tmpfs";
                for (int sample = 0; sample < kColdSamples; ++sample) {
                    const auto listing = m_root / ("listing" + std::to_string(sample));
                    const auto smallFolder = m_root / ("small" + std::to_string(sample));
                    std::filesystem::create_directories(listing);
                    std::filesystem::create_directories(smallFolder);
                    for (int index = 0; index < kListedEntries; ++index) {
                        std::FILE* file =
                            std::fopen((listing / ("entry" + std::to_string(index))).c_str(), "w");
                        std::fputs("x", file);
                        std::fclose(file);
                    }
                    for (int index = 0; index < kSmallFiles; ++index) {
                        std::FILE* file = std::fopen(
                            (smallFolder / ("file" + std::to_string(index))).c_str(), "w");
                        std::fwrite(small.data(), 1, small.size(), file);
                        std::fclose(file);
                    }
                }
                break;
            case Way::RawFuse:
                m_raw = std::make_unique<kelvo_bench::RawMemoryFuse>(Threads());
                for (int sample = 0; sample < kColdSamples; ++sample) {
                    const std::string suffix = std::to_string(sample);
                    for (int index = 0; index < kListedEntries; ++index) {
                        m_raw->AddFile("listing" + suffix + "/entry" + std::to_string(index), "x");
                    }
                    for (int index = 0; index < kSmallFiles; ++index) {
                        m_raw->AddFile("small" + suffix + "/file" + std::to_string(index), small);
                    }
                }
                m_root = base / "raw";
                if (!m_raw->Mount(m_root)) {
                    Fail("mounting the raw libfuse file system");
                }
                break;
            case Way::Layer:
                m_memory = std::make_unique<kelvo_test::MemoryFileSystem>();
                for (int sample = 0; sample < kColdSamples; ++sample) {
                    const std::wstring listing = L"\\listing" + std::to_wstring(sample);
                    const std::wstring smallFolder = L"\\small" + std::to_wstring(sample);
                    m_memory->AddFolder(listing);
                    m_memory->AddFolder(smallFolder);
                    for (int index = 0; index < kListedEntries; ++index) {
                        m_memory->AddFile(listing + L"\\entry" + std::to_wstring(index), "x");
                    }
                    for (int index = 0; index < kSmallFiles; ++index) {
                        m_memory->AddFile(smallFolder + L"\\file" + std::to_wstring(index), small);
                    }
                }
                m_drive = std::make_unique<kelvo_test::MountedDrive>(
                    *m_memory, L"B:\\", static_cast<USHORT>(Threads()));
                if (!m_drive->IsMounted()) {
                    Fail("mounting through the driver layer");
                }
                m_root = m_drive->Folder();
                break;
        }
    }

    ~Target() {
        m_drive.reset();
        m_raw.reset();
        if (m_way == Way::Tmpfs) {
            std::error_code error;
            std::filesystem::remove_all(m_root, error);
        }
    }

    std::string Path(const std::string& relative) const { return (m_root / relative).string(); }

    static unsigned Threads() { return std::max(2u, std::thread::hardware_concurrency()); }

private:
    Way m_way;
    std::filesystem::path m_root;
    std::unique_ptr<kelvo_bench::RawMemoryFuse> m_raw;
    std::unique_ptr<kelvo_test::MemoryFileSystem> m_memory;
    std::unique_ptr<kelvo_test::MountedDrive> m_drive;
};

void Record(Row& row, Way way, double seconds, double bytes) {
    const auto index = static_cast<std::size_t>(way);
    const double figure = row.throughput ? bytes / seconds / 1e6 : seconds * 1e3;
    if (std::getenv("KELVO_BENCH_VERBOSE") != nullptr) {
        std::cerr << "    " << row.name << " / " << kWayNames[index] << ": " << figure
                  << (row.throughput ? " MB/s\n" : " ms\n");
    }
    row.samples[index].push_back(figure);
}

// How the first figure compares with the second, as a fraction of it (1.0: as fast).
double Ratio(const Row& row, double first, double second) {
    return row.throughput ? first / second : second / first;
}

}  // namespace

int main(int argc, char** argv) {
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) {
        std::printf(
            "bench_platform: skipped, /dev/fuse cannot be opened for reading and writing\n");
        return 0;
    }
    ::close(fuse);
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int only = argc > 2 ? std::atoi(argv[2]) : 0;
    auto wanted = [only](std::size_t row) {
        return only == 0 || static_cast<std::size_t>(only) == row + 1;
    };
    char shmTemplate[] = "/dev/shm/kelvo-bench-XXXXXX";
    char tmpTemplate[] = "/tmp/kelvo-bench-XXXXXX";
    if (::mkdtemp(shmTemplate) == nullptr || ::mkdtemp(tmpTemplate) == nullptr) {
        Fail("creating the temporary folders");
    }
    const std::filesystem::path shmBase = shmTemplate;
    const std::filesystem::path tmpBase = tmpTemplate;
    ::setenv("KELVO_DRIVES_DIR", (tmpBase / "drives").c_str(), 1);

    std::vector<Row> rows = {
        {"sequential write 256 MiB, 1 MiB blocks", true},
        {"sequential read 256 MiB, 1 MiB blocks", true},
        {"sequential write 256 MiB, 4 KiB blocks", true},
        {"sequential read 256 MiB, 4 KiB blocks", true},
        {"ls -l of 10,000 entries", false},
        {"open+read+close of 1,000 4 KiB files", false},
    };
    std::cerr << "bench_platform: " << repetitions << " rounds, " << Target::Threads()
              << " FUSE worker threads\n";
    const std::vector<Way> ways = {Way::Tmpfs, Way::RawFuse, Way::Layer};
    for (int round = 0; round < repetitions; ++round) {
        // Fresh mounts every round: the listing and the small files start with cold caches.
        std::vector<std::unique_ptr<Target>> targets;
        for (const Way way : ways) {
            targets.push_back(std::make_unique<Target>(way, way == Way::Tmpfs ? shmBase : tmpBase));
        }
        // The three ways run each workload back to back, the FUSE ones in turns first, so that a
        // busy moment of the machine does not fall on one of them only.
        std::vector<Way> order = ways;
        if (round % 2 == 1) {
            std::swap(order[1], order[2]);
        }
        auto forEach = [&](const std::function<void(Way, const Target&)>& workload) {
            for (const Way way : order) {
                workload(way, *targets[static_cast<std::size_t>(way)]);
            }
        };
        for (int sample = 0; sample < kColdSamples; ++sample) {
            const std::string suffix = std::to_string(sample);
            if (wanted(4)) {
                forEach([&](Way way, const Target& target) {
                    Record(rows[4], way, ListFolder(target.Path("listing" + suffix)), 0);
                });
            }
            if (wanted(5)) {
                forEach([&](Way way, const Target& target) {
                    Record(rows[5], way, ReadSmallFiles(target.Path("small" + suffix)), 0);
                });
            }
        }
        const struct {
            std::size_t write;
            std::size_t read;
            std::size_t block;
        } large[] = {{0, 1, 1u << 20}, {2, 3, 4096}};
        for (const auto& sizes : large) {
            if (!wanted(sizes.write) && !wanted(sizes.read)) {
                continue;
            }
            forEach([&](Way way, const Target& target) {
                Record(rows[sizes.write], way,
                       WriteLargeFile(target.Path("large.bin"), sizes.block), kLargeFileSize);
            });
            if (!wanted(sizes.read)) {
                continue;
            }
            forEach([&](Way way, const Target& target) {
                Record(rows[sizes.read], way, ReadLargeFile(target.Path("large.bin"), sizes.block),
                       kLargeFileSize);
            });
        }
        std::cerr << "  round " << round + 1 << " of " << repetitions << " done\n";
    }
    std::error_code error;
    std::filesystem::remove_all(shmBase, error);
    std::filesystem::remove_all(tmpBase, error);

    std::printf("%-40s %12s %12s %12s %10s %10s %10s\n", "workload (best figure)", "tmpfs",
                "raw libfuse", "layer", "layer/raw", "(median)", "raw/tmpfs");
    constexpr auto kTmpfs = static_cast<std::size_t>(Way::Tmpfs);
    constexpr auto kRaw = static_cast<std::size_t>(Way::RawFuse);
    constexpr auto kLayer = static_cast<std::size_t>(Way::Layer);
    for (const Row& row : rows) {
        if (!row.Measured()) {
            continue;
        }
        const char* unit = row.throughput ? "MB/s" : "ms";
        char figures[3][32];
        for (std::size_t way = 0; way < 3; ++way) {
            std::snprintf(figures[way], sizeof figures[way], "%.1f %s", row.Best(way), unit);
        }
        std::printf("%-40s %12s %12s %12s %9.0f%% %9.0f%% %9.0f%%\n", row.name.c_str(), figures[0],
                    figures[1], figures[2], 100 * Ratio(row, row.Best(kLayer), row.Best(kRaw)),
                    100 * Ratio(row, row.Median(kLayer), row.Median(kRaw)),
                    100 * Ratio(row, row.Best(kRaw), row.Best(kTmpfs)));
    }
    std::printf("target: layer/raw >= 90%% on every row\n");
    return 0;
}
