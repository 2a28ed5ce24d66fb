#include "pg_connection.h"

#include "../text_codec.h"
#include "pg_error.h"

#include <libpq-fe.h>

#include <chrono>
#include <vector>

#include <poll.h>

namespace tarvo::detail::postgres {

namespace {

// How long a connection attempt may take before the server counts as unreachable.
constexpr std::chrono::seconds kConnectTimeout{15};

// Waits until the socket is ready for what libpq asked; false when the time is up.
bool WaitForSocket(int socket, bool forWriting, std::chrono::steady_clock::time_point deadline) {
    const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (remaining.count() <= 0) {
        return false;
    }
    pollfd descriptor{};
    descriptor.fd = socket;
    descriptor.events = forWriting ? POLLOUT : POLLIN;
    int ready = 0;
    do {
        ready = ::poll(&descriptor, 1, static_cast<int>(remaining.count()));
    } while (ready < 0 && errno == EINTR);
    return ready != 0;  // an error is left for libpq to report
}

std::wstring ServerText(const pg_result* result, pg_conn* connection) {
    const char* text =
        result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    std::string message = text != nullptr ? text : PQerrorMessage(connection);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return FromUtf8(message);
}

}  // namespace

Connection::Connection(const ConnectionSettings& settings) : m_address(settings.Address()) {
    const std::string port = std::to_string(settings.port);
    // Keepalives and a send timeout make a link whose network has gone away fail within about a
    // minute, instead of after the system's TCP defaults of hours.
    std::vector<const char*> keys{"host",
                                  "port",
                                  "dbname",
                                  "sslmode",
                                  "client_encoding",
                                  "application_name",
                                  "keepalives_idle",
                                  "keepalives_interval",
                                  "keepalives_count",
                                  "tcp_user_timeout"};
    std::vector<const char*> values{settings.host.c_str(),
                                    port.c_str(),
                                    settings.database.c_str(),
                                    settings.sslMode.c_str(),
                                    "UTF8",
                                    "KelvoDrive",
                                    "30",
                                    "10",
                                    "3",
                                    "60000"};
    if (!settings.login.empty()) {
        keys.push_back("user");
        values.push_back(settings.login.c_str());
    }
    if (!settings.password.empty()) {
        keys.push_back("password");
        values.push_back(settings.password.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);

    m_connection = PQconnectStartParams(keys.data(), values.data(), 0);
    if (m_connection == nullptr) {
        throw TarvoError(errc::NotConnected,
                         L"Недостаточно памяти, чтобы подключиться к серверу " + m_address + L".");
    }
    // Verbose messages carry the server's SQLSTATE, which tells a wrong password from a missing
    // database whatever language the server writes in.
    PQsetErrorVerbosity(m_connection, PQERRORS_VERBOSE);
    const auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    bool timedOut = false;
    while (PQstatus(m_connection) != CONNECTION_BAD && state != PGRES_POLLING_OK &&
           state != PGRES_POLLING_FAILED) {
        if (!WaitForSocket(PQsocket(m_connection), state == PGRES_POLLING_WRITING, deadline)) {
            timedOut = true;
            break;
        }
        state = PQconnectPoll(m_connection);
    }
    if (!timedOut && PQstatus(m_connection) == CONNECTION_OK) {
        PQsetErrorVerbosity(m_connection, PQERRORS_DEFAULT);
        return;
    }
    const std::string message =
        timedOut ? "сервер не ответил за " + std::to_string(kConnectTimeout.count()) + " с"
                 : PQerrorMessage(m_connection);
    const bool neededPassword = !timedOut && PQconnectionNeedsPassword(m_connection) != 0;
    PQfinish(m_connection);
    m_connection = nullptr;
    throw ConnectFailure(m_address, FromUtf8(settings.login), message, neededPassword);
}

Connection::~Connection() {
    if (m_connection != nullptr) {
        PQfinish(m_connection);
    }
}

void Connection::ThrowFailure(const pg_result* result) {
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    throw QueryFailure(m_address, state != nullptr ? state : "", ServerText(result, m_connection),
                       PQstatus(m_connection) != CONNECTION_OK);
}

Result Connection::Exec(const char* sql, const Params& params, bool binaryResult) {
    std::vector<const char*> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    params.Fill(values, lengths, formats);
    Result result(PQexecParams(m_connection, sql, params.Count(), nullptr, values.data(),
                               lengths.data(), formats.data(), binaryResult ? 1 : 0));
    const auto status = PQresultStatus(result.Handle());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        ThrowFailure(result.Handle());
    }
    return result;
}

void Connection::Execute(const char* sql) {
    Result result(PQexec(m_connection, sql));
    const auto status = PQresultStatus(result.Handle());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        ThrowFailure(result.Handle());
    }
}

bool Connection::IsAlive() {
    if (PQstatus(m_connection) != CONNECTION_OK) {
        return false;
    }
    // A session the server has ended has its goodbye and the end of the stream waiting.
    if (PQconsumeInput(m_connection) == 0) {
        return false;
    }
    return PQstatus(m_connection) == CONNECTION_OK;
}

bool Connection::InTransaction() const {
    return PQtransactionStatus(m_connection) != PQTRANS_IDLE;
}

Transaction::Transaction(Connection& connection, Kind kind) : m_connection(connection) {
    m_connection.Execute(kind == Kind::Snapshot ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"
                                                : "BEGIN");
}

Transaction::~Transaction() {
    if (m_open) {
        try {
            m_connection.Execute("ROLLBACK");
        } catch (const std::exception&) {
            // The connection is gone, and with it the transaction; the pool drops it.
        }
    }
}

void Transaction::Commit() {
    m_connection.Execute("COMMIT");
    m_open = false;
}

}  // namespace tarvo::detail::postgres
