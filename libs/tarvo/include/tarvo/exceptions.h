#pragma once

#include <exception>
#include <string>

namespace exceptions {

// Base of every error that the repository libraries throw; carries a wide, user-readable message.
class Error : public std::exception {
public:
    explicit Error(std::wstring message);

    const std::wstring& GetMessage() const noexcept { return m_message; }
    // The message in UTF-8.
    const char* what() const noexcept override { return m_utf8Message.c_str(); }

private:
    std::wstring m_message;
    std::string m_utf8Message;
};

}  // namespace exceptions
