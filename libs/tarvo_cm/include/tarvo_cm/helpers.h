#pragma once

#include <tarvo_cm/connection.h>

#include <QString>

namespace tarvo_cm::helpers {

// The text a user recognises in a list: the repository's name, with the server for Remote.
QString FormatDisplayName(const Connection& connection);

}  // namespace tarvo_cm::helpers
