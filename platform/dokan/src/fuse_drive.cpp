#include "fuse_drive.h"

#include "fuse_requests.h"

#include <platform_base/text_codec.h>
#include "../../common/drive_folder.h"
#include "../../common/unmount_guard.h"
#include "create_flags.h"
#include "file_time.h"
#include "nt_status_errno.h"

#include <logging/logging.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace kelvo_dokan {

// --- Lifecycle -----------------------------------------------------------------------------------

FuseDrive::FuseDrive(PDOKAN_OPTIONS options, const DOKAN_OPERATIONS& operations,
                     std::filesystem::path folder, std::wstring mountPointKey)
    : m_options(options),
      m_operations(operations),
      m_folder(std::move(folder)),
      m_mountPointKey(std::move(mountPointKey)),
      m_owner(::getuid()),
      m_group(::getgid()) {}

FuseDrive::~FuseDrive() {
    if (m_session != nullptr) {
        fuse_session_destroy(m_session);
    }
}

std::string FuseDrive::VolumeLabel() {
    if (m_operations.GetVolumeInformation == nullptr) {
        return {};
    }
    WCHAR volumeName[MAX_PATH + 1] = {};
    WCHAR fileSystemName[MAX_PATH + 1] = {};
    DWORD serialNumber = 0;
    DWORD maximumComponentLength = 0;
    DWORD fileSystemFlags = 0;
    DOKAN_FILE_INFO info{};
    info.DokanOptions = m_options;
    info.ProcessId = static_cast<ULONG>(::getpid());
    NTSTATUS status = STATUS_SUCCESS;
    try {
        status = m_operations.GetVolumeInformation(volumeName, MAX_PATH + 1, &serialNumber,
                                                   &maximumComponentLength, &fileSystemFlags,
                                                   fileSystemName, MAX_PATH + 1, &info);
    } catch (const std::exception& error) {
        KELVO_LOG(logging::kError) << L"GetVolumeInformation failed: " << error.what();
        return {};
    }
    if (status < 0) {
        KELVO_LOG(logging::kWarning)
            << L"GetVolumeInformation answered 0x" << std::hex << static_cast<DWORD>(status);
        return {};
    }
    volumeName[MAX_PATH] = L'\0';
    fileSystemName[MAX_PATH] = L'\0';
    if (maximumComponentLength != 0) {
        m_maximumComponentLength = maximumComponentLength;
    }
    m_fileSystemName = fileSystemName;
    return kelvo_platform::WideToUtf8Lossy(volumeName);
}

namespace {

std::set<int> OpenDescriptors() {
    std::set<int> descriptors;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        descriptors.insert(std::atoi(entry.path().filename().c_str()));
    }
    return descriptors;
}

// The mount helper's watchdog socket stays open in this process so that the helper notices when
// the process ends; programs this process starts must not inherit it, or the watchdog would wait
// for them too.
void KeepSocketsFromChildren(const std::set<int>& before) {
    for (const int descriptor : OpenDescriptors()) {
        struct stat status {};
        if (before.count(descriptor) != 0 || ::fstat(descriptor, &status) != 0 ||
            !S_ISSOCK(status.st_mode)) {
            continue;
        }
        const int flags = ::fcntl(descriptor, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
            ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}

}  // namespace

int FuseDrive::Mount() {
    std::string label = VolumeLabel();
    if (label.empty()) {
        label = "KelvoDrive";
    }
    // The option parser splits at commas and takes a backslash as an escape.
    std::string escapedLabel;
    for (const char character : label) {
        if (character == ',' || character == '\\') {
            escapedLabel.push_back('\\');
        }
        escapedLabel.push_back(character);
    }
    std::string mountOptions = "fsname=" + escapedLabel +
                               ",subtype=kelvo,default_permissions,auto_unmount,max_read=" +
                               std::to_string(kMaximumTransfer);
    if ((m_options->Options & DOKAN_OPTION_WRITE_PROTECT) != 0) {
        mountOptions += ",ro";
    }
    std::vector<std::string> arguments = {"kelvo", "-o", mountOptions};
    if ((m_options->Options & DOKAN_OPTION_DEBUG) != 0) {
        arguments.emplace_back("-d");
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    m_session = fuse_session_new(&args, &Callbacks::Table(), sizeof(fuse_lowlevel_ops), this);
    fuse_opt_free_args(&args);
    if (m_session == nullptr) {
        KELVO_LOG(logging::kError) << L"Cannot start a FUSE session for " << m_folder.c_str();
        return DOKAN_START_ERROR;
    }
    const std::set<int> descriptorsBefore = OpenDescriptors();
    const int mountResult = fuse_session_mount(m_session, m_folder.c_str());
    KeepSocketsFromChildren(descriptorsBefore);
    if (mountResult != 0) {
        KELVO_LOG(logging::kError) << L"Cannot mount " << m_folder.c_str();
        fuse_session_destroy(m_session);
        m_session = nullptr;
        return DOKAN_MOUNT_ERROR;
    }
    m_crashGuard = std::make_unique<kelvo_platform::UnmountGuard>(m_folder);
    KELVO_LOG(logging::kInfo) << L"Mounted " << m_mountPointKey << L" on " << m_folder.c_str()
                              << L" (fuse.kelvo, \"" << kelvo_platform::Utf8ToWideLossy(label)
                              << L"\", " << m_fileSystemName << L")";
    return DOKAN_SUCCESS;
}

void FuseDrive::Serve() {
    fuse_loop_config* config = fuse_loop_cfg_create();
    unsigned threads = m_options->ThreadCount;
    if (threads == 0) {
        threads = std::max(2u, std::thread::hardware_concurrency());
    }
    fuse_loop_cfg_set_clone_fd(config, 1);
    fuse_loop_cfg_set_max_threads(config, threads);
    fuse_loop_cfg_set_idle_threads(config, threads);
    const int result = fuse_session_loop_mt(m_session, config);
    fuse_loop_cfg_destroy(config);
    if (result != 0 && !m_removalRequested.load()) {
        KELVO_LOG(logging::kWarning)
            << L"The FUSE loop of " << m_folder.c_str() << L" ended with " << result;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_loopEnded = true;
    }
    m_stateChanged.notify_all();
}

void FuseDrive::CallNotification(NTSTATUS (*notification)(PDOKAN_FILE_INFO), const char* name) {
    if (notification == nullptr) {
        return;
    }
    DOKAN_FILE_INFO info{};
    info.DokanOptions = m_options;
    info.ProcessId = static_cast<ULONG>(::getpid());
    try {
        notification(&info);
    } catch (const std::exception& error) {
        KELVO_LOG(logging::kError) << name << L" failed: " << error.what();
    } catch (...) {
        KELVO_LOG(logging::kError) << name << L" failed";
    }
}

int FuseDrive::Run() {
    if (m_removalRequested.load()) {
        m_finished = true;  // removed before it was ever mounted
        return DOKAN_SUCCESS;
    }
    const int mountResult = Mount();
    if (mountResult != DOKAN_SUCCESS) {
        m_finished = true;
        return mountResult;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        m_mounted = true;
    }
    std::thread loop([this] { Serve(); });
    if (m_removalRequested.load()) {
        DetachAndStop();  // asked for while the mount was being made
    }
    bool initialized = false;
    {
        std::unique_lock<std::mutex> lock(m_stateMutex);
        m_stateChanged.wait(lock, [this] { return m_initialized || m_loopEnded; });
        initialized = m_initialized;
    }
    if (initialized) {
        CallNotification(m_operations.Mounted, "Mounted");
    }
    loop.join();
    {
        // A removal on another thread may still be detaching and using the session.
        std::unique_lock<std::mutex> lock(m_stateMutex);
        m_stateChanged.wait(lock, [this] { return m_removalsInProgress == 0; });
    }
    ReleaseLeftoverHandles();
    if (!m_detached.load()) {
        fuse_session_unmount(m_session);
    }
    fuse_session_destroy(m_session);
    m_session = nullptr;
    m_crashGuard.reset();
    KELVO_LOG(logging::kInfo) << L"Unmounted " << m_mountPointKey << L" from " << m_folder.c_str();
    if (initialized) {
        CallNotification(m_operations.Unmounted, "Unmounted");
    }
    m_finished = true;
    return DOKAN_SUCCESS;
}

void FuseDrive::RequestRemoval() {
    if (m_removalRequested.exchange(true)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (!m_mounted || m_loopEnded) {
            return;  // Run() looks at the request once the mount exists
        }
    }
    if (t_servingDrive == this) {
        std::thread([self = shared_from_this()] { self->DetachAndStop(); }).detach();
        return;
    }
    DetachAndStop();
}

void FuseDrive::DetachAndStop() {
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (m_loopEnded) {
            return;
        }
        ++m_removalsInProgress;
    }
    // A handle on the mount's root taken before the detach: through it one request still reaches
    // the loop afterwards and wakes a worker, which then sees that the session is to end.
    const int root = ::open(m_folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const bool detached = kelvo_platform::DetachMount(m_folder);
    {
        std::lock_guard<std::mutex> lock(m_stateMutex);
        if (detached) {
            m_detached = true;
        }
        fuse_session_exit(m_session);
        --m_removalsInProgress;
    }
    m_stateChanged.notify_all();
    if (root >= 0) {
        // Nobody waits for the wake-up request: a worker answers it, or, when the loop has ended
        // already, it fails as soon as the session is closed.
        std::thread([root] {
            struct statx status {};
            ::statx(root, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_TYPE, &status);
            ::close(root);
        }).detach();
    }
}

void FuseDrive::RegisterHandle(OpenHandle* handle) {
    std::lock_guard<std::mutex> lock(m_handlesMutex);
    handle->previous = nullptr;
    handle->next = m_firstHandle;
    if (m_firstHandle != nullptr) {
        m_firstHandle->previous = handle;
    }
    m_firstHandle = handle;
}

void FuseDrive::UnregisterHandle(OpenHandle* handle) {
    std::lock_guard<std::mutex> lock(m_handlesMutex);
    if (handle->previous != nullptr) {
        handle->previous->next = handle->next;
    } else if (m_firstHandle == handle) {
        m_firstHandle = handle->next;
    }
    if (handle->next != nullptr) {
        handle->next->previous = handle->previous;
    }
    handle->previous = handle->next = nullptr;
}

void FuseDrive::RenameOpenHandles(const std::wstring& oldPath, const std::wstring& newPath) {
    std::lock_guard<std::mutex> lock(m_handlesMutex);
    for (OpenHandle* handle = m_firstHandle; handle != nullptr; handle = handle->next) {
        const auto path = handle->Path();
        if (*path == oldPath) {
            handle->SetPath(newPath);
        } else if (path->size() > oldPath.size() &&
                   path->compare(0, oldPath.size(), oldPath) == 0 &&
                   (*path)[oldPath.size()] == L'\\') {
            handle->SetPath(newPath + path->substr(oldPath.size()));
        }
    }
}

NTSTATUS FuseDrive::FlushOpenHandles(const std::wstring& path) {
    if (m_operations.FlushFileBuffers == nullptr) {
        return STATUS_SUCCESS;
    }
    // Held through the flushes, so that no handle is released under them; opens and closes of
    // the drive wait that long.
    std::lock_guard<std::mutex> lock(m_handlesMutex);
    for (OpenHandle* handle = m_firstHandle; handle != nullptr; handle = handle->next) {
        if (handle->info.IsDirectory != 0 || *handle->Path() != path) {
            continue;
        }
        const NTSTATUS status = m_operations.FlushFileBuffers(path.c_str(), &handle->info);
        if (status < 0) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

void FuseDrive::ReleaseLeftoverHandles() {
    OpenHandle* leftovers = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_handlesMutex);
        leftovers = m_firstHandle;
        m_firstHandle = nullptr;
    }
    while (leftovers != nullptr) {
        OpenHandle* handle = leftovers;
        leftovers = handle->next;
        const auto path = handle->Path();
        CallCleanup(m_operations, path->c_str(), handle->info);
        delete handle;
    }
}

}  // namespace kelvo_dokan
