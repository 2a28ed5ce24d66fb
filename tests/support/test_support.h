#pragma once

#include <QTemporaryDir>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace kelvo_test {

// Sets an environment variable for the lifetime of the object and restores the old value after.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

// Why a real FUSE mount cannot be made on this machine; empty when it can.
std::string FuseUnavailableReason();

}  // namespace kelvo_test

// Skips the current test, saying why, when FUSE mounts are impossible here.
#define KELVO_REQUIRE_FUSE()                                                       \
    do {                                                                           \
        const std::string kelvoFuseReason = ::kelvo_test::FuseUnavailableReason(); \
        if (!kelvoFuseReason.empty()) {                                            \
            GTEST_SKIP() << kelvoFuseReason;                                       \
        }                                                                          \
    } while (false)
