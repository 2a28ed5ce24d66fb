#pragma once

#include <tarvo/core.h>

#include <cstdint>
#include <memory>
#include <string>

struct pg_result;

namespace tarvo::detail::postgres {

// Owns one libpq result. Columns are read in text form, except for results asked for in binary
// form (content chunks), whose bytes Bytes() gives as they are.
class Result {
public:
    explicit Result(pg_result* result);
    ~Result();
    Result(Result&& other) noexcept;
    Result& operator=(Result&&) = delete;
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    int Rows() const;
    bool IsNull(int row, int column) const;
    std::string Utf8(int row, int column) const;
    std::wstring Text(int row, int column) const;
    std::int64_t Int64(int row, int column) const;
    bool Bool(int row, int column) const;
    ItemId Uuid(int row, int column) const;
    const std::uint8_t* Bytes(int row, int column) const;
    std::size_t Length(int row, int column) const;
    const pg_result* Handle() const { return m_result; }

private:
    pg_result* m_result;
};

}  // namespace tarvo::detail::postgres
