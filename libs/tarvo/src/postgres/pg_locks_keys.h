#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <cstring>

// Keys of the server's advisory locks. The repository's own coordination uses the two-number
// form under one namespace number; edit locks use the one-number form, derived from the
// document's id (the two forms never collide).
namespace tarvo::detail::postgres::lock_keys {

constexpr std::int64_t kNamespace = 0x4B454C56;  // "KELV"
constexpr std::int64_t kSchema = 1;              // creating or migrating the schema
constexpr std::int64_t kTree = 2;                // changing the folder tree (names, parents)
// Staged blobs use the two-number form too: this number, then the blob id's low 31 bits. Two
// blobs whose ids share them only keep each other's leftovers a little longer.
constexpr std::int64_t kStagingNamespace = 0x4B535447;  // "KSTG"

// A non-negative 63-bit key: the two halves of the id folded together.
inline std::int64_t ForDocument(const ItemId& id) {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    std::memcpy(&high, id.data, 8);
    std::memcpy(&low, id.data + 8, 8);
    return static_cast<std::int64_t>((high ^ low) & 0x7FFFFFFFFFFFFFFFull);
}

}  // namespace tarvo::detail::postgres::lock_keys
