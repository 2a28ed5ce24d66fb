#include "raw_memory_fuse.h"

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace kelvo_bench {
namespace {

constexpr double kCacheSeconds = 1.0;
constexpr unsigned kMaximumTransfer = 1024 * 1024;

struct Node {
    bool directory = false;
    std::vector<char> content;
    std::map<std::string, fuse_ino_t> children;
};

struct Listing {
    std::vector<std::pair<std::string, fuse_ino_t>> entries;
};

}  // namespace

struct RawMemoryFuse::State {
    unsigned threads = 2;
    std::shared_mutex mutex;
    std::vector<std::unique_ptr<Node>> nodes;  // index = inode; 0 unused, 1 the root
    fuse_session* session = nullptr;

    static State& Of(fuse_req_t request) {
        return *static_cast<State*>(fuse_req_userdata(request));
    }

    fuse_ino_t Add(fuse_ino_t parent, const std::string& name, bool directory) {
        auto node = std::make_unique<Node>();
        node->directory = directory;
        nodes.push_back(std::move(node));
        const fuse_ino_t inode = nodes.size() - 1;
        nodes[parent]->children[name] = inode;
        return inode;
    }

    struct stat Attributes(fuse_ino_t inode) const {
        const Node& node = *nodes[inode];
        struct stat attributes {};
        attributes.st_ino = inode;
        attributes.st_mode = node.directory ? (S_IFDIR | 0755) : (S_IFREG | 0644);
        attributes.st_nlink = 1;
        attributes.st_uid = ::getuid();
        attributes.st_gid = ::getgid();
        attributes.st_size = static_cast<off_t>(node.content.size());
        attributes.st_blksize = kMaximumTransfer;
        attributes.st_blocks = static_cast<blkcnt_t>((node.content.size() + 511) / 512);
        return attributes;
    }

    fuse_entry_param Entry(fuse_ino_t inode) const {
        fuse_entry_param entry{};
        entry.ino = inode;
        entry.attr = Attributes(inode);
        entry.attr_timeout = kCacheSeconds;
        entry.entry_timeout = kCacheSeconds;
        return entry;
    }

    static void Init(void*, fuse_conn_info* connection) {
        connection->want |= FUSE_CAP_ATOMIC_O_TRUNC | FUSE_CAP_READDIRPLUS;
        connection->want &= ~(FUSE_CAP_READDIRPLUS_AUTO | FUSE_CAP_WRITEBACK_CACHE);
        connection->max_write = kMaximumTransfer;
        connection->max_read = kMaximumTransfer;
    }

    static void Lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
        State& state = Of(request);
        std::shared_lock lock(state.mutex);
        const auto& children = state.nodes[parent]->children;
        const auto found = children.find(name);
        if (found == children.end()) {
            fuse_entry_param entry{};
            entry.entry_timeout = kCacheSeconds;
            fuse_reply_entry(request, &entry);
            return;
        }
        const fuse_entry_param entry = state.Entry(found->second);
        fuse_reply_entry(request, &entry);
    }

    static void Forget(fuse_req_t request, fuse_ino_t, uint64_t) { fuse_reply_none(request); }

    static void GetAttributes(fuse_req_t request, fuse_ino_t inode, fuse_file_info*) {
        State& state = Of(request);
        std::shared_lock lock(state.mutex);
        const struct stat attributes = state.Attributes(inode);
        fuse_reply_attr(request, &attributes, kCacheSeconds);
    }

    static void SetAttributes(fuse_req_t request, fuse_ino_t inode, struct stat* wanted, int toSet,
                              fuse_file_info*) {
        State& state = Of(request);
        std::unique_lock lock(state.mutex);
        if ((toSet & FUSE_SET_ATTR_SIZE) != 0) {
            state.nodes[inode]->content.resize(static_cast<std::size_t>(wanted->st_size));
        }
        const struct stat attributes = state.Attributes(inode);
        fuse_reply_attr(request, &attributes, kCacheSeconds);
    }

    static void Create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t,
                       fuse_file_info* file) {
        State& state = Of(request);
        std::unique_lock lock(state.mutex);
        auto& children = state.nodes[parent]->children;
        const auto found = children.find(name);
        fuse_ino_t inode = 0;
        if (found != children.end()) {
            inode = found->second;
            if ((file->flags & O_TRUNC) != 0) {
                state.nodes[inode]->content.clear();
            }
        } else {
            inode = state.Add(parent, name, false);
        }
        file->fh = 0;
        file->keep_cache = 0;
        const fuse_entry_param entry = state.Entry(inode);
        fuse_reply_create(request, &entry, file);
    }

    static void Open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* file) {
        State& state = Of(request);
        if ((file->flags & O_TRUNC) != 0) {
            std::unique_lock lock(state.mutex);
            state.nodes[inode]->content.clear();
        }
        file->keep_cache = 0;
        fuse_reply_open(request, file);
    }

    static void Read(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                     fuse_file_info*) {
        State& state = Of(request);
        std::shared_lock lock(state.mutex);
        const std::vector<char>& content = state.nodes[inode]->content;
        if (static_cast<std::size_t>(offset) >= content.size()) {
            fuse_reply_buf(request, nullptr, 0);
            return;
        }
        const std::size_t count = std::min(size, content.size() - static_cast<std::size_t>(offset));
        fuse_reply_buf(request, content.data() + offset, count);
    }

    static void Write(fuse_req_t request, fuse_ino_t inode, const char* data, size_t size,
                      off_t offset, fuse_file_info*) {
        State& state = Of(request);
        std::unique_lock lock(state.mutex);
        std::vector<char>& content = state.nodes[inode]->content;
        const std::size_t end = static_cast<std::size_t>(offset) + size;
        if (end > content.size()) {
            if (end > content.capacity()) {
                content.reserve(std::max(end, content.capacity() * 2));
            }
            content.resize(end);
        }
        std::memcpy(content.data() + offset, data, size);
        fuse_reply_write(request, size);
    }

    static void Done(fuse_req_t request, fuse_ino_t, fuse_file_info*) {
        fuse_reply_err(request, 0);
    }

    static void OpenDirectory(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
        file->fh = reinterpret_cast<std::uintptr_t>(new Listing());
        fuse_reply_open(request, file);
    }

    static void ReleaseDirectory(fuse_req_t request, fuse_ino_t, fuse_file_info* file) {
        delete reinterpret_cast<Listing*>(static_cast<std::uintptr_t>(file->fh));
        fuse_reply_err(request, 0);
    }

    static void ReadDirectoryPlus(fuse_req_t request, fuse_ino_t inode, size_t size, off_t offset,
                                  fuse_file_info* file) {
        State& state = Of(request);
        auto* listing = reinterpret_cast<Listing*>(static_cast<std::uintptr_t>(file->fh));
        std::shared_lock lock(state.mutex);
        if (offset == 0) {
            listing->entries.assign(state.nodes[inode]->children.begin(),
                                    state.nodes[inode]->children.end());
        }
        thread_local std::vector<char> buffer;
        buffer.resize(size);
        std::size_t used = 0;
        for (auto position = static_cast<std::size_t>(offset); position < listing->entries.size();
             ++position) {
            const auto& [name, child] = listing->entries[position];
            const fuse_entry_param entry = state.Entry(child);
            const std::size_t needed =
                fuse_add_direntry_plus(request, buffer.data() + used, size - used, name.c_str(),
                                       &entry, static_cast<off_t>(position + 1));
            if (needed > size - used) {
                break;
            }
            used += needed;
        }
        fuse_reply_buf(request, buffer.data(), used);
    }

    static void MakeDirectory(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t) {
        State& state = Of(request);
        std::unique_lock lock(state.mutex);
        const fuse_entry_param entry = state.Entry(state.Add(parent, name, true));
        fuse_reply_entry(request, &entry);
    }

    static void Unlink(fuse_req_t request, fuse_ino_t parent, const char* name) {
        State& state = Of(request);
        std::unique_lock lock(state.mutex);
        state.nodes[parent]->children.erase(name);
        fuse_reply_err(request, 0);
    }

    static void FileSystemStatus(fuse_req_t request, fuse_ino_t) {
        struct statvfs status {};
        status.f_bsize = status.f_frsize = 4096;
        status.f_blocks = status.f_bfree = status.f_bavail = 1ULL << 38;
        status.f_namemax = 255;
        fuse_reply_statfs(request, &status);
    }
};

RawMemoryFuse::RawMemoryFuse(unsigned threadCount) : m_state(std::make_unique<State>()) {
    m_state->threads = threadCount;
    m_state->nodes.emplace_back();  // inode 0 does not exist
    auto root = std::make_unique<Node>();
    root->directory = true;
    m_state->nodes.push_back(std::move(root));
}

RawMemoryFuse::~RawMemoryFuse() {
    Unmount();
}

void RawMemoryFuse::AddFolder(const std::string& path) {
    fuse_ino_t parent = FUSE_ROOT_ID;
    std::string rest = path;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string name = rest.substr(0, slash);
        auto& children = m_state->nodes[parent]->children;
        const auto found = children.find(name);
        parent = found != children.end() ? found->second : m_state->Add(parent, name, true);
        rest = slash == std::string::npos ? "" : rest.substr(slash + 1);
    }
}

void RawMemoryFuse::AddFile(const std::string& path, const std::string& content) {
    const std::size_t slash = path.rfind('/');
    fuse_ino_t parent = FUSE_ROOT_ID;
    if (slash != std::string::npos) {
        AddFolder(path.substr(0, slash));
        std::string rest = path.substr(0, slash);
        std::size_t start = 0;
        while (start <= rest.size()) {
            const std::size_t end = std::min(rest.find('/', start), rest.size());
            parent = m_state->nodes[parent]->children.at(rest.substr(start, end - start));
            start = end + 1;
        }
    }
    const fuse_ino_t inode =
        m_state->Add(parent, slash == std::string::npos ? path : path.substr(slash + 1), false);
    m_state->nodes[inode]->content.assign(content.begin(), content.end());
}

bool RawMemoryFuse::Mount(const std::filesystem::path& folder) {
    static const fuse_lowlevel_ops operations = [] {
        fuse_lowlevel_ops table{};
        table.init = &State::Init;
        table.lookup = &State::Lookup;
        table.forget = &State::Forget;
        table.getattr = &State::GetAttributes;
        table.setattr = &State::SetAttributes;
        table.create = &State::Create;
        table.open = &State::Open;
        table.read = &State::Read;
        table.write = &State::Write;
        table.flush = &State::Done;
        table.release = &State::Done;
        table.opendir = &State::OpenDirectory;
        table.readdirplus = &State::ReadDirectoryPlus;
        table.releasedir = &State::ReleaseDirectory;
        table.mkdir = &State::MakeDirectory;
        table.unlink = &State::Unlink;
        table.statfs = &State::FileSystemStatus;
        return table;
    }();
    std::filesystem::create_directories(folder);
    m_folder = folder;
    std::string options = "fsname=raw,subtype=rawbench,default_permissions,auto_unmount,max_read=" +
                          std::to_string(kMaximumTransfer);
    std::string program = "raw";
    std::string dashO = "-o";
    char* argv[] = {program.data(), dashO.data(), options.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    m_state->session = fuse_session_new(&args, &operations, sizeof operations, m_state.get());
    if (m_state->session == nullptr || fuse_session_mount(m_state->session, folder.c_str()) != 0) {
        return false;
    }
    m_loop = std::thread([state = m_state.get()] {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_clone_fd(config, 1);
        fuse_loop_cfg_set_max_threads(config, state->threads);
        fuse_loop_cfg_set_idle_threads(config, state->threads);
        fuse_session_loop_mt(state->session, config);
        fuse_loop_cfg_destroy(config);
    });
    return true;
}

void RawMemoryFuse::Unmount() {
    if (m_state->session == nullptr) {
        return;
    }
    // Detaching drops the last reference: the kernel ends the connection and the loop returns.
    if (::umount2(m_folder.c_str(), MNT_DETACH) != 0) {
        const std::string command = "fusermount3 -u -z '" + m_folder.string() + "'";
        [[maybe_unused]] const int status = std::system(command.c_str());
    }
    if (m_loop.joinable()) {
        m_loop.join();
    }
    fuse_session_destroy(m_state->session);
    m_state->session = nullptr;
}

}  // namespace kelvo_bench
