#pragma once

#include <tarvo/core.h>

#include <memory>

namespace tarvo::detail {

// A byte buffer of fixed capacity; its used size starts at the capacity.
class Buffer : public IBuffer {
public:
    explicit Buffer(std::size_t capacity);

    std::uint8_t* GetData() override { return m_data.get(); }
    std::size_t GetSize() const override { return m_size; }
    void SetSize(std::size_t size) override;
    std::size_t GetCapacity() const { return m_capacity; }

private:
    // Left uninitialised: buffers are filled by whoever asked for them, often a megabyte at a time.
    std::unique_ptr<std::uint8_t[]> m_data;
    std::size_t m_capacity;
    std::size_t m_size;
};

}  // namespace tarvo::detail
