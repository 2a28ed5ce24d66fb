// Placeholder until the configuration subtree lands.
#include <tarvo_cm/config.h>

namespace tarvo_cm::config {

void ReadConfigSubtree(const boost::property_tree::wptree&, std::vector<Connection>&) {}
void WriteConfigSubtree(boost::property_tree::wptree&, const std::vector<Connection>&) {}

}  // namespace tarvo_cm::config
