#include "pg_settings.h"

#include "../errors_text.h"
#include "../text_codec.h"

#include <algorithm>
#include <array>

namespace tarvo::detail::postgres {

namespace {

// libpq's sslmode values.
constexpr std::array<const char*, 6> kSslModes = {"disable", "allow",     "prefer",
                                                  "require", "verify-ca", "verify-full"};

}  // namespace

ConnectionSettings ConnectionSettings::From(const endpoint::Remote& remote,
                                            const Credentials& credentials) {
    ConnectionSettings settings;
    settings.host = ToUtf8(remote.host);
    settings.port = remote.port;
    settings.database = ToUtf8(remote.database);
    settings.sslMode = remote.sslMode.empty() ? "prefer" : ToUtf8(remote.sslMode);
    if (const auto* basic = std::get_if<auth::Basic>(&credentials)) {
        settings.login = ToUtf8(basic->login);
        settings.password = ToUtf8(basic->password);
    }
    if (settings.host.empty() || settings.database.empty()) {
        throw errors::Invalid(
            L"Для серверного хранилища нужно указать адрес сервера и имя базы данных.");
    }
    if (settings.port == 0) {
        throw errors::Invalid(L"Укажите номер порта сервера (обычно 5432).");
    }
    if (std::none_of(kSslModes.begin(), kSslModes.end(),
                     [&](const char* mode) { return settings.sslMode == mode; })) {
        throw errors::Invalid(L"Неизвестный режим шифрования соединения «" + remote.sslMode +
                              L"». Допустимы: disable, allow, prefer, require, verify-ca, "
                              L"verify-full.");
    }
    const auto hasNul = [](const std::string& text) {
        return text.find('\0') != std::string::npos;
    };
    if (hasNul(settings.host) || hasNul(settings.database) || hasNul(settings.login) ||
        hasNul(settings.password)) {
        throw errors::Invalid(L"Параметры подключения не могут содержать нулевой символ.");
    }
    return settings;
}

std::wstring ConnectionSettings::Address() const {
    return FromUtf8(host) + L":" + std::to_wstring(port) + L"/" + FromUtf8(database);
}

}  // namespace tarvo::detail::postgres
