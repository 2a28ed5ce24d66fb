// Placeholder until the drive lands.
#include "FSDriver.h"

#include <dokan/dokan.h>

KelvoFileSystem::KelvoFileSystem(std::shared_ptr<tarvo::ICore> core_) : core(std::move(core_)) {}

KelvoFileSystem::~KelvoFileSystem() { DokanRemoveMountPoint(mountPoint.c_str()); }

void KelvoFileSystem::run(const tarvo_cm::Connection&, const std::wstring&, const std::wstring&) {}

void RunDriveThread(std::shared_ptr<KelvoFileSystem> fileSystem, tarvo_cm::Connection connection,
                    std::wstring mountPoint, std::wstring customName) {
    fileSystem->run(connection, mountPoint, customName);
}
