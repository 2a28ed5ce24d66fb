#include <tarvo_cm/connection.h>

namespace tarvo_cm {

Connection::Connection() : id(tarvo::GenerateUuid()) {}

bool Connection::isValid() const {
    if (id.is_nil()) {
        return false;
    }
    if (const auto* remote = std::get_if<tarvo::endpoint::Remote>(&endpoint)) {
        return !remote->host.empty() && !remote->database.empty();
    }
    return true;
}

bool SameAddress(const Connection& a, const Connection& b) {
    return a.endpoint == b.endpoint && a.credentials == b.credentials;
}

}  // namespace tarvo_cm
