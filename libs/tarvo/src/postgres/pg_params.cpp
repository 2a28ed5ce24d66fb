#include "pg_params.h"

#include "../errors_text.h"
#include "../text_codec.h"

#include <boost/uuid/uuid_io.hpp>

namespace tarvo::detail::postgres {

Params& Params::Text(const std::wstring& value) {
    return Utf8(ToUtf8(value));
}

Params& Params::Utf8(std::string value) {
    // Text parameters travel as C strings: a zero byte would silently cut the value short.
    if (value.find('\0') != std::string::npos) {
        throw errors::Invalid(L"Текст не может содержать нулевой символ.");
    }
    Entry entry;
    entry.text = std::move(value);
    m_entries.push_back(std::move(entry));
    return *this;
}

Params& Params::Int64(std::int64_t value) {
    return Utf8(std::to_string(value));
}

Params& Params::Bool(bool value) {
    return Utf8(value ? "true" : "false");
}

Params& Params::Uuid(const ItemId& value) {
    return Utf8(boost::uuids::to_string(value));
}

Params& Params::Bytes(const std::uint8_t* data, std::size_t size) {
    Entry entry;
    entry.bytes = data;
    entry.size = size;
    entry.binary = true;
    m_entries.push_back(std::move(entry));
    return *this;
}

Params& Params::TextArray(const std::vector<std::string>& values) {
    // The array literal: every element quoted, with its quotes and backslashes escaped.
    std::string literal = "{";
    for (std::size_t index = 0; index < values.size(); ++index) {
        if (index > 0) {
            literal += ',';
        }
        literal += '"';
        for (char c : values[index]) {
            if (c == '"' || c == '\\') {
                literal += '\\';
            }
            literal += c;
        }
        literal += '"';
    }
    literal += '}';
    return Utf8(std::move(literal));
}

Params& Params::Int64Array(const std::vector<std::int64_t>& values) {
    std::string literal = "{";
    for (std::size_t index = 0; index < values.size(); ++index) {
        if (index > 0) {
            literal += ',';
        }
        literal += std::to_string(values[index]);
    }
    literal += '}';
    return Utf8(std::move(literal));
}

void Params::Fill(std::vector<const char*>& values, std::vector<int>& lengths,
                  std::vector<int>& formats) const {
    values.clear();
    lengths.clear();
    formats.clear();
    for (const auto& entry : m_entries) {
        if (entry.binary) {
            // libpq wants a pointer even for zero bytes.
            static const char kEmpty = 0;
            values.push_back(entry.size > 0 ? reinterpret_cast<const char*>(entry.bytes) : &kEmpty);
            lengths.push_back(static_cast<int>(entry.size));
            formats.push_back(1);
        } else {
            values.push_back(entry.text.c_str());
            lengths.push_back(static_cast<int>(entry.text.size()));
            formats.push_back(0);
        }
    }
}

}  // namespace tarvo::detail::postgres
