#pragma once

#include <cstdint>

namespace kelvo_platform {

// Whether the system says that no process has this id. False when it cannot tell, or when a
// process has it (which may be another process that got the id later, or a zombie).
bool ProcessIsGone(std::int64_t processId);

}  // namespace kelvo_platform
