// Placeholder until the SQLite engine lands.
#include <tarvo/core.h>

#include <boost/uuid/random_generator.hpp>

namespace tarvo {

ItemId GenerateUuid() {
    thread_local boost::uuids::random_generator generator;
    return generator();
}

std::shared_ptr<IBuffer> CreateBuffer(std::size_t) { return nullptr; }

std::shared_ptr<ICore> CreateCore() { return nullptr; }

}  // namespace tarvo
