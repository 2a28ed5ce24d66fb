#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::detail::postgres {

// The parameters of one query ($1, $2, ...), in libpq's text form, except for content bytes,
// which go in binary form without copying: the bytes must outlive the query.
class Params {
public:
    Params& Text(const std::wstring& value);
    Params& Utf8(std::string value);
    Params& Int64(std::int64_t value);
    Params& Bool(bool value);
    Params& Uuid(const ItemId& value);
    Params& Bytes(const std::uint8_t* data, std::size_t size);
    // A text[] value (for example the names of a path).
    Params& TextArray(const std::vector<std::string>& values);
    // A bigint[] value.
    Params& Int64Array(const std::vector<std::int64_t>& values);

    int Count() const { return static_cast<int>(m_entries.size()); }
    // libpq's parallel arrays; valid while this object is neither changed nor destroyed.
    void Fill(std::vector<const char*>& values, std::vector<int>& lengths,
              std::vector<int>& formats) const;

private:
    struct Entry {
        std::string text;
        const std::uint8_t* bytes = nullptr;
        std::size_t size = 0;
        bool binary = false;
    };
    std::vector<Entry> m_entries;
};

}  // namespace tarvo::detail::postgres
