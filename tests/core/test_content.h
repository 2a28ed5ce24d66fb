#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <vector>

namespace kelvo_test {

using Bytes = std::vector<std::uint8_t>;

// Bytes that differ from position to position and from seed to seed, so that a chunk stored at
// the wrong place or taken from another version shows.
Bytes PatternBytes(std::size_t size, std::uint32_t seed);

// Writes `content` as one blob of the document's open version, in buffers of `bufferSize`
// (the writer's chunk size when 0).
void WriteBlob(tarvo::IDocument& document, const Bytes& content, std::size_t bufferSize = 0);

// The first blob of the document's current (or given) version; empty when it has none.
Bytes ReadFirstBlob(tarvo::IItemStore& store, const tarvo::IdPath& path,
                    std::optional<tarvo::VersionNumber> version = std::nullopt);

// Commits a new version whose first blob holds `content`.
void CommitVersion(tarvo::IItemStore& store, const tarvo::IdPath& path, const Bytes& content);

// Creates a document in `parent` and returns its id path.
tarvo::IdPath CreateDocument(tarvo::IItemStore& store, const tarvo::IdPath& parent,
                             const std::wstring& name);

}  // namespace kelvo_test
