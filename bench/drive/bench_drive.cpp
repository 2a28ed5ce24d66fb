// The drive through a real mount of a local repository, beside the ceiling of what FUSE allows here
// (a minimal in-memory file system written directly on libfuse) and tmpfs, all in the same run.
// Prints the figures and how they compare with their targets; asserts nothing.
//
// Usage: bench_drive [rounds] [history]   (default 3 rounds; the best figure of each workload
// counts; "history" measures only the version history's listing beside a plain folder's)

#include "raw_memory_fuse.h"

#include <FSDriver.h>
#include <dokan/dokan.h>
#include <win_compat/windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLargeSize = 256u << 20;
constexpr std::size_t kGiantSize = std::size_t(1) << 30;   // first byte
constexpr std::size_t kMemorySize = std::size_t(4) << 30;  // resident memory while writing it
constexpr std::size_t kBlock = 1u << 20;
constexpr std::size_t kUploadSize = std::size_t{1} << 30;
constexpr int kListedDocuments = 10'000;
constexpr int kSmallFiles = 1'000;
constexpr int kHistoryVersions = 1'000;
constexpr std::size_t kSmallFileSize = 100;
constexpr wchar_t kMountPoint[] = L"B:\\";
constexpr long kTmpfsMagic = 0x01021994;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void Fail(const std::string& what) {
    std::cerr << "bench_drive: " << what << ": " << std::strerror(errno) << "\n";
    std::exit(1);
}

unsigned Threads() {
    return std::max(2u, std::thread::hardware_concurrency());
}

// --- Workloads on any folder ---------------------------------------------------------------------

// Reads the whole file in 1 MiB blocks; seconds from open to close.
double ReadWhole(const fs::path& path) {
    std::vector<char> buffer(kBlock);
    const auto start = Clock::now();
    const int descriptor = ::open(path.c_str(), O_RDONLY);
    if (descriptor < 0) {
        Fail("open " + path.string());
    }
    std::size_t total = 0;
    for (ssize_t count; (count = ::read(descriptor, buffer.data(), buffer.size())) != 0;) {
        if (count < 0) {
            Fail("read " + path.string());
        }
        total += static_cast<std::size_t>(count);
    }
    ::close(descriptor);
    const double seconds = Seconds(start);
    if (total != kLargeSize) {
        std::cerr << "bench_drive: read " << total << " bytes of " << path << "\n";
        std::exit(1);
    }
    return seconds;
}

// Reads the whole file while another handle holds it open (and, on the drive, its content).
double ReadWhileHeld(const fs::path& path) {
    const int holder = ::open(path.c_str(), O_RDONLY);
    char byte = 0;
    if (holder < 0 || ::read(holder, &byte, 1) != 1) {
        Fail("open and read " + path.string());
    }
    const double seconds = ReadWhole(path);
    ::close(holder);
    return seconds;
}

// Writes 256 MiB in 1 MiB blocks; seconds from open to the end of close (upload included).
double WriteAndClose(const fs::path& path) {
    const std::vector<char> buffer(kBlock, 'w');
    const auto start = Clock::now();
    const int descriptor = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (descriptor < 0) {
        Fail("open " + path.string());
    }
    for (std::size_t written = 0; written < kLargeSize; written += kBlock) {
        if (::write(descriptor, buffer.data(), kBlock) != static_cast<ssize_t>(kBlock)) {
            Fail("write " + path.string());
        }
    }
    if (::close(descriptor) != 0) {
        Fail("close " + path.string());
    }
    return Seconds(start);
}

// Milliseconds from open to the first byte read.
double FirstByte(const fs::path& path) {
    const auto start = Clock::now();
    const int descriptor = ::open(path.c_str(), O_RDONLY);
    char byte = 0;
    if (descriptor < 0 || ::read(descriptor, &byte, 1) != 1) {
        Fail("first byte of " + path.string());
    }
    const double milliseconds = 1000 * Seconds(start);
    ::close(descriptor);
    return milliseconds;
}

// A figure of this process's memory from /proc/self/status, in MiB.
double MemoryFigure(const char* name) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    double kibibytes = -1;
    while (status && std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, name, std::strlen(name)) == 0) {
            kibibytes = std::atof(line + std::strlen(name) + 1);
        }
    }
    if (status) {
        std::fclose(status);
    }
    return kibibytes / 1024;
}

// Peak resident memory (MiB) of the whole process, drive included, while a document of
// kMemorySize is written through the mount, closed (uploaded) and read back.
double PeakWhileWritingAndReading(const fs::path& path) {
    std::FILE* reset = std::fopen("/proc/self/clear_refs", "w");
    if (!reset || std::fputs("5", reset) < 0 || std::fclose(reset) != 0) {
        Fail("resetting the peak resident memory");
    }
    const std::vector<char> block(kBlock, 'g');
    const int writer = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (writer < 0) {
        Fail("open " + path.string());
    }
    for (std::size_t written = 0; written < kMemorySize; written += kBlock) {
        if (::write(writer, block.data(), kBlock) != static_cast<ssize_t>(kBlock)) {
            Fail("write " + path.string());
        }
    }
    if (::close(writer) != 0) {
        Fail("close " + path.string());
    }
    std::vector<char> buffer(kBlock);
    const int reader = ::open(path.c_str(), O_RDONLY);
    std::size_t total = 0;
    for (ssize_t count; reader >= 0 && (count = ::read(reader, buffer.data(), kBlock)) > 0;) {
        total += static_cast<std::size_t>(count);
    }
    ::close(reader);
    if (total != kMemorySize) {
        Fail("reading back " + path.string());
    }
    return MemoryFigure("VmHWM:");
}

double ListLong(const fs::path& folder) {
    // Entries and attributes stay in the kernel's cache for a second: start cold every time.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const std::string command = "ls -l '" + folder.string() + "' > /dev/null";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        Fail("ls -l " + folder.string());
    }
    return Seconds(start);
}

double CreateSmallFiles(const fs::path& folder) {
    const std::string content(kSmallFileSize, 's');
    if (::mkdir(folder.c_str(), 0755) != 0) {
        Fail("mkdir " + folder.string());
    }
    const auto start = Clock::now();
    for (int index = 0; index < kSmallFiles; ++index) {
        const fs::path path = folder / ("small" + std::to_string(index) + ".txt");
        const int descriptor = ::open(path.c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
        if (descriptor < 0 ||
            ::write(descriptor, content.data(), content.size()) !=
                static_cast<ssize_t>(content.size()) ||
            ::close(descriptor) != 0) {
            Fail("create " + path.string());
        }
    }
    return Seconds(start);
}

// Writes 1 GiB and closes it while another thread stats and touches another file of the same
// folder in a loop; the longest of those waits, in seconds.
double LongestWaitDuringUpload(const fs::path& folder) {
    const fs::path probe = folder / "probe.txt";
    std::fclose(std::fopen(probe.c_str(), "w"));
    std::atomic<bool> uploading{true};
    double longest = 0;
    std::thread prober([&] {
        while (uploading) {
            const auto start = Clock::now();
            struct stat status {};
            if (::stat(probe.c_str(), &status) != 0 ||
                ::utimensat(AT_FDCWD, probe.c_str(), nullptr, 0) != 0) {
                Fail("stat and touch " + probe.string());
            }
            longest = std::max(longest, Seconds(start));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const std::vector<char> buffer(kBlock, 'u');
    const int descriptor =
        ::open((folder / "upload.bin").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    for (std::size_t written = 0; descriptor >= 0 && written < kUploadSize; written += kBlock) {
        if (::write(descriptor, buffer.data(), kBlock) != static_cast<ssize_t>(kBlock)) {
            Fail("write " + (folder / "upload.bin").string());
        }
    }
    if (descriptor < 0 || ::close(descriptor) != 0) {
        Fail("write and close " + (folder / "upload.bin").string());
    }
    uploading = false;
    prober.join();
    return longest;
}

// The local repository's file before and after the 1 GiB document is deleted through the drive,
// in MiB, and the seconds the file took to give back 90 % of it (-1: not within a minute).
struct SpaceFigures {
    double before = 0;
    double after = 0;
    double seconds = -1;
};

SpaceFigures SpaceGivenBack(const fs::path& document, const fs::path& repositoryFile) {
    constexpr double kPatienceSeconds = 60;
    const auto written = Clock::now();
    // The content reaches the file from the write-ahead log in the background.
    while (fs::file_size(repositoryFile) < kUploadSize && Seconds(written) < kPatienceSeconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    SpaceFigures figures;
    const std::uintmax_t before = fs::file_size(repositoryFile);
    figures.before = before / 1048576.0;
    const std::uintmax_t goal = before - std::min<std::uintmax_t>(before, kUploadSize * 9 / 10);
    const auto start = Clock::now();
    if (::unlink(document.c_str()) != 0) {
        Fail("unlink " + document.string());
    }
    while (Seconds(start) < kPatienceSeconds) {
        if (fs::file_size(repositoryFile) <= goal) {
            figures.seconds = Seconds(start);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    figures.after = fs::file_size(repositoryFile) / 1048576.0;
    return figures;
}

// --- The drive and its repository ----------------------------------------------------------------

class Drive {
public:
    explicit Drive(std::shared_ptr<tarvo::ICore> core) : m_core(std::move(core)) {
        m_store =
            m_core->Connect(tarvo::endpoint::Local{}, tarvo::auth::Current{})->OpenItemStore();
    }
    ~Drive() { unmount(); }

    void mount() {
        m_drive = std::make_shared<KelvoFileSystem>(m_core);
        auto mounted = std::make_shared<std::promise<void>>();
        m_drive->onMounted = [mounted] { mounted->set_value(); };
        tarvo_cm::Connection connection;
        connection.endpoint = tarvo::endpoint::Local{};
        connection.credentials = tarvo::auth::Current{};
        m_thread = std::thread(RunDriveThread, m_drive, connection, kMountPoint, L"");
        if (mounted->get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            Fail("mounting the drive");
        }
        m_root = win_compat::MountPointFolder(kMountPoint);
    }

    void unmount() {
        if (m_thread.joinable()) {
            DokanRemoveMountPoint(kMountPoint);
            m_thread.join();
        }
    }

    const fs::path& root() const { return m_root; }
    tarvo::IItemStore& store() { return *m_store; }

    tarvo::IdPath folder(const std::wstring& name) {
        const tarvo::IdPath root = m_store->ResolvePath({L""});
        m_store->CreateFolders(root, {name});
        return m_store->ResolvePath({L"", name});
    }

    // Writes a document straight through the core; seconds of the write and commit.
    double writeDocument(const tarvo::IdPath& parent, const std::wstring& name, std::size_t size) {
        tarvo::FileCreateInfo info;
        info.id = tarvo::GenerateUuid();
        info.name = name;
        const auto start = Clock::now();
        const auto document = m_store->CreateDocument(parent, info, L"");
        if (size != 0) {
            const auto writer = document->CreateBlob(tarvo::GenerateUuid());
            const std::size_t chunk = writer->GetChunkSize();
            const auto buffer = tarvo::CreateBuffer(chunk);
            std::memset(buffer->GetData(), 'c', chunk);
            for (std::size_t written = 0; written < size; written += chunk) {
                buffer->SetSize(std::min(chunk, size - written));
                writer->Write(buffer);
            }
            writer->Close();
        }
        document->Close(true);
        return Seconds(start);
    }

    // A new version of the document at the id path, with a content of a few bytes.
    void commitVersion(const tarvo::IdPath& document, const std::string& content) {
        const auto version = m_store->BeginVersion(document, L"");
        const auto writer = version->CreateBlob(tarvo::GenerateUuid());
        const auto buffer = tarvo::CreateBuffer(content.size());
        std::memcpy(buffer->GetData(), content.data(), content.size());
        writer->Write(buffer);
        writer->Close();
        version->Close(true);
    }

private:
    std::shared_ptr<tarvo::ICore> m_core;
    std::shared_ptr<tarvo::IItemStore> m_store;
    std::shared_ptr<KelvoFileSystem> m_drive;
    std::thread m_thread;
    fs::path m_root;
};

// --- Figures -------------------------------------------------------------------------------------

struct Figure {
    double best = -1;
    void add(double value, bool biggerIsBetter) {
        if (best < 0 || (biggerIsBetter ? value > best : value < best)) {
            best = value;
        }
    }
};

double MegabytesPerSecond(double seconds) {
    return kLargeSize / seconds / 1e6;
}

void PrintRow(const char* name, const char* unit, const Figure& drive, const Figure& ceiling,
              const Figure& tmpfs) {
    std::printf("%-46s %10.1f %10.1f %10.1f  %s\n", name, drive.best, ceiling.best, tmpfs.best,
                unit);
}

void PrintTarget(const char* what, double ratio, double target) {
    std::printf("%-58s %6.1f %%   (target >= %.0f %%: %s)\n", what, 100 * ratio, 100 * target,
                ratio >= target ? "met" : "NOT met");
}

// The version history of a document with 1,000 versions listed with `ls -l`, beside a plain folder
// of 1,000 documents on the same drive. The drive must be mounted already.
void HistoryRows(Drive& drive, int rounds) {
    std::cerr << "bench_drive: preparing the history (" << kHistoryVersions << " versions)\n";
    const tarvo::IdPath root = drive.store().ResolvePath({L""});
    drive.writeDocument(root, L"history.txt", 0);
    const tarvo::IdPath document = drive.store().ResolvePath({L"", L"history.txt"});
    for (int version = 1; version < kHistoryVersions; ++version) {
        drive.commitVersion(document, "version " + std::to_string(version));
    }
    const tarvo::IdPath folder = drive.folder(L"thousand");
    for (int index = 0; index < kHistoryVersions; ++index) {
        drive.writeDocument(folder, L"document" + std::to_wstring(index) + L".txt", 0);
    }
    Figure history;
    Figure plain;
    for (int round = 0; round < rounds; ++round) {
        history.add(1000 * ListLong(drive.root() / ".versions" / "history.txt"), false);
        plain.add(1000 * ListLong(drive.root() / "thousand"), false);
    }
    std::printf("%-58s %10.1f  ms\n", "ls -l of .versions of a document with 1,000 versions",
                history.best);
    std::printf("%-58s %10.1f  ms\n", "ls -l of a folder of 1,000 documents", plain.best);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const bool historyOnly = argc > 2 && std::string(argv[2]) == "history";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::cerr << "bench_drive: FUSE is not usable here (/dev/fuse); nothing measured\n";
        return 0;
    }
    char baseTemplate[] = "/tmp/kelvo-bench-drive-XXXXXX";
    if (::mkdtemp(baseTemplate) == nullptr) {
        Fail("creating the temporary folder");
    }
    const fs::path base = baseTemplate;
    ::setenv("KELVO_DATA_DIR", (base / "data").c_str(), 1);
    ::setenv("KELVO_DRIVES_DIR", (base / "drives").c_str(), 1);

    // tmpfs: /dev/shm where it is one, else a folder of our own on the temporary folder.
    fs::path tmpfs = "/dev/shm";
    struct statfs information {};
    if (::statfs(tmpfs.c_str(), &information) != 0 || information.f_type != kTmpfsMagic) {
        tmpfs = base;
        std::cerr << "bench_drive: /dev/shm is no tmpfs; the tmpfs column is " << base.string()
                  << "\n";
    }
    char tmpfsTemplate[] = "kelvo-bench-drive-XXXXXX";
    const fs::path tmpfsBase = tmpfs / tmpfsTemplate;
    std::string tmpfsPath = tmpfsBase.string();
    if (::mkdtemp(tmpfsPath.data()) == nullptr) {
        Fail("creating the tmpfs folder");
    }
    const fs::path tmpfsRoot = tmpfsPath;

    if (historyOnly) {
        Drive drive(tarvo::CreateCore());
        drive.mount();
        std::printf("\nbench_drive: best of %d rounds\n\n", rounds);
        HistoryRows(drive, rounds);
        drive.unmount();
        std::error_code error;
        fs::remove_all(tmpfsRoot, error);
        fs::remove_all(base, error);
        return 0;
    }
    std::cerr << "bench_drive: preparing (" << rounds << " rounds, " << Threads()
              << " FUSE worker threads)\n";
    // The repository: the large document (its write is the core's own write rate) and the
    // folder of 10,000 documents.
    Drive drive(tarvo::CreateCore());
    Figure coreWrite;
    const tarvo::IdPath root = drive.store().ResolvePath({L""});
    coreWrite.add(MegabytesPerSecond(drive.writeDocument(root, L"large.bin", kLargeSize)), true);
    const tarvo::IdPath many = drive.folder(L"many");
    for (int index = 0; index < kListedDocuments; ++index) {
        drive.writeDocument(many, L"document" + std::to_wstring(index) + L".txt", 0);
    }
    drive.writeDocument(root, L"giant.bin", kGiantSize);
    drive.mount();

    // Memory first, before the ceiling holds its content in this process's memory.
    std::cerr << "bench_drive: writing and reading " << (kMemorySize >> 30)
              << " GiB through the drive\n";
    const double residentBefore = MemoryFigure("VmRSS:");
    const double peakResident = PeakWhileWritingAndReading(drive.root() / "memory.bin");
    ::unlink((drive.root() / "memory.bin").c_str());
    Figure firstByte;
    for (int round = 0; round < rounds; ++round) {
        firstByte.add(FirstByte(drive.root() / "giant.bin"), false);
    }

    // The ceiling, filled alike.
    kelvo_bench::RawMemoryFuse ceiling(Threads());
    ceiling.AddFile("large.bin", std::string(kLargeSize, 'c'));
    ceiling.AddFolder("many");
    for (int index = 0; index < kListedDocuments; ++index) {
        ceiling.AddFile("many/document" + std::to_string(index) + ".txt", "");
    }
    const fs::path ceilingRoot = base / "ceiling";
    fs::create_directories(ceilingRoot);
    if (!ceiling.Mount(ceilingRoot)) {
        Fail("mounting the ceiling file system");
    }

    // tmpfs, filled alike.
    {
        const std::vector<char> block(kBlock, 'c');
        std::FILE* large = std::fopen((tmpfsRoot / "large.bin").c_str(), "wb");
        for (std::size_t written = 0; written < kLargeSize; written += kBlock) {
            std::fwrite(block.data(), 1, block.size(), large);
        }
        std::fclose(large);
        fs::create_directories(tmpfsRoot / "many");
        for (int index = 0; index < kListedDocuments; ++index) {
            std::fclose(std::fopen(
                (tmpfsRoot / "many" / ("document" + std::to_string(index) + ".txt")).c_str(), "w"));
        }
    }

    const fs::path roots[3] = {drive.root(), ceilingRoot, tmpfsRoot};
    Figure firstRead[3], sharedRead[3], writeClose[3], listing[3], creation[3];
    for (int round = 0; round < rounds; ++round) {
        std::cerr << "bench_drive: round " << round + 1 << "\n";
        for (int way = 0; way < 3; ++way) {
            const fs::path& where = roots[way];
            firstRead[way].add(MegabytesPerSecond(ReadWhole(where / "large.bin")), true);
            sharedRead[way].add(MegabytesPerSecond(ReadWhileHeld(where / "large.bin")), true);
            const fs::path written = where / ("written" + std::to_string(round) + ".bin");
            writeClose[way].add(MegabytesPerSecond(WriteAndClose(written)), true);
            ::unlink(written.c_str());
            listing[way].add(kListedDocuments / ListLong(where / "many"), true);
            creation[way].add(
                kSmallFiles / CreateSmallFiles(where / ("small" + std::to_string(round))), true);
        }
        // A fresh core write figure each round, beside the drive's own.
        coreWrite.add(MegabytesPerSecond(drive.writeDocument(
                          root, L"core" + std::to_wstring(round) + L".bin", kLargeSize)),
                      true);
    }

    std::printf("\nbench_drive: best of %d rounds; %u FUSE worker threads\n\n", rounds, Threads());
    std::printf("%-46s %10s %10s %10s\n", "workload", "drive", "ceiling", "tmpfs");
    PrintRow("first read of a 256 MiB document", "MB/s", firstRead[0], firstRead[1], firstRead[2]);
    PrintRow("second read while another handle holds it", "MB/s", sharedRead[0], sharedRead[1],
             sharedRead[2]);
    PrintRow("write 256 MiB and close (upload included)", "MB/s", writeClose[0], writeClose[1],
             writeClose[2]);
    PrintRow("ls -l of 10,000 documents", "entries/s", listing[0], listing[1], listing[2]);
    PrintRow("create 1,000 small files", "files/s", creation[0], creation[1], creation[2]);
    std::printf("%-46s %10.1f  MB/s\n\n", "the core's own SQLite write of 256 MiB", coreWrite.best);
    std::printf("%-46s %10.1f  ms    (target <= 50 ms: %s)\n", "first byte of a 1 GiB document",
                firstByte.best, firstByte.best <= 50 ? "met" : "NOT met");
    std::printf("%-46s %10.1f  MiB   (target < 256 MiB: %s; %.1f MiB before)\n",
                "peak resident writing+reading 4 GiB", peakResident,
                peakResident < 256 ? "met" : "NOT met", residentBefore);
    PrintTarget("first read / ceiling read", firstRead[0].best / firstRead[1].best, 0.40);
    PrintTarget("shared second read / ceiling read", sharedRead[0].best / firstRead[1].best, 0.90);
    PrintTarget("write-and-close / core's own write", writeClose[0].best / coreWrite.best, 0.80);
    PrintTarget("ls -l / ceiling ls -l", listing[0].best / listing[1].best, 0.50);
    PrintTarget("create small files / ceiling", creation[0].best / creation[1].best, 0.30);

    std::cerr << "bench_drive: a 1 GiB upload with stat and touch beside it\n";
    const double longestWait = LongestWaitDuringUpload(drive.root());
    std::printf("%-58s %6.1f ms   (target <= 50 ms: %s)\n",
                "longest stat+touch during a 1 GiB write and close", longestWait * 1000,
                longestWait <= 0.05 ? "met" : "NOT met");
    const SpaceFigures space =
        SpaceGivenBack(drive.root() / "upload.bin", base / "data" / "local_repository.sqlite");
    std::printf("%-58s %6.0f -> %.0f MiB", "repository file, 1 GiB document deleted", space.before,
                space.after);
    if (space.seconds >= 0) {
        std::printf(" in %.1f s   (target: 90 %% of 1 GiB within 60 s: met)\n", space.seconds);
    } else {
        std::printf("   (target: 90 %% of 1 GiB within 60 s: NOT met)\n");
    }
    std::printf("\n");
    HistoryRows(drive, rounds);

    ceiling.Unmount();
    drive.unmount();
    std::error_code error;
    fs::remove_all(tmpfsRoot, error);
    fs::remove_all(base, error);
    return 0;
}
