#include "pg_error.h"

#include "../text_codec.h"

#include <regex>

namespace tarvo::detail::postgres {

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::wstring Trimmed(const std::string& text) {
    auto end = text.find_last_not_of(" \n\r\t");
    return FromUtf8(end == std::string::npos ? std::string() : text.substr(0, end + 1));
}

// The server's (or the client library's) own words, on a line of their own below the program's
// explanation: they are often English and would otherwise run on inside a Russian sentence. Their
// line breaks and tabs become single spaces.
std::wstring OwnLine(const std::wstring& detail) {
    if (detail.empty()) {
        return {};
    }
    std::wstring line;
    for (const wchar_t c : detail) {
        const bool blank = c == L'\n' || c == L'\r' || c == L'\t' || c == L' ';
        if (!blank) {
            line += c;
        } else if (!line.empty() && line.back() != L' ') {
            line += L' ';
        }
    }
    while (!line.empty() && line.back() == L' ') {
        line.pop_back();
    }
    return L"\nСообщение сервера: " + line;
}

// In verbose form the server's refusal reads "FATAL:  28P01: password authentication failed...";
// the severity word may be translated, the code is not. A code has at least one digit, which
// tells it from a severity word of five letters ("FATAL").
std::string SqlStateIn(const std::string& message) {
    static const std::regex kCode(R"(:\s+((?=[A-Z]*[0-9])[0-9A-Z]{5}):\s)");
    std::smatch match;
    if (std::regex_search(message, match, kCode)) {
        return match[1].str();
    }
    return {};
}

// The first line of the server's text, without the severity and the code.
std::wstring ServerReason(const std::string& message) {
    std::string line = message.substr(0, message.find('\n'));
    static const std::regex kPrefix(R"(^.*?:\s+(?=[A-Z]*[0-9])[0-9A-Z]{5}:\s+)");
    line = std::regex_replace(line, kPrefix, "");
    return Trimmed(line);
}

}  // namespace

QueryError QueryFailure(const std::wstring& address, const std::string& sqlState,
                        const std::wstring& detail, bool lost) {
    const std::wstring suffix = OwnLine(detail);
    if (lost || StartsWith(sqlState, "08") || StartsWith(sqlState, "57P")) {
        return QueryError(errc::NotConnected,
                          L"Связь с сервером хранилища " + address +
                              L" прервана: сервер остановлен, перезапущен или недоступен по сети. "
                              L"Проверьте сеть и подключитесь снова." +
                              suffix,
                          sqlState);
    }
    if (sqlState == sql_state::kInsufficientPrivilege) {
        return QueryError(errc::AccessDenied,
                          L"Недостаточно прав для этого действия в хранилище " + address +
                              L". Обратитесь к администратору сервера." + suffix,
                          sqlState);
    }
    if (StartsWith(sqlState, "53")) {
        // 53100: the server's disk is full.
        return QueryError(sqlState == "53100" ? errc::DiskFull : errc::StorageFailure,
                          L"Серверу хранилища " + address +
                              L" не хватает ресурсов (места на диске или памяти). Сообщите "
                              L"администратору сервера и повторите действие позже." +
                              suffix,
                          sqlState);
    }
    if (sqlState == "54000") {
        return QueryError(
            errc::TooLarge,
            L"Содержимое слишком велико для сервера хранилища " + address + L"." + suffix,
            sqlState);
    }
    if (sqlState == "40001" || sqlState == "40P01" || sqlState == sql_state::kLockNotAvailable) {
        return QueryError(errc::StorageFailure,
                          L"Действие столкнулось с одновременным изменением другого "
                          L"пользователя. Повторите его." +
                              suffix,
                          sqlState);
    }
    return QueryError(errc::StorageFailure, L"Ошибка сервера хранилища " + address + L"." + suffix,
                      sqlState);
}

TarvoError ConnectFailure(const std::wstring& address, const std::wstring& login,
                          const std::string& serverMessage, bool neededPassword) {
    const std::string state = SqlStateIn(serverMessage);
    const std::wstring who =
        login.empty() ? std::wstring(L"текущего пользователя системы") : L"«" + login + L"»";
    if (neededPassword) {
        return TarvoError(errc::AuthenticationFailed,
                          L"Сервер " + address + L" требует пароль для входа пользователя " + who +
                              L". Укажите пароль в настройках подключения.");
    }
    if (state == "28P01") {
        return TarvoError(errc::AuthenticationFailed,
                          L"Сервер " + address + L" отклонил вход пользователя " + who +
                              L": неверное имя пользователя или пароль. Проверьте их и "
                              L"повторите.");
    }
    if (state == "28000") {
        return TarvoError(errc::AuthenticationFailed,
                          L"Сервер " + address + L" не разрешает вход пользователя " + who +
                              L" этим способом. Проверьте имя пользователя и способ входа или "
                              L"обратитесь к администратору сервера." +
                              OwnLine(ServerReason(serverMessage)));
    }
    if (state == "3D000") {
        return TarvoError(errc::NotConnected,
                          L"На сервере " + address.substr(0, address.rfind(L'/')) +
                              L" нет базы данных «" + address.substr(address.rfind(L'/') + 1) +
                              L"». Проверьте имя базы данных или попросите администратора "
                              L"создать её.");
    }
    if (state == "53300") {
        return TarvoError(errc::NotConnected,
                          L"Сервер " + address +
                              L" не принимает новые подключения: их слишком много. Повторите "
                              L"попытку позже или обратитесь к администратору сервера.");
    }
    if (state == "57P03") {
        return TarvoError(errc::NotConnected, L"Сервер " + address +
                                                  L" ещё запускается или останавливается. "
                                                  L"Повторите попытку через минуту.");
    }
    const std::wstring reason =
        state.empty() ? Trimmed(serverMessage) : ServerReason(serverMessage);
    return TarvoError(errc::NotConnected,
                      L"Не удалось подключиться к серверу хранилища " + address +
                          L". Проверьте адрес и порт сервера, работу сети и то, что сервер "
                          L"запущен." +
                          OwnLine(reason));
}

}  // namespace tarvo::detail::postgres
