#include "ConnectionsConfigFiles.h"

namespace connections_config {

std::wstringstream readTextFile(const QString&) { return {}; }
std::vector<tarvo_cm::Connection> readConnectionsConfig(const QString&) { return {}; }
ConnectionsStorage::MountPointTable readMountPoints(const QString&) { return {}; }

}  // namespace connections_config
