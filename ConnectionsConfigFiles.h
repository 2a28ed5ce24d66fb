#pragma once

#include "ConnectionsStorage.h"

#include <QString>
#include <tarvo_cm/connection.h>

#include <sstream>
#include <vector>

// Reading and writing the two configuration files: the connections file shared with the sibling
// product and this program's own mount-point file.
namespace connections_config {

std::wstringstream readTextFile(const QString& path);
std::vector<tarvo_cm::Connection> readConnectionsConfig(const QString& path);
ConnectionsStorage::MountPointTable readMountPoints(const QString& path);

}  // namespace connections_config
