#pragma once

#include <tarvo/core.h>

#include <boost/uuid/uuid.hpp>
#include <string>

namespace tarvo_cm {

// A configured repository connection. Two records are the same connection when their ids are
// equal, and have the same address when their endpoints and credentials are equal.
struct Connection {
    Connection();  // a fresh id

    boost::uuids::uuid id{};
    std::wstring name;  // the repository's name as it reported it
    tarvo::Endpoint endpoint;
    tarvo::Credentials credentials;
    // The user accepted that the password of Basic credentials is written in plain text into the
    // connections file when the desktop has no keyring (see PasswordStore).
    bool storePasswordInFile = false;

    // False for a nil id, or a Remote endpoint without host or database.
    bool isValid() const;
};

// Same address: equal endpoints and equal credentials.
bool SameAddress(const Connection& a, const Connection& b);

}  // namespace tarvo_cm
