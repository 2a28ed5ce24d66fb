#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <string>

namespace tarvo::detail::postgres {

// Where a shared repository lives and who connects to it, as libpq wants it (UTF-8).
struct ConnectionSettings {
    std::string host;
    std::uint16_t port = 5432;
    std::string database;
    std::string sslMode = "prefer";
    std::string login;     // empty: libpq takes the operating-system user
    std::string password;  // empty: none (peer, trust, or a password file)

    // Checks the fields a user typed: throws InvalidArgument for an empty host or database, or an
    // sslmode libpq does not know.
    static ConnectionSettings From(const endpoint::Remote& remote, const Credentials& credentials);

    // "host:port/database", for messages.
    std::wstring Address() const;
};

}  // namespace tarvo::detail::postgres
