#include <platform_base/processes.h>

#include <signal.h>
#include <sys/types.h>

#include <cerrno>
#include <limits>

namespace kelvo_platform {

bool ProcessIsGone(std::int64_t processId) {
    if (processId <= 0 || processId > std::numeric_limits<pid_t>::max()) {
        return false;
    }
    return ::kill(static_cast<pid_t>(processId), 0) != 0 && errno == ESRCH;
}

}  // namespace kelvo_platform
