// Placeholder until the FUSE layer lands.
#include <dokan/dokan.h>

int DokanMain(PDOKAN_OPTIONS, PDOKAN_OPERATIONS) { return DOKAN_DRIVER_INSTALL_ERROR; }
BOOL DokanRemoveMountPoint(LPCWSTR) { return FALSE; }
void DokanMapKernelToUserCreateFileFlags(ACCESS_MASK, ULONG, ULONG, ULONG, ACCESS_MASK*, DWORD*,
                                         DWORD*) {}
