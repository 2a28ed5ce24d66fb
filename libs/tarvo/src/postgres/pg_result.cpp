#include "pg_result.h"

#include "../text_codec.h"

#include <tarvo/errors.h>

#include <boost/uuid/string_generator.hpp>

#include <libpq-fe.h>

#include <charconv>

namespace tarvo::detail::postgres {

namespace {

[[noreturn]] void Unreadable(const char* what) {
    throw TarvoError(errc::StorageFailure,
                     std::wstring(L"Сервер хранилища вернул неожиданное значение (") +
                         FromUtf8(what) + L"): возможно, база данных изменена вручную.");
}

}  // namespace

Result::Result(pg_result* result) : m_result(result) {}

Result::~Result() {
    if (m_result != nullptr) {
        PQclear(m_result);
    }
}

Result::Result(Result&& other) noexcept : m_result(other.m_result) {
    other.m_result = nullptr;
}

int Result::Rows() const {
    return PQntuples(m_result);
}

bool Result::IsNull(int row, int column) const {
    return PQgetisnull(m_result, row, column) != 0;
}

std::string Result::Utf8(int row, int column) const {
    return std::string(PQgetvalue(m_result, row, column),
                       static_cast<std::size_t>(PQgetlength(m_result, row, column)));
}

std::wstring Result::Text(int row, int column) const {
    return FromUtf8(Utf8(row, column));
}

std::int64_t Result::Int64(int row, int column) const {
    const char* text = PQgetvalue(m_result, row, column);
    const char* end = text + PQgetlength(m_result, row, column);
    std::int64_t value = 0;
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end) {
        Unreadable("integer");
    }
    return value;
}

bool Result::Bool(int row, int column) const {
    return PQgetvalue(m_result, row, column)[0] == 't';
}

ItemId Result::Uuid(int row, int column) const {
    try {
        return boost::uuids::string_generator()(Utf8(row, column));
    } catch (const std::runtime_error&) {
        Unreadable("uuid");
    }
}

const std::uint8_t* Result::Bytes(int row, int column) const {
    return reinterpret_cast<const std::uint8_t*>(PQgetvalue(m_result, row, column));
}

std::size_t Result::Length(int row, int column) const {
    return static_cast<std::size_t>(PQgetlength(m_result, row, column));
}

}  // namespace tarvo::detail::postgres
