#include "memory_file_system.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <set>

namespace kelvo_test {

struct MemoryFileSystem::Node {
    bool directory = false;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    std::vector<char> content;
    FILETIME created{};
    FILETIME accessed{};
    FILETIME written{};
    std::map<std::wstring, std::shared_ptr<Node>, std::less<>> children;
};

// One open, stored in DOKAN_FILE_INFO::Context.
struct MemoryFileSystem::Context {
    std::shared_ptr<Node> node;
    const Context* self = nullptr;
};

namespace {

FILETIME Now() {
    const auto since1601 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                                   .count() /
                               100 +
                           116444736000000000LL;
    return FILETIME{static_cast<DWORD>(since1601 & 0xFFFFFFFF),
                    static_cast<DWORD>(since1601 >> 32)};
}

// Calls `visit` with each name of a path ("\\a\\b": "a", then "b"); stops when it returns false.
template <typename Visit>
bool ForEachName(std::wstring_view path, Visit&& visit) {
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) {
            end = path.size();
        }
        if (end > start && !visit(path.substr(start, end - start))) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

struct MemoryFileSystem::Callbacks {
    static MemoryFileSystem& Of(PDOKAN_FILE_INFO info) {
        return *reinterpret_cast<MemoryFileSystem*>(
            static_cast<std::uintptr_t>(info->DokanOptions->GlobalContext));
    }
    static Context* ContextOf(PDOKAN_FILE_INFO info) {
        auto* context = reinterpret_cast<Context*>(static_cast<std::uintptr_t>(info->Context));
        if (context != nullptr && context->self != context) {
            ++Of(info).m_counters.contextMismatches;
        }
        return context;
    }

    static NTSTATUS Create(LPCWSTR fileName, PDOKAN_IO_SECURITY_CONTEXT, ACCESS_MASK access,
                           ULONG attributes, ULONG, ULONG kernelDisposition, ULONG options,
                           PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        DWORD disposition = 0;
        DokanMapKernelToUserCreateFileFlags(access, attributes, options, kernelDisposition, nullptr,
                                            nullptr, &disposition);
        const std::wstring_view path = fileName;
        {
            const std::shared_ptr<const CreateHook> hook = std::atomic_load(&fs.m_createHook);
            if (hook) {
                const NTSTATUS status = (*hook)(std::wstring(path), access, disposition, options);
                if (status != STATUS_SUCCESS) {
                    return status;
                }
            }
        }
        if (path.size() > 255) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        auto store = [&](std::shared_ptr<Node> target) {
            ++fs.m_counters.creates;
            auto* context = new Context{std::move(target), nullptr};
            context->self = context;
            info->Context = reinterpret_cast<std::uintptr_t>(context);
            info->IsDirectory = context->node->directory ? 1 : 0;
        };
        auto refusal = [&](const Node& node) {
            if (node.directory && (options & FILE_NON_DIRECTORY_FILE) != 0) {
                return STATUS_FILE_IS_A_DIRECTORY;
            }
            if (!node.directory && (options & FILE_DIRECTORY_FILE) != 0) {
                return STATUS_NOT_A_DIRECTORY;
            }
            if (!node.directory && (node.attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0) {
                return STATUS_ACCESS_DENIED;
            }
            return STATUS_SUCCESS;
        };
        if (disposition == OPEN_EXISTING) {
            // The common case changes nothing: readers do not wait for each other.
            std::shared_lock lock(fs.m_mutex);
            std::shared_ptr<Node> node = fs.Find(path);
            if (!node) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            const NTSTATUS status = refusal(*node);
            if (status == STATUS_SUCCESS) {
                store(std::move(node));
            }
            return status;
        }
        std::unique_lock lock(fs.m_mutex);
        std::shared_ptr<Node> node = fs.Find(path);
        const bool wantsDirectory = (options & FILE_DIRECTORY_FILE) != 0 || info->IsDirectory != 0;
        if (node) {
            if (const NTSTATUS status = refusal(*node); status != STATUS_SUCCESS) {
                return status;
            }
            switch (disposition) {
                case CREATE_NEW:
                    return STATUS_OBJECT_NAME_COLLISION;
                case CREATE_ALWAYS:
                case TRUNCATE_EXISTING:
                    if (!node->directory) {
                        node->content.clear();
                        node->written = Now();
                    }
                    store(node);
                    return disposition == CREATE_ALWAYS ? STATUS_OBJECT_NAME_COLLISION
                                                        : STATUS_SUCCESS;
                case OPEN_ALWAYS:
                    store(node);
                    return STATUS_OBJECT_NAME_COLLISION;
                default:
                    store(node);
                    return STATUS_SUCCESS;
            }
        }
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        std::wstring name;
        std::shared_ptr<Node> parent = fs.FindParent(path, name);
        if (!parent || !parent->directory) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        auto created = std::make_shared<Node>();
        created->directory = wantsDirectory;
        created->attributes = wantsDirectory
                                  ? FILE_ATTRIBUTE_DIRECTORY
                                  : (attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
        created->created = created->accessed = created->written = Now();
        parent->children[name] = created;
        store(created);
        return STATUS_SUCCESS;
    }

    static void Cleanup(LPCWSTR fileName, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        ++fs.m_counters.cleanups;
        Context* context = ContextOf(info);
        if (context == nullptr || info->DeleteOnClose == 0) {
            return;
        }
        std::unique_lock lock(fs.m_mutex);
        std::wstring name;
        std::shared_ptr<Node> parent = fs.FindParent(fileName, name);
        if (parent) {
            const auto found = parent->children.find(name);
            if (found != parent->children.end() && found->second == context->node) {
                parent->children.erase(found);
                ++fs.m_counters.deletes;
            }
        }
    }

    static void Close(LPCWSTR, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        ++fs.m_counters.closes;
        delete ContextOf(info);
        info->Context = 0;
    }

    static NTSTATUS Read(LPCWSTR, LPVOID buffer, DWORD length, LPDWORD readLength, LONGLONG offset,
                         PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        Context* context = ContextOf(info);
        if (context == nullptr || context->node->directory) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        std::shared_lock lock(fs.m_mutex);
        const std::vector<char>& content = context->node->content;
        if (offset < 0 || static_cast<std::size_t>(offset) >= content.size()) {
            *readLength = 0;
            return STATUS_SUCCESS;
        }
        const std::size_t count =
            std::min<std::size_t>(length, content.size() - static_cast<std::size_t>(offset));
        std::memcpy(buffer, content.data() + offset, count);
        *readLength = static_cast<DWORD>(count);
        return STATUS_SUCCESS;
    }

    static NTSTATUS Write(LPCWSTR, LPCVOID buffer, DWORD length, LPDWORD written, LONGLONG offset,
                          PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        Context* context = ContextOf(info);
        if (context == nullptr || context->node->directory) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        std::unique_lock lock(fs.m_mutex);
        std::vector<char>& content = context->node->content;
        if (info->WriteToEndOfFile != 0) {
            offset = static_cast<LONGLONG>(content.size());
        }
        const std::size_t end = static_cast<std::size_t>(offset) + length;
        if (end > content.size()) {
            if (end > content.capacity()) {
                content.reserve(std::max(end, content.capacity() * 2));
            }
            content.resize(end);
        }
        std::memcpy(content.data() + offset, buffer, length);
        *written = length;
        return STATUS_SUCCESS;
    }

    static NTSTATUS Flush(LPCWSTR, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        ++fs.m_counters.flushes;
        ContextOf(info);
        return fs.m_flushStatus.load();
    }

    static NTSTATUS Information(LPCWSTR, LPBY_HANDLE_FILE_INFORMATION out, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        Context* context = ContextOf(info);
        if (context == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        std::shared_lock lock(fs.m_mutex);
        const Node& node = *context->node;
        *out = BY_HANDLE_FILE_INFORMATION{};
        out->dwFileAttributes = node.attributes;
        out->ftCreationTime = node.created;
        out->ftLastAccessTime = node.accessed;
        out->ftLastWriteTime = node.written;
        out->nFileSizeHigh = static_cast<DWORD>(node.content.size() >> 32);
        out->nFileSizeLow = static_cast<DWORD>(node.content.size() & 0xFFFFFFFF);
        out->nNumberOfLinks = 1;
        return STATUS_SUCCESS;
    }

    static NTSTATUS FindFiles(LPCWSTR, PFillFindData fill, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        ++fs.m_counters.findFiles;
        Context* context = ContextOf(info);
        if (context == nullptr || !context->node->directory) {
            return STATUS_NOT_A_DIRECTORY;
        }
        std::shared_lock lock(fs.m_mutex);
        WIN32_FIND_DATAW data{};
        for (const auto& [name, child] : context->node->children) {
            data.dwFileAttributes = child->attributes;
            data.ftCreationTime = child->created;
            data.ftLastAccessTime = child->accessed;
            data.ftLastWriteTime = child->written;
            data.nFileSizeHigh = static_cast<DWORD>(child->content.size() >> 32);
            data.nFileSizeLow = static_cast<DWORD>(child->content.size() & 0xFFFFFFFF);
            const std::size_t length = std::min<std::size_t>(name.size(), MAX_PATH - 1);
            std::wmemcpy(data.cFileName, name.c_str(), length);
            data.cFileName[length] = L'\0';
            if (fill(&data, info) != 0) {
                break;
            }
        }
        return STATUS_SUCCESS;
    }

    static NTSTATUS SetAttributes(LPCWSTR, DWORD attributes, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        ++fs.m_counters.setAttributes;
        Context* context = ContextOf(info);
        std::unique_lock lock(fs.m_mutex);
        Node& node = *context->node;
        node.attributes = node.directory ? (attributes | FILE_ATTRIBUTE_DIRECTORY)
                                         : (attributes & ~FILE_ATTRIBUTE_DIRECTORY);
        return STATUS_SUCCESS;
    }

    static NTSTATUS SetTime(LPCWSTR, const FILETIME* created, const FILETIME* accessed,
                            const FILETIME* written, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        ++fs.m_counters.setTimes;
        Context* context = ContextOf(info);
        std::unique_lock lock(fs.m_mutex);
        Node& node = *context->node;
        if (created != nullptr) {
            node.created = *created;
        }
        if (accessed != nullptr) {
            node.accessed = *accessed;
        }
        if (written != nullptr) {
            node.written = *written;
        }
        return STATUS_SUCCESS;
    }

    static NTSTATUS DeleteFile(LPCWSTR, PDOKAN_FILE_INFO info) {
        Context* context = ContextOf(info);
        return context != nullptr && !context->node->directory ? STATUS_SUCCESS
                                                               : STATUS_ACCESS_DENIED;
    }

    static NTSTATUS DeleteDirectory(LPCWSTR, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        Context* context = ContextOf(info);
        if (context == nullptr || !context->node->directory) {
            return STATUS_NOT_A_DIRECTORY;
        }
        std::shared_lock lock(fs.m_mutex);
        return context->node->children.empty() ? STATUS_SUCCESS : STATUS_DIRECTORY_NOT_EMPTY;
    }

    static NTSTATUS Move(LPCWSTR fileName, LPCWSTR newFileName, BOOL replace,
                         PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        ++fs.m_counters.moves;
        Context* context = ContextOf(info);
        std::unique_lock lock(fs.m_mutex);
        std::wstring name;
        std::wstring newName;
        std::shared_ptr<Node> parent = fs.FindParent(fileName, name);
        std::shared_ptr<Node> newParent = fs.FindParent(newFileName, newName);
        if (!parent || !newParent || !newParent->directory) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        const auto source = parent->children.find(name);
        if (source == parent->children.end() || source->second != context->node) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        const auto target = newParent->children.find(newName);
        if (target != newParent->children.end()) {
            if (!replace) {
                return STATUS_OBJECT_NAME_COLLISION;
            }
            if (target->second->directory) {
                if (!context->node->directory) {
                    return STATUS_ACCESS_DENIED;
                }
                if (!target->second->children.empty()) {
                    return STATUS_DIRECTORY_NOT_EMPTY;
                }
            }
        }
        std::shared_ptr<Node> moved = source->second;
        parent->children.erase(source);
        newParent->children[newName] = moved;
        return STATUS_SUCCESS;
    }

    static NTSTATUS SetEndOfFile(LPCWSTR, LONGLONG size, PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        Context* context = ContextOf(info);
        if (context == nullptr || context->node->directory || size < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        std::unique_lock lock(fs.m_mutex);
        context->node->content.resize(static_cast<std::size_t>(size));
        context->node->written = Now();
        return STATUS_SUCCESS;
    }

    static NTSTATUS DiskFreeSpace(PULONGLONG freeForCaller, PULONGLONG total, PULONGLONG totalFree,
                                  PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        const NTSTATUS status = fs.m_diskFreeSpaceStatus.load();
        if (status != STATUS_SUCCESS) {
            return status;
        }
        *total = 1ULL << 30;
        *freeForCaller = *totalFree = 1ULL << 29;
        return STATUS_SUCCESS;
    }

    static NTSTATUS VolumeInformation(LPWSTR volumeName, DWORD volumeNameSize, LPDWORD serial,
                                      LPDWORD maximumComponentLength, LPDWORD flags,
                                      LPWSTR fileSystemName, DWORD fileSystemNameSize,
                                      PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        std::wcsncpy(volumeName, fs.m_label.c_str(), volumeNameSize - 1);
        std::wcsncpy(fileSystemName, L"Kelvo storage", fileSystemNameSize - 1);
        *serial = 0;
        *maximumComponentLength = 255;
        *flags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
        return STATUS_SUCCESS;
    }

    static NTSTATUS Mounted(PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        {
            std::lock_guard<std::mutex> lock(fs.m_mountMutex);
            ++fs.m_mounted;
        }
        fs.m_mountChanged.notify_all();
        return STATUS_SUCCESS;
    }

    static NTSTATUS Unmounted(PDOKAN_FILE_INFO info) {
        MemoryFileSystem& fs = Of(info);
        {
            std::lock_guard<std::mutex> lock(fs.m_mountMutex);
            ++fs.m_unmounted;
        }
        fs.m_mountChanged.notify_all();
        return STATUS_SUCCESS;
    }
};

MemoryFileSystem::MemoryFileSystem() : m_root(std::make_shared<Node>()) {
    m_root->directory = true;
    m_root->attributes = FILE_ATTRIBUTE_DIRECTORY;
    m_root->created = m_root->accessed = m_root->written = Now();
}

MemoryFileSystem::~MemoryFileSystem() = default;

DOKAN_OPERATIONS MemoryFileSystem::Operations() {
    DOKAN_OPERATIONS operations{};
    operations.ZwCreateFile = &Callbacks::Create;
    operations.Cleanup = &Callbacks::Cleanup;
    operations.CloseFile = &Callbacks::Close;
    operations.ReadFile = &Callbacks::Read;
    operations.WriteFile = &Callbacks::Write;
    operations.FlushFileBuffers = &Callbacks::Flush;
    operations.GetFileInformation = &Callbacks::Information;
    operations.FindFiles = &Callbacks::FindFiles;
    operations.SetFileAttributes = &Callbacks::SetAttributes;
    operations.SetFileTime = &Callbacks::SetTime;
    operations.DeleteFile = &Callbacks::DeleteFile;
    operations.DeleteDirectory = &Callbacks::DeleteDirectory;
    operations.MoveFile = &Callbacks::Move;
    operations.SetEndOfFile = &Callbacks::SetEndOfFile;
    operations.SetAllocationSize = &Callbacks::SetEndOfFile;
    operations.GetDiskFreeSpace = &Callbacks::DiskFreeSpace;
    operations.GetVolumeInformation = &Callbacks::VolumeInformation;
    operations.Mounted = &Callbacks::Mounted;
    operations.Unmounted = &Callbacks::Unmounted;
    return operations;
}

std::shared_ptr<MemoryFileSystem::Node> MemoryFileSystem::Find(std::wstring_view path) const {
    const Node* node = m_root.get();
    const std::shared_ptr<Node>* found = &m_root;
    const bool complete = ForEachName(path, [&](std::wstring_view name) {
        if (!node->directory) {
            return false;
        }
        const auto child = node->children.find(name);
        if (child == node->children.end()) {
            return false;
        }
        found = &child->second;
        node = child->second.get();
        return true;
    });
    return complete ? *found : nullptr;
}

std::shared_ptr<MemoryFileSystem::Node> MemoryFileSystem::FindParent(std::wstring_view path,
                                                                     std::wstring& name) const {
    const std::size_t separator = path.find_last_of(L'\\');
    if (separator == std::wstring_view::npos || separator + 1 >= path.size()) {
        return nullptr;
    }
    name = path.substr(separator + 1);
    std::shared_ptr<Node> parent = Find(path.substr(0, separator));
    return parent && parent->directory ? parent : nullptr;
}

void MemoryFileSystem::SetCreateHook(CreateHook hook) {
    std::atomic_store(&m_createHook, hook ? std::make_shared<const CreateHook>(std::move(hook))
                                          : std::shared_ptr<const CreateHook>());
}

void MemoryFileSystem::SetFlushStatus(NTSTATUS status) {
    m_flushStatus = status;
}

void MemoryFileSystem::SetDiskFreeSpaceStatus(NTSTATUS status) {
    m_diskFreeSpaceStatus = status;
}

void MemoryFileSystem::SetVolumeLabel(std::wstring label) {
    m_label = std::move(label);
}

void MemoryFileSystem::AddFolder(const std::wstring& path) {
    std::unique_lock lock(m_mutex);
    std::wstring name;
    std::shared_ptr<Node> parent = FindParent(path, name);
    auto node = std::make_shared<Node>();
    node->directory = true;
    node->attributes = FILE_ATTRIBUTE_DIRECTORY;
    node->created = node->accessed = node->written = Now();
    parent->children[name] = node;
}

void MemoryFileSystem::AddFile(const std::wstring& path, const std::string& content) {
    std::unique_lock lock(m_mutex);
    std::wstring name;
    std::shared_ptr<Node> parent = FindParent(path, name);
    auto node = std::make_shared<Node>();
    node->content.assign(content.begin(), content.end());
    node->created = node->accessed = node->written = Now();
    parent->children[name] = node;
}

bool MemoryFileSystem::Exists(const std::wstring& path) const {
    std::shared_lock lock(m_mutex);
    return Find(path) != nullptr;
}

std::optional<std::string> MemoryFileSystem::Content(const std::wstring& path) const {
    std::shared_lock lock(m_mutex);
    const std::shared_ptr<Node> node = Find(path);
    if (!node || node->directory) {
        return std::nullopt;
    }
    return std::string(node->content.begin(), node->content.end());
}

std::optional<DWORD> MemoryFileSystem::Attributes(const std::wstring& path) const {
    std::shared_lock lock(m_mutex);
    const std::shared_ptr<Node> node = Find(path);
    if (!node) {
        return std::nullopt;
    }
    return node->attributes;
}

std::optional<FILETIME> MemoryFileSystem::LastWriteTime(const std::wstring& path) const {
    std::shared_lock lock(m_mutex);
    const std::shared_ptr<Node> node = Find(path);
    if (!node) {
        return std::nullopt;
    }
    return node->written;
}

std::vector<std::wstring> MemoryFileSystem::Children(const std::wstring& path) const {
    std::shared_lock lock(m_mutex);
    std::vector<std::wstring> names;
    const std::shared_ptr<Node> node = Find(path);
    if (node) {
        for (const auto& entry : node->children) {
            names.push_back(entry.first);
        }
    }
    return names;
}

int MemoryFileSystem::MountedCount() const {
    std::lock_guard<std::mutex> lock(m_mountMutex);
    return m_mounted;
}

int MemoryFileSystem::UnmountedCount() const {
    std::lock_guard<std::mutex> lock(m_mountMutex);
    return m_unmounted;
}

bool MemoryFileSystem::WaitMounted(std::chrono::milliseconds timeout, int count) {
    std::unique_lock<std::mutex> lock(m_mountMutex);
    return m_mountChanged.wait_for(lock, timeout, [&] { return m_mounted >= count; });
}

}  // namespace kelvo_test
