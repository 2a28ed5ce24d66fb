// Placeholder until crash reports land.
#include <logging/dump_util.h>

namespace dump_util {
void InitDumps(const std::filesystem::path&) {}
}  // namespace dump_util
