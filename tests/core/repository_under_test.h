#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace kelvo_test {

// One empty repository behind one storage engine, for the behaviour suite. Every engine that
// the core supports provides one, and the suite runs against each.
class RepositoryUnderTest {
public:
    virtual ~RepositoryUnderTest() = default;
    // A new link to the repository, as another Connect would give.
    virtual std::shared_ptr<tarvo::IRepository> Connect() = 0;
    // What core_test_child needs on its command line to reach the same repository.
    virtual std::string ChildEndpoint() const = 0;
    // How many content chunks the repository stores, committed or staged: what an upload that
    // never finished leaves behind shows here.
    virtual std::int64_t StoredChunks() const = 0;
};

struct EngineFactory {
    std::string name;
    std::function<std::unique_ptr<RepositoryUnderTest>()> create;
    // Why the engine cannot be tested on this machine (for example no server); empty when it can.
    std::function<std::string()> unavailableReason = [] { return std::string(); };
};

inline std::ostream& operator<<(std::ostream& out, const EngineFactory& factory) {
    return out << factory.name;
}

// The engines to run the suite against; each test program that runs the suite defines it.
std::vector<EngineFactory> EngineFactories();

// The path of the child helper program.
std::string ChildProgram();

}  // namespace kelvo_test
