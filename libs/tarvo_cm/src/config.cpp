#include <tarvo_cm/config.h>

#include <tarvo/errors.h>
#include <tarvo_cm/password_store.h>

#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <QString>

#include <cwctype>

namespace tarvo_cm::config {

namespace {

using boost::property_tree::wptree;

// Element names inside the connections subtree.
const wchar_t* const kConnection = L"connection";
const wchar_t* const kId = L"id";
const wchar_t* const kName = L"name";
const wchar_t* const kEndpoint = L"endpoint";
const wchar_t* const kCredentials = L"credentials";
const wchar_t* const kKind = L"kind";
const wchar_t* const kHost = L"host";
const wchar_t* const kPort = L"port";
const wchar_t* const kDatabase = L"database";
const wchar_t* const kSslMode = L"ssl_mode";
const wchar_t* const kLogin = L"login";
const wchar_t* const kPassword = L"password";
const wchar_t* const kPasswordStore = L"password_store";

// Where the password of Basic credentials is: nowhere (empty password), in the desktop's keyring
// under the connection's id, in this file (accepted by the user where no keyring exists), or in
// the memory of the process that wrote the file (gone after it ended). Files written before
// passwords moved to the keyring have the password and no such element: it stays in the file
// until a keyring takes it, since nothing else would keep it over the program's end.
const wchar_t* const kStoreNone = L"none";
const wchar_t* const kStoreKeyring = L"keyring";
const wchar_t* const kStoreFile = L"file";
const wchar_t* const kStoreSession = L"session";

const wchar_t* const kLocal = L"local";
const wchar_t* const kRemote = L"remote";
const wchar_t* const kCurrent = L"current";
const wchar_t* const kBasic = L"basic";

[[noreturn]] void Malformed(std::size_t number, const std::wstring& what) {
    throw tarvo::TarvoError(tarvo::errc::InvalidArgument,
                            L"Запись подключения № " + std::to_wstring(number) +
                                L" в файле настроек повреждена: " + what +
                                L". Исправьте или удалите эту запись.");
}

// The identifier must be in its 36-character text form; boost's parser alone would also take
// braces and missing hyphens.
boost::uuids::uuid ParseId(std::size_t number, const std::wstring& text) {
    bool wellFormed = text.size() == 36;
    for (std::size_t i = 0; wellFormed && i < text.size(); ++i) {
        const bool hyphenPlace = i == 8 || i == 13 || i == 18 || i == 23;
        wellFormed = hyphenPlace ? text[i] == L'-' : std::iswxdigit(text[i]) != 0;
    }
    if (!wellFormed) {
        Malformed(number, L"неверный идентификатор «" + text + L"»");
    }
    return boost::uuids::string_generator()(text);
}

tarvo::Endpoint ReadEndpoint(std::size_t number, const wptree& entry) {
    const auto& endpoint = entry.get_child(kEndpoint);
    const auto kind = endpoint.get<std::wstring>(kKind);
    if (kind == kLocal) {
        return tarvo::endpoint::Local{};
    }
    if (kind != kRemote) {
        Malformed(number, L"неизвестный вид хранилища «" + kind + L"»");
    }
    tarvo::endpoint::Remote remote;
    remote.host = endpoint.get<std::wstring>(kHost);
    const int port = endpoint.get<int>(kPort);
    if (port <= 0 || port > 65535) {
        Malformed(number, L"неверный номер порта " + std::to_wstring(port));
    }
    remote.port = static_cast<std::uint16_t>(port);
    remote.database = endpoint.get<std::wstring>(kDatabase);
    remote.sslMode = endpoint.get<std::wstring>(kSslMode, remote.sslMode);
    return remote;
}

tarvo::Credentials ReadCredentials(std::size_t number, const wptree& entry,
                                   Connection& connection) {
    const auto& credentials = entry.get_child(kCredentials);
    const auto kind = credentials.get<std::wstring>(kKind);
    if (kind == kCurrent) {
        return tarvo::auth::Current{};
    }
    if (kind != kBasic) {
        Malformed(number, L"неизвестный способ входа «" + kind + L"»");
    }
    tarvo::auth::Basic basic;
    basic.login = credentials.get<std::wstring>(kLogin);
    const auto store = credentials.get_optional<std::wstring>(kPasswordStore);
    if (!store || *store == kStoreFile) {
        basic.password = credentials.get<std::wstring>(kPassword, L"");
        connection.storePasswordInFile = store.has_value() || !basic.password.empty();
    } else if (*store == kStoreKeyring || *store == kStoreSession) {
        basic.password = PasswordStore::instance().load(connection.id);
    } else if (*store != kStoreNone) {
        Malformed(number, L"неизвестное место хранения пароля «" + *store + L"»");
    }
    return basic;
}

Connection ReadConnection(std::size_t number, const wptree& entry) {
    Connection connection;
    connection.id = ParseId(number, entry.get<std::wstring>(kId));
    connection.name = entry.get<std::wstring>(kName, L"");
    connection.endpoint = ReadEndpoint(number, entry);
    connection.credentials = ReadCredentials(number, entry, connection);
    return connection;
}

wptree WriteEndpoint(const tarvo::Endpoint& endpoint) {
    wptree node;
    if (const auto* remote = std::get_if<tarvo::endpoint::Remote>(&endpoint)) {
        node.put(kKind, kRemote);
        node.put(kHost, remote->host);
        node.put(kPort, remote->port);
        node.put(kDatabase, remote->database);
        node.put(kSslMode, remote->sslMode);
    } else {
        node.put(kKind, kLocal);
    }
    return node;
}

wptree WriteCredentials(const Connection& connection) {
    wptree node;
    const auto* basic = std::get_if<tarvo::auth::Basic>(&connection.credentials);
    if (basic == nullptr) {
        node.put(kKind, kCurrent);
        return node;
    }
    node.put(kKind, kBasic);
    node.put(kLogin, basic->login);
    if (basic->password.empty()) {
        PasswordStore::instance().store(connection.id, basic->password);  // forgets an old one
        node.put(kPasswordStore, kStoreNone);
    } else if (PasswordStore::instance().store(connection.id, basic->password)) {
        node.put(kPasswordStore, kStoreKeyring);
    } else if (connection.storePasswordInFile) {
        node.put(kPasswordStore, kStoreFile);
        node.put(kPassword, basic->password);
    } else {
        node.put(kPasswordStore, kStoreSession);
    }
    return node;
}

}  // namespace

std::vector<ConfigEntry> ReadConfigEntries(const wptree& node) {
    std::vector<ConfigEntry> entries;
    entries.reserve(node.size());
    std::size_t number = 0;
    for (const auto& [elementName, element] : node) {
        ConfigEntry entry{elementName, &element, std::nullopt, {}};
        if (elementName == kConnection) {
            ++number;
            try {
                entry.connection = ReadConnection(number, element);
            } catch (const exceptions::Error& error) {
                entry.error = error.GetMessage();
            } catch (const std::exception& error) {  // a missing element, a value of a wrong type
                entry.error = L"Запись подключения № " + std::to_wstring(number) +
                              L" в файле настроек повреждена: " +
                              QString::fromUtf8(error.what()).toStdWString();
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

wptree WriteConfigRecord(const Connection& connection) {
    wptree entry;
    entry.put(kId, boost::uuids::to_wstring(connection.id));
    entry.put(kName, connection.name);
    entry.add_child(kEndpoint, WriteEndpoint(connection.endpoint));
    entry.add_child(kCredentials, WriteCredentials(connection));
    return entry;
}

const wchar_t* ConnectionElementName() {
    return kConnection;
}

void ReadConfigSubtree(const wptree& node, std::vector<Connection>& connections) {
    std::size_t number = 0;
    for (const auto& [elementName, entry] : node) {
        // Comments and elements of other products' records are not ours to judge.
        if (elementName != kConnection) {
            continue;
        }
        ++number;
        connections.push_back(ReadConnection(number, entry));
    }
}

void WriteConfigSubtree(wptree& node, const std::vector<Connection>& connections) {
    for (const auto& connection : connections) {
        node.add_child(kConnection, WriteConfigRecord(connection));
    }
}

}  // namespace tarvo_cm::config
