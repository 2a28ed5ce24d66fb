#pragma once

#include <dokan/dokan.h>

// The driver's table of operations exactly as the drive hands it to DokanMain. Every operation
// finds its drive object through DokanFileInfo->DokanOptions->GlobalContext, so the table can also
// be driven without a mount, with a DOKAN_FILE_INFO built by the caller.
DOKAN_OPERATIONS DriveOperationsTable();
