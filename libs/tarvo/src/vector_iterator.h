#pragma once

#include <tarvo/core.h>

#include <mutex>
#include <vector>

namespace tarvo::detail {

// Iterates over a list fetched in one go (listings are small, and fetching them in one
// transaction gives a consistent picture of the folder).
template <class T>
class VectorIterator : public IIterator<T> {
public:
    explicit VectorIterator(std::vector<T> items) : m_items(std::move(items)) {}

    bool Next(T& out) override {
        std::lock_guard lock(m_mutex);
        if (m_next >= m_items.size()) {
            return false;
        }
        out = m_items[m_next++];
        return true;
    }

private:
    std::mutex m_mutex;
    std::vector<T> m_items;
    std::size_t m_next = 0;
};

}  // namespace tarvo::detail
