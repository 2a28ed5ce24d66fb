#include "test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace kelvo_test {

ScopedEnvironment::ScopedEnvironment(std::string name, const std::string& value)
    : m_name(std::move(name)) {
    if (const char* previous = std::getenv(m_name.c_str())) {
        m_previous = previous;
    }
    ::setenv(m_name.c_str(), value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (m_previous) {
        ::setenv(m_name.c_str(), m_previous->c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

std::string FuseUnavailableReason() {
    const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return "FUSE is not usable here: /dev/fuse cannot be opened for reading and writing";
    }
    ::close(fd);
    if (::access("/usr/bin/fusermount3", X_OK) != 0 && ::access("/bin/fusermount3", X_OK) != 0) {
        return "FUSE is not usable here: the fusermount3 helper is missing";
    }
    return {};
}

}  // namespace kelvo_test
