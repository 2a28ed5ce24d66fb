#include "FSDriver.h"

#include "CacheFile.h"
#include "DriveOperations.h"
#include "DriveOperations_p.h"
#include "VersionHistory.h"

#include <dokan/dokan.h>
#include <win_compat/windows.h>

#include <algorithm>
#include <exception>
#include <string>
#include <thread>

using drive::EnsureConnected;

namespace {

constexpr ULONG kDokanTimeoutMilliseconds = 60000;
constexpr DWORD kMaximumComponentLength = 255;
constexpr DWORD kFileSystemFlags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                                   FILE_UNICODE_ON_DISK | FILE_SUPPORTS_REMOTE_STORAGE |
                                   FILE_SEQUENTIAL_WRITE_ONCE | FILE_SUPPORTS_EXTENDED_ATTRIBUTES;
constexpr wchar_t kFileSystemName[] = L"Kelvo storage";
constexpr wchar_t kNoLinkMessage[] = L"The drive has no link to the repository";

std::wstring WidenAscii(const char* text) {
    std::wstring wide;
    for (; text && *text; ++text) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(*text));
    }
    return wide;
}

// Copies as much of the text as fits into a buffer of `size` characters, terminator included.
void CopyCut(const std::wstring& text, LPWSTR buffer, DWORD size) {
    if (!buffer || size == 0) {
        return;
    }
    const std::size_t length = std::min<std::size_t>(text.size(), size - 1);
    std::copy_n(text.data(), length, buffer);
    buffer[length] = L'\0';
}

// The label the drive shows: the user's name for it, else the repository's own name. A drive
// without a working link shows an empty label rather than failing the question.
std::wstring VolumeLabel(KelvoFileSystem& drive) {
    if (std::wstring customName = drive.customName(); !customName.empty()) {
        return customName;
    }
    try {
        return drive::RequireRepository(drive)->GetRepositoryName();
    } catch (const exceptions::Error& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
    }
    return {};
}

NTSTATUS GetVolumeInformation(LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                              LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                              LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer,
                              DWORD fileSystemNameSize, PDOKAN_FILE_INFO fileInfo) {
    return drive::Guarded(L"GetVolumeInformation", STATUS_SUCCESS, [&] {
        CopyCut(VolumeLabel(drive::DriveOf(fileInfo)), volumeNameBuffer, volumeNameSize);
        if (volumeSerialNumber) {
            *volumeSerialNumber = 0;
        }
        if (maximumComponentLength) {
            *maximumComponentLength = kMaximumComponentLength;
        }
        if (fileSystemFlags) {
            *fileSystemFlags = kFileSystemFlags;
        }
        CopyCut(kFileSystemName, fileSystemNameBuffer, fileSystemNameSize);
        return STATUS_SUCCESS;
    });
}

// Why DokanMain refused, in the user's words.
std::wstring MountFailureReason(int result, const std::wstring& mountPoint) {
    const std::wstring folder = logging::PathText(win_compat::MountPointFolder(mountPoint));
    switch (result) {
        case DOKAN_MOUNT_POINT_ERROR:
            return L"Папка диска " + folder +
                   L" занята: в ней уже есть файлы или подключён другой диск. Освободите её и "
                   L"подключите снова.";
        case DOKAN_DRIVE_LETTER_ERROR:
            return L"У подключения неверная буква диска «" + mountPoint + L"».";
        case DOKAN_DRIVER_INSTALL_ERROR:
            return L"FUSE недоступен на этом компьютере: диск не может быть подключён.";
        default:
            return L"Система не подключила диск в папке " + folder + L" (код " +
                   std::to_wstring(result) + L"). Подробности в журнале программы.";
    }
}

NTSTATUS GetDiskFreeSpace(PULONGLONG, PULONGLONG, PULONGLONG, PDOKAN_FILE_INFO) {
    return STATUS_ACCESS_DENIED;
}

NTSTATUS SetFileAttributes(LPCWSTR, DWORD, PDOKAN_FILE_INFO) {
    return STATUS_SUCCESS;
}

NTSTATUS SetFileTime(LPCWSTR, const FILETIME*, const FILETIME*, const FILETIME*, PDOKAN_FILE_INFO) {
    return STATUS_SUCCESS;
}

NTSTATUS Notify(const wchar_t* operation, const wchar_t* what, PDOKAN_FILE_INFO fileInfo,
                std::function<void()> KelvoFileSystem::*callback) {
    return drive::Guarded(operation, STATUS_SUCCESS, [&] {
        const LPCWSTR mountPoint = fileInfo->DokanOptions->MountPoint;
        KELVO_DRIVE_LOG(logging::kInfo) << what << (mountPoint ? mountPoint : L"");
        const std::function<void()>& notify = drive::DriveOf(fileInfo).*callback;
        if (notify) {
            notify();
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS Mounted(PDOKAN_FILE_INFO fileInfo) {
    return Notify(L"Mounted", L"Successfully mounted: ", fileInfo, &KelvoFileSystem::onMounted);
}

NTSTATUS Unmounted(PDOKAN_FILE_INFO fileInfo) {
    return Notify(L"Unmounted", L"Successfully unmounted: ", fileInfo,
                  &KelvoFileSystem::onUnmounted);
}

}  // namespace

namespace drive {
namespace {

// Stands in for the item store of a drive that has no link: every call fails as on a lost link.
class DisconnectedItemStore final : public tarvo::IItemStore {
public:
    tarvo::IdPath ResolvePath(const tarvo::Names&) override { Fail(); }
    tarvo::IdPath GetItemPath(const tarvo::BrowserItemInfo&) override { Fail(); }
    tarvo::BrowserItemInfo GetItemInfo(const tarvo::IdPath&) override { Fail(); }
    std::shared_ptr<tarvo::IItemIterator> ListChildren(const tarvo::IdPath&) override { Fail(); }
    bool CanOpen(const tarvo::BrowserItemInfo&) override { Fail(); }
    void CreateFolders(const tarvo::IdPath&, const tarvo::Names&) override { Fail(); }
    void RenameItem(const tarvo::IdPath&, const std::wstring&) override { Fail(); }
    void MoveItem(const tarvo::IdPath&, const tarvo::IdPath&) override { Fail(); }
    void DeleteItem(const tarvo::IdPath&) override { Fail(); }
    std::shared_ptr<tarvo::IDocument> CreateDocument(const tarvo::IdPath&,
                                                     const tarvo::FileCreateInfo&,
                                                     const std::wstring&) override {
        Fail();
    }
    std::shared_ptr<tarvo::IDocument> OpenDocument(const tarvo::IdPath&,
                                                   std::optional<tarvo::VersionNumber>) override {
        Fail();
    }
    std::shared_ptr<tarvo::IDocument> BeginVersion(const tarvo::IdPath&,
                                                   const std::wstring&) override {
        Fail();
    }
    std::vector<tarvo::VersionNumber> ListVersions(const tarvo::IdPath&) override { Fail(); }
    tarvo::VersionNumber ReplaceDocument(const tarvo::IdPath&, const tarvo::IdPath&,
                                         const std::wstring&) override {
        Fail();
    }
    std::vector<tarvo::VersionInfo> ListVersionInfos(const tarvo::IdPath&) override { Fail(); }
    int LockForEdit(const tarvo::IdPath&, std::wstring&) override { Fail(); }
    void Unlock(const tarvo::IdPath&) override { Fail(); }
    void SetItemAccess(const tarvo::IdPath&, const tarvo::ItemAccess&) override { Fail(); }

private:
    [[noreturn]] static void Fail() {
        throw tarvo::TarvoError(tarvo::errc::NotConnected, kNoLinkMessage);
    }
};

}  // namespace

void Connect(KelvoFileSystem& drive) {
    if (!drive.core) {
        throw tarvo::TarvoError(tarvo::errc::NotConnected, L"No repository core is available");
    }
    auto repository = drive.core->Connect(drive.connection.endpoint, drive.connection.credentials);
    auto itemStore = repository->OpenItemStore();
    drive.repository.store(std::move(repository));
    drive.itemStore.store(std::move(itemStore));
}

std::shared_ptr<tarvo::IRepository> EnsureConnected(KelvoFileSystem& drive) {
    const std::shared_ptr<tarvo::IRepository> current = drive.repository.load();
    if (!current) {
        return nullptr;
    }
    try {
        current->GetRepositoryName();
        return current;
    } catch (const exceptions::Error& error) {
        KELVO_DRIVE_LOG(logging::kWarning) << error.GetMessage();
    }
    // The link broke: put a new one in its place, unless another worker already did or the
    // storage cleared it meanwhile.
    try {
        if (!drive.core) {
            throw tarvo::TarvoError(tarvo::errc::NotConnected, L"No repository core is available");
        }
        auto fresh = drive.core->Connect(drive.connection.endpoint, drive.connection.credentials);
        auto itemStore = fresh->OpenItemStore();
        if (drive.repository.compareExchange(current, fresh)) {
            drive.itemStore.store(std::move(itemStore));
            return fresh;
        }
        return drive.repository.load();
    } catch (const exceptions::Error& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        if (drive.repository.compareExchange(current, nullptr)) {
            drive.notify({DriveNotice::Kind::LinkLost, {}, error.GetMessage()});
        }
        return drive.repository.load();
    }
}

std::shared_ptr<tarvo::IItemStore> ItemStoreOf(KelvoFileSystem& drive) {
    auto itemStore = drive.itemStore.load();
    if (!itemStore || !drive.repository.load()) {
        static const auto disconnected = std::make_shared<DisconnectedItemStore>();
        return disconnected;
    }
    return itemStore;
}

std::shared_ptr<tarvo::IItemStore> ItemStoreForCleanup(KelvoFileSystem& drive) {
    if (auto itemStore = drive.itemStore.load()) {
        return itemStore;
    }
    return ItemStoreOf(drive);
}

std::shared_ptr<tarvo::IRepository> RequireRepository(KelvoFileSystem& drive) {
    auto repository = drive.repository.load();
    if (!repository) {
        throw tarvo::TarvoError(tarvo::errc::NotConnected, kNoLinkMessage);
    }
    return repository;
}

void LogUnexpected(const wchar_t* operation, const std::exception_ptr& error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (const exceptions::Error& libraryError) {
        try {
            KELVO_DRIVE_LOG(logging::kError) << operation << L": " << libraryError.GetMessage();
        } catch (...) {
        }
    } catch (const std::exception& standardError) {
        try {
            KELVO_DRIVE_LOG(logging::kError)
                << operation << L": unexpected error: " << WidenAscii(standardError.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            KELVO_DRIVE_LOG(logging::kError) << operation << L": unexpected error";
        } catch (...) {
        }
    }
}

}  // namespace drive

DOKAN_OPERATIONS DriveOperationsTable() {
    namespace op = drive::operations;
    DOKAN_OPERATIONS table{};
    table.ZwCreateFile = op::ZwCreateFile;
    table.Cleanup = op::Cleanup;
    table.CloseFile = op::CloseFile;
    table.ReadFile = op::ReadFile;
    table.WriteFile = op::WriteFile;
    table.FlushFileBuffers = op::FlushFileBuffers;
    table.GetFileInformation = op::GetFileInformation;
    table.FindFiles = op::FindFiles;
    table.FindFilesWithPattern = nullptr;
    table.SetFileAttributes = SetFileAttributes;
    table.SetFileTime = SetFileTime;
    table.DeleteFile = op::DeleteFile;
    table.DeleteDirectory = op::DeleteDirectory;
    table.MoveFile = op::MoveFile;
    table.SetEndOfFile = op::SetEndOfFile;
    table.SetAllocationSize = op::SetAllocationSize;
    table.LockFile = nullptr;
    table.UnlockFile = nullptr;
    table.GetDiskFreeSpace = GetDiskFreeSpace;
    table.GetVolumeInformation = GetVolumeInformation;
    table.Mounted = Mounted;
    table.Unmounted = Unmounted;
    table.GetFileSecurity = nullptr;
    table.SetFileSecurity = nullptr;
    table.FindStreams = nullptr;
    return drive::history::Around(table);
}

KelvoFileSystem::KelvoFileSystem(std::shared_ptr<tarvo::ICore> core_) : core(std::move(core_)) {}

void KelvoFileSystem::notify(const DriveNotice& notice) noexcept {
    try {
        if (onNotice) {
            onNotice(notice);
        }
    } catch (...) {
        drive::LogUnexpected(L"notify", std::current_exception());
    }
}

KelvoFileSystem::~KelvoFileSystem() {
    DokanRemoveMountPoint(mountPoint().c_str());
}

std::wstring KelvoFileSystem::mountPoint() const {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    return m_mountPoint;
}

void KelvoFileSystem::setMountPoint(std::wstring mountPoint) {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    m_mountPoint = std::move(mountPoint);
}

std::wstring KelvoFileSystem::customName() const {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    return m_customName;
}

void KelvoFileSystem::setCustomName(std::wstring customName) {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    m_customName = std::move(customName);
}

void KelvoFileSystem::unmount() {
    DokanRemoveMountPoint(mountPoint().c_str());
    repository.reset();
}

void KelvoFileSystem::run(const tarvo_cm::Connection& connection_, const std::wstring& mountPoint_,
                          const std::wstring& customName_) {
    if (mountPoint_.empty()) {
        return;
    }
    setMountPoint(mountPoint_);
    setCustomName(customName_);
    connection = connection_;
    try {
        drive::Connect(*this);
    } catch (const exceptions::Error& error) {
        KELVO_DRIVE_LOG(logging::kError) << error.GetMessage();
        notify({DriveNotice::Kind::MountFailed, {}, error.GetMessage()});
        return;
    }
    cache_folder::Sweep();

    DOKAN_OPTIONS options{};
    options.Version = DOKAN_VERSION;
    options.ThreadCount = static_cast<USHORT>(std::thread::hardware_concurrency());
    options.Options = DOKAN_OPTION_MOUNT_MANAGER;
    options.GlobalContext = reinterpret_cast<ULONG64>(this);
    // The storage may change the mount point while the drive is mounted; the driver keeps this
    // copy.
    const std::wstring mountedAt = mountPoint();
    options.MountPoint = mountedAt.c_str();
    options.UNCName = nullptr;
    options.Timeout = kDokanTimeoutMilliseconds;
    options.AllocationUnitSize = 0;
    options.SectorSize = 0;
    DOKAN_OPERATIONS operations = DriveOperationsTable();

    const int result = DokanMain(&options, &operations);
    if (result == DOKAN_SUCCESS) {
        KELVO_DRIVE_LOG(logging::kInfo) << L"DokanMain ended successfully\n";
    } else {
        KELVO_DRIVE_LOG(logging::kError) << L"DokanMain failed with code: " << result << L"\n";
        itemStore.reset();
        repository.reset();
        notify({DriveNotice::Kind::MountFailed, {}, MountFailureReason(result, mountedAt)});
    }
}

void RunDriveThread(std::shared_ptr<KelvoFileSystem> fileSystem, tarvo_cm::Connection connection,
                    std::wstring mountPoint, std::wstring customName) {
    try {
        fileSystem->run(connection, mountPoint, customName);
    } catch (...) {
        // Nothing may end the process from a drive thread.
        drive::LogUnexpected(L"run", std::current_exception());
    }
}
