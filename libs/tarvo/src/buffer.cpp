#include "buffer.h"

#include "errors_text.h"

namespace tarvo::detail {

Buffer::Buffer(std::size_t capacity)
    // new[] without an initialiser leaves the bytes unset, which is the point.
    : m_data(new std::uint8_t[capacity > 0 ? capacity : 1]),
      m_capacity(capacity),
      m_size(capacity) {}

void Buffer::SetSize(std::size_t size) {
    if (size > m_capacity) {
        throw errors::BufferTooLarge(size, m_capacity);
    }
    m_size = size;
}

}  // namespace tarvo::detail

namespace tarvo {

std::shared_ptr<IBuffer> CreateBuffer(std::size_t size) {
    return std::make_shared<detail::Buffer>(size);
}

}  // namespace tarvo
