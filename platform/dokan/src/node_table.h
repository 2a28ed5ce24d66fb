#pragma once

// The kernel knows items by inode number; the file system knows them by path. The node table
// keeps, for every inode the kernel holds, its parent and name, so that a path can be built for
// every request and a rename moves a whole subtree at once.

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kelvo_dokan {

using NodeId = std::uint64_t;
constexpr NodeId kRootNode = 1;

class NodeTable {
public:
    NodeTable();
    NodeTable(const NodeTable&) = delete;
    NodeTable& operator=(const NodeTable&) = delete;

    // The wide path of a node ("\" for the root, "\a\b" below it); nullopt for an unknown node or
    // one that no longer has a name (deleted, or replaced by a rename).
    std::optional<std::wstring> PathOf(NodeId node) const;
    // The path of `name` inside `parent`; nullopt when the parent has no path.
    std::optional<std::wstring> ChildPath(NodeId parent, const std::wstring& name) const;

    // Counts one kernel lookup of parent/name and returns its inode. An existing node of the same
    // kind is reused; one of the other kind (the item was replaced meanwhile) loses its name and a
    // new node is made.
    NodeId Remember(NodeId parent, const std::wstring& name, bool isDirectory);
    // The same for several items of one folder at once (a listing), under one lock.
    struct Child {
        const std::wstring* name;
        bool isDirectory;
    };
    void RememberAll(NodeId parent, const std::vector<Child>& children, std::vector<NodeId>& nodes);
    // The inode of parent/name if the kernel holds one, without counting a lookup.
    std::optional<NodeId> Find(NodeId parent, const std::wstring& name) const;
    // The folder that holds `node` (the root for the root and for unknown nodes).
    NodeId ParentOf(NodeId node) const;
    // Takes back `count` lookups (the kernel forgot them); the node goes when none remain.
    void Forget(NodeId node, std::uint64_t count);
    // The item parent/name is gone: its node keeps living for the kernel but has no path anymore.
    void Detach(NodeId parent, const std::wstring& name);
    // parent/name was renamed to newParent/newName (replacing whatever had that name).
    void Move(NodeId parent, const std::wstring& name, NodeId newParent,
              const std::wstring& newName);

    std::size_t Size() const;

private:
    struct Node {
        NodeId parent = 0;
        std::wstring name;
        std::uint64_t lookups = 0;
        bool isDirectory = false;
        bool attached = true;  // reachable by its path
    };
    // The name is a view of the child node's own name, so that a lookup builds no string and
    // every name is stored once.
    struct ChildKey {
        NodeId parent;
        std::wstring_view name;
        bool operator==(const ChildKey& other) const {
            return parent == other.parent && name == other.name;
        }
    };
    struct ChildKeyHash {
        std::size_t operator()(const ChildKey& key) const {
            return std::hash<std::wstring_view>()(key.name) ^
                   (std::hash<NodeId>()(key.parent) * 31);
        }
    };

    std::optional<std::wstring> PathOfLocked(NodeId node) const;
    NodeId RememberLocked(NodeId parent, const std::wstring& name, bool isDirectory);
    void DetachLocked(NodeId parent, const std::wstring& name);

    mutable std::shared_mutex m_mutex;
    std::unordered_map<NodeId, Node> m_nodes;
    std::unordered_map<ChildKey, NodeId, ChildKeyHash> m_children;
    NodeId m_nextNode = kRootNode + 1;
};

}  // namespace kelvo_dokan
