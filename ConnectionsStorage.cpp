#include "ConnectionsStorage.h"

#include "FSDriver.h"

bool ConnectionHandle::isConnected() const { return fileSystem && fileSystem->isConnected(); }

ConnectionsStorage::ConnectionsStorage() : ConnectionsStorage(defaultPaths(), tarvo::CreateCore()) {}

ConnectionsStorage::ConnectionsStorage(const Paths& paths, std::shared_ptr<tarvo::ICore> core)
    : m_connectionsConfigPath(paths.connectionsConfigPath),
      m_mountPointsPath(paths.mountPointsPath),
      m_core(std::move(core)) {}

ConnectionsStorage::~ConnectionsStorage() = default;

ConnectionsStorage::Paths ConnectionsStorage::defaultPaths() { return {}; }

namespace {
ConnectionsStorage* g_storage = nullptr;
}

ConnectionsStorage* ConnectionsStorage::instance() { return g_storage; }
void ConnectionsStorage::setInstance(ConnectionsStorage* storage) { g_storage = storage; }

void ConnectionsStorage::addConnection(const tarvo_cm::Connection&, const MountPoint&) {}
void ConnectionsStorage::updateConnection(const tarvo_cm::Connection&, const MountPoint&) {}
bool ConnectionsStorage::removeConnection(const tarvo_cm::Connection&) { return false; }
void ConnectionsStorage::mountDrive(const tarvo_cm::Connection&) {}
void ConnectionsStorage::unmountDrive(const tarvo_cm::Connection&) {}
std::vector<ConnectionHandle*> ConnectionsStorage::connections() const { return {}; }
std::shared_ptr<tarvo::ICore> ConnectionsStorage::core() const { return m_core; }
