#include "node_table.h"

#include <mutex>
#include <vector>

namespace kelvo_dokan {

NodeTable::NodeTable() {
    Node root;
    root.isDirectory = true;
    root.lookups = 1;  // the kernel never forgets the root
    m_nodes.emplace(kRootNode, std::move(root));
}

std::optional<std::wstring> NodeTable::PathOfLocked(NodeId node) const {
    if (node == kRootNode) {
        return std::wstring(L"\\");
    }
    // Collect the names from the node up to the root, then join them in the other order.
    thread_local std::vector<const std::wstring*> names;
    names.clear();
    std::size_t length = 0;
    NodeId current = node;
    while (current != kRootNode) {
        const auto found = m_nodes.find(current);
        if (found == m_nodes.end() || !found->second.attached) {
            return std::nullopt;
        }
        names.push_back(&found->second.name);
        length += found->second.name.size() + 1;
        current = found->second.parent;
    }
    std::wstring path;
    path.reserve(length);
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        path.push_back(L'\\');
        path += **name;
    }
    return path;
}

std::optional<std::wstring> NodeTable::PathOf(NodeId node) const {
    std::shared_lock lock(m_mutex);
    return PathOfLocked(node);
}

std::optional<std::wstring> NodeTable::ChildPath(NodeId parent, const std::wstring& name) const {
    std::shared_lock lock(m_mutex);
    std::optional<std::wstring> path = PathOfLocked(parent);
    if (!path) {
        return std::nullopt;
    }
    if (parent != kRootNode) {
        path->push_back(L'\\');
    }
    *path += name;
    return path;
}

NodeId NodeTable::Remember(NodeId parent, const std::wstring& name, bool isDirectory) {
    std::unique_lock lock(m_mutex);
    return RememberLocked(parent, name, isDirectory);
}

void NodeTable::RememberAll(NodeId parent, const std::vector<Child>& children,
                            std::vector<NodeId>& nodes) {
    nodes.clear();
    std::unique_lock lock(m_mutex);
    m_nodes.reserve(m_nodes.size() + children.size());
    m_children.reserve(m_children.size() + children.size());
    for (const Child& child : children) {
        nodes.push_back(RememberLocked(parent, *child.name, child.isDirectory));
    }
}

NodeId NodeTable::RememberLocked(NodeId parent, const std::wstring& name, bool isDirectory) {
    const auto existing = m_children.find(ChildKey{parent, name});
    if (existing != m_children.end()) {
        Node& node = m_nodes.at(existing->second);
        if (node.isDirectory == isDirectory) {
            ++node.lookups;
            return existing->second;
        }
        node.attached = false;
        m_children.erase(existing);
    }
    const NodeId id = m_nextNode++;
    Node node;
    node.parent = parent;
    node.name = name;
    node.lookups = 1;
    node.isDirectory = isDirectory;
    const auto stored = m_nodes.emplace(id, std::move(node)).first;
    m_children.emplace(ChildKey{parent, stored->second.name}, id);
    return id;
}

std::optional<NodeId> NodeTable::Find(NodeId parent, const std::wstring& name) const {
    std::shared_lock lock(m_mutex);
    const auto found = m_children.find(ChildKey{parent, name});
    if (found == m_children.end()) {
        return std::nullopt;
    }
    return found->second;
}

NodeId NodeTable::ParentOf(NodeId node) const {
    std::shared_lock lock(m_mutex);
    const auto found = m_nodes.find(node);
    if (node == kRootNode || found == m_nodes.end()) {
        return kRootNode;
    }
    return found->second.parent;
}

void NodeTable::Forget(NodeId node, std::uint64_t count) {
    if (node == kRootNode) {
        return;
    }
    std::unique_lock lock(m_mutex);
    const auto found = m_nodes.find(node);
    if (found == m_nodes.end()) {
        return;
    }
    Node& entry = found->second;
    entry.lookups = count >= entry.lookups ? 0 : entry.lookups - count;
    if (entry.lookups > 0) {
        return;
    }
    if (entry.attached) {
        const auto child = m_children.find(ChildKey{entry.parent, entry.name});
        if (child != m_children.end() && child->second == node) {
            m_children.erase(child);
        }
    }
    // Children of a forgotten folder are forgotten first by the kernel, so no node is orphaned.
    m_nodes.erase(found);
}

void NodeTable::DetachLocked(NodeId parent, const std::wstring& name) {
    const auto child = m_children.find(ChildKey{parent, name});
    if (child == m_children.end()) {
        return;
    }
    m_nodes.at(child->second).attached = false;
    m_children.erase(child);
}

void NodeTable::Detach(NodeId parent, const std::wstring& name) {
    std::unique_lock lock(m_mutex);
    DetachLocked(parent, name);
}

void NodeTable::Move(NodeId parent, const std::wstring& name, NodeId newParent,
                     const std::wstring& newName) {
    std::unique_lock lock(m_mutex);
    const auto child = m_children.find(ChildKey{parent, name});
    if (child == m_children.end()) {
        DetachLocked(newParent, newName);
        return;
    }
    const NodeId moved = child->second;
    m_children.erase(child);
    DetachLocked(newParent, newName);
    Node& node = m_nodes.at(moved);
    node.parent = newParent;
    node.name = newName;
    m_children.emplace(ChildKey{newParent, node.name}, moved);
}

std::size_t NodeTable::Size() const {
    std::shared_lock lock(m_mutex);
    return m_nodes.size();
}

}  // namespace kelvo_dokan
