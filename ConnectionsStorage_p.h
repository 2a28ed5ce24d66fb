#pragma once

// What the storage and its configuration files share.

#include "ConnectionsStorage.h"

#include <cstddef>

// What loading takes from the mount-point file.
struct ConnectionsStorage::MountPointsFile {
    bool exists = false;
    MountPointTable table;
};

// Equal for records with the same address, as tarvo_cm::SameAddress compares them.
std::size_t addressHash(const tarvo_cm::Connection& connection);
