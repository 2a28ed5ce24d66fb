#include <win_compat/handle_inheritance.h>

#include <cstdlib>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace win_compat {

void StopHandleInheritance() {
    DIR* folder = ::opendir("/proc/self/fd");
    if (folder == nullptr) {
        return;
    }
    std::vector<int> descriptors;
    while (const dirent* entry = ::readdir(folder)) {
        char* end = nullptr;
        const long number = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && number > STDERR_FILENO &&
            number != ::dirfd(folder)) {
            descriptors.push_back(static_cast<int>(number));
        }
    }
    ::closedir(folder);
    for (const int descriptor : descriptors) {
        const int flags = ::fcntl(descriptor, F_GETFD);
        if (flags >= 0) {
            ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}

}  // namespace win_compat
