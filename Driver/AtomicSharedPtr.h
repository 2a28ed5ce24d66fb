#pragma once

#include <memory>

// A shared pointer that several threads may read and replace at once. Readers take their own copy
// with load() and work on it, so a concurrent reset() never pulls an object from under them.
template <class T>
class AtomicSharedPtr {
public:
    AtomicSharedPtr() = default;
    AtomicSharedPtr(const AtomicSharedPtr&) = delete;
    AtomicSharedPtr& operator=(const AtomicSharedPtr&) = delete;

    std::shared_ptr<T> load() const { return std::atomic_load(&m_pointer); }
    void store(std::shared_ptr<T> pointer) { std::atomic_store(&m_pointer, std::move(pointer)); }
    void reset() { store(nullptr); }
    // Replaces the pointer with `desired` only if it still is `expected`; true when it did.
    bool compareExchange(std::shared_ptr<T> expected, std::shared_ptr<T> desired) {
        return std::atomic_compare_exchange_strong(&m_pointer, &expected, std::move(desired));
    }
    explicit operator bool() const { return load() != nullptr; }

private:
    std::shared_ptr<T> m_pointer;
};
