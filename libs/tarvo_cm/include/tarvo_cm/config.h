#pragma once

#include <tarvo_cm/connection.h>

#include <boost/property_tree/ptree.hpp>

#include <optional>
#include <string>
#include <vector>

namespace tarvo_cm::config {

// Appends the records stored under `node` (the "connections" element). Throws a property-tree
// error or tarvo::TarvoError on a malformed entry; records read before it stay in `connections`.
void ReadConfigSubtree(const boost::property_tree::wptree& node,
                       std::vector<Connection>& connections);

// One child element of the "connections" element, as found.
struct ConfigEntry {
    std::wstring elementName;
    // The element in the node that was read; valid while that node lives.
    const boost::property_tree::wptree* element = nullptr;
    // The record, when the element is a connection record that reads.
    std::optional<Connection> connection;
    // Why a connection record does not read; empty otherwise.
    std::wstring error;
};

// Every child of `node` in document order; a record that does not read leaves the others readable.
// Throws nothing but allocation failures.
std::vector<ConfigEntry> ReadConfigEntries(const boost::property_tree::wptree& node);

// The element of one record, as WriteConfigSubtree adds it (element name ConnectionElementName()).
boost::property_tree::wptree WriteConfigRecord(const Connection& connection);
const wchar_t* ConnectionElementName();

// Writes one element per record into `node`; reading it back gives the same records.
void WriteConfigSubtree(boost::property_tree::wptree& node,
                        const std::vector<Connection>& connections);

}  // namespace tarvo_cm::config
