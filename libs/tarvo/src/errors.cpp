#include <tarvo/errors.h>

#include "text_codec.h"

namespace exceptions {

Error::Error(std::wstring message)
    : m_message(std::move(message)), m_utf8Message(tarvo::detail::ToUtf8(m_message)) {}

}  // namespace exceptions

namespace tarvo {

TarvoError::TarvoError(errc::Type code, std::wstring message)
    : exceptions::Error(std::move(message)), m_code(code) {}

}  // namespace tarvo
