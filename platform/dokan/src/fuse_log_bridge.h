#pragma once

namespace kelvo_dokan {

// Sends libfuse's own messages to the application's log instead of standard error. Idempotent.
void InstallFuseLogBridge();

}  // namespace kelvo_dokan
