#pragma once

#include <tarvo_cm/connection.h>

#include <boost/property_tree/ptree.hpp>
#include <vector>

namespace tarvo_cm::config {

// Appends the records stored under `node` (the "connections" element). Throws a property-tree
// error or tarvo::TarvoError on a malformed entry; records read before it stay in `connections`.
void ReadConfigSubtree(const boost::property_tree::wptree& node,
                       std::vector<Connection>& connections);

// Writes one element per record into `node`; reading it back gives the same records.
void WriteConfigSubtree(boost::property_tree::wptree& node,
                        const std::vector<Connection>& connections);

}  // namespace tarvo_cm::config
